#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "package/entry_paths.h"
#include "product/run_record.h"

// What patchundo does with one entry: only what the run's record says the run did, and only
// where the installation still is as the run left it.
enum class UndoAction {
  kRestore,     // the backup goes back over the file the run installed, or into its empty place
  kRemove,      // the run created it and it still holds the installed file (--remove-added)
  kKeepAdded,   // the same, kept without --remove-added
  kNothing,     // the run changed nothing here, or it is undone already
  kGone,        // no backup and not the installed file: nothing of the run is left here, and
                // the record says so (an undo cut off after this entry, a file replaced since)
  kLeaveAlone,  // not as the run left it: see the reason
  kRemoveFolder,  // a folder the run made, empty again
};

// What the destination holds now.
enum class DestinationHolds { kMissing, kInstalledFile, kOtherFile, kEmptyFolder, kFolder };

struct UndoDecision {
  UndoAction action = UndoAction::kNothing;
  std::string reason;  // kLeaveAlone: why, and kNothing: what the run did
};
UndoDecision DecideUndo(RecordedAction recorded, DestinationHolds holds, bool backupPresent,
                        bool removeAdded);

struct UndoStep {
  size_t entry = 0;  // 1-based
  std::wstring destination, backup;
  UndoDecision decision;
  bool partial = false;  // a copy a stopped run left at the partial name, removed with `act`
  bool done = false;     // carried out (never in a plan); always for kGone
  DWORD error = 0;       // the platform's code when carrying it out failed
};

// Last entry first, each decided from the files as they are at its turn, so that an entry sees
// what a later one's undo put back; with `act` each restore and removal is carried out as its
// entry comes (read-only cleared first, never through a link; a restore is one move that
// replaces, with the runner's retries on a briefly held file, so a failed one leaves both files),
// and `progress`, when given, is called after each step with the steps so far. The destination
// holds the installed file when it has the recorded SHA-256, or, for an entry recorded by the
// file's identity, when it holds the entry's patch file byte for byte.
std::vector<UndoStep> UndoEntries(
    const std::vector<RecordedEntry>& record, const std::vector<EntryPaths>& paths,
    bool removeAdded, bool act,
    const std::function<void(const std::vector<UndoStep>&)>& progress = nullptr);

// Removes the partial copies a cut-off run left for `paths` (never through a link); the count.
size_t RemovePartialCopies(const std::vector<EntryPaths>& paths);

// True when a step restores or removes a file, or removes a partial copy.
bool ChangesSomething(const std::vector<UndoStep>& steps);
// True when a step changes the record: a file restored or removed, or found gone.
bool ChangesRecord(const std::vector<UndoStep>& steps);
// True when a step is left alone, or, once `carriedOut`, a restore or removal failed.
bool AnythingLeft(const std::vector<UndoStep>& steps, bool carriedOut);
