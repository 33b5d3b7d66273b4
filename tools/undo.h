#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tools/package_check.h"

// What patchundo does with one entry.
enum class UndoAction {
  kRestore,     // the backup replaces the destination
  kRemove,      // added by the package, and --remove-added
  kKeepAdded,   // added by the package, kept without --remove-added
  kLeaveAlone,  // anything else: see `reason`
  kNothing,     // neither the destination nor its backup exists
  kSameAs,      // an earlier entry names the same destination and handles it
};

struct UndoStep {
  size_t entry = 0;   // 1-based
  size_t sameAs = 0;  // kSameAs: the earlier entry
  std::wstring destination, backup;
  UndoAction action = UndoAction::kNothing;
  std::string reason;  // kLeaveAlone: why
  bool done = false;   // carried out (never in a plan)
  DWORD error = 0;     // the platform's code when carrying it out failed
};

// The steps for `installed`, last entry first. With `act` each restore and removal is carried
// out as its entry comes: a restore is one move that replaces, with the runner's retries on a
// briefly held file, so a failed one leaves both files where they were.
std::vector<UndoStep> UndoEntries(const std::vector<InstalledEntry>& installed, bool removeAdded,
                                  bool act);

// True when a step restores or removes a file.
bool ChangesSomething(const std::vector<UndoStep>& steps);
// After UndoEntries with `act`: true when a restore or a removal failed.
bool AnyFailed(const std::vector<UndoStep>& steps);
