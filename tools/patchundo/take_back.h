#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "product/run_record.h"
#include "tools/patchundo/undo_plan.h"

// What patchundo did, or would do, with a package on this machine.
struct TakeBack {
  RunRecord record;
  bool recorded = false;
  std::string recordId;          // the key the record is under, once `recorded`
  std::vector<UndoStep> steps;
  bool carriedOut = false;
  bool stopped = false;
  bool undone = false;           // the record now says so
  std::vector<DWORD> restarted;  // exit codes of the main program started again
  size_t leftStarted = 0;        // main programs a cut-off run had left stopped, started again
  bool lockBusy = false;         // another run held the lock for the whole wait
  std::string note;              // why nothing was done, when nothing was to do
  std::string error;
};

// Takes back what the run's record says a run of the package did, in three steps: read the
// package and its record and check they belong together; only when a file is to change (and
// not `dryRun`), under the run lock, stop the product, undo each entry as it is now and start
// the product again; then mark in the record what was taken back. Running it twice changes
// nothing the second time. Once the record says undone, the copy a run kept for detection and
// undo and the entry among the installed updates go too.
TakeBack TakeBackPackage(const std::wstring& packageDir, const std::wstring& givenInstallDir,
                         bool dryRun, bool removeAdded);

// True when everything the run did is taken back (added files kept without --remove-added
// included), or there was nothing to take back.
bool TookBackEverything(const TakeBack& outcome);

// "restore", "remove", "keep-added", "leave-alone", "nothing".
const char* UndoActionName(UndoAction action);
// One sentence on a step, as planned or, once `carriedOut`, as done.
std::string DescribeUndoStep(const UndoStep& step, bool carriedOut);
