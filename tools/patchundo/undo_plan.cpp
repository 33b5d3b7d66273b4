#include "tools/patchundo/undo_plan.h"

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/retry.h"
#include "tools/kit/files.h"

namespace {
// What a stopped run left at a partial name is moved aside under this kind when it is a folder.
constexpr wchar_t kBlockedKind[] = L"blocked";

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Changes(UndoAction action) {
  return action == UndoAction::kRestore || action == UndoAction::kRemove ||
         action == UndoAction::kRemoveFolder;
}

// A folder (not a link to one) and whether anything is in it.
DestinationHolds FolderHolds(const std::wstring& path) {
  const std::wstring folder = LongPathForm(path);
  if (!IsFolder(folder) || IsLinkAt(folder)) return DestinationHolds::kOtherFile;
  bool empty = true;
  DWORD error = 0;
  const bool listed =
      ForEachMatch(folder + L"\\*", [&empty](const WIN32_FIND_DATAW&) { empty = false; }, error);
  return listed && empty ? DestinationHolds::kEmptyFolder : DestinationHolds::kFolder;
}

bool HoldsTheRunsFile(const std::wstring& destination, const std::wstring& source,
                      const InstalledFile& installed) {
  if (installed.kind == InstalledFile::Kind::kSha256) return HoldsInstalledFile(destination, installed);
  // An identity is lost by a rewrite of the same bytes, and tells nothing of whose package
  // installed the file: the patch file's bytes do.
  DWORD error = 0;
  return CompareWithFile(destination, source, error) == Comparison::kSame;
}

void CarryOut(UndoStep& step) {
  const std::wstring backup = LongPathForm(step.backup);
  BOOL done = FALSE;
  if (step.decision.action == UndoAction::kRestore) {
    done = ClearReadOnly(step.destination) && MoveReplacingWhileHeld(backup, step.destination);
  } else if (step.decision.action == UndoAction::kRemoveFolder) {
    // Fails, and keeps the folder, when something appeared in it since it was listed.
    done = RemoveDirectoryW(LongPathForm(step.destination).c_str());
  } else if (step.decision.action == UndoAction::kRemove) {
    done = ClearReadOnly(step.destination) &&
           RetryWhileHeld([&] { return DeleteFileW(step.destination.c_str()); });
  } else {
    return;
  }
  step.done = done != FALSE;
  if (!step.done) step.error = GetLastError();
}
}  // namespace

UndoDecision DecideUndo(RecordedAction recorded, DestinationHolds holds, bool backupPresent,
                        bool removeAdded) {
  const char* const notInstalled = "holds a file the run did not install: changed since";
  const bool installed = holds == DestinationHolds::kInstalledFile;
  switch (recorded) {
    case RecordedAction::kMovedThenCopied:
      if (backupPresent) {
        if (holds == DestinationHolds::kOtherFile) return {UndoAction::kLeaveAlone, notInstalled};
        return {UndoAction::kRestore, ""};
      }
      if (installed) return {UndoAction::kLeaveAlone, "its backup is gone"};
      return {UndoAction::kGone, "no backup and not the file the run installed: put back already"};
    case RecordedAction::kCopied:
      // Its backup is the run's own file, moved aside by a later run that replaced it.
      if (backupPresent) {
        return {UndoAction::kLeaveAlone,
                "was moved aside by a later run (its backup exists): that run's undo puts it back"};
      }
      if (holds == DestinationHolds::kMissing) return {UndoAction::kGone, "removed already"};
      if (!installed) {
        return {UndoAction::kGone,
                "holds a file the run did not install: nothing of the run is left there"};
      }
      return {removeAdded ? UndoAction::kRemove : UndoAction::kKeepAdded, ""};
    case RecordedAction::kRemoved:
      if (backupPresent) {
        if (holds != DestinationHolds::kMissing) {
          return {UndoAction::kLeaveAlone,
                  "is there again, though the run removed it: its backup is kept"};
        }
        return {UndoAction::kRestore, ""};
      }
      if (holds == DestinationHolds::kMissing)
        return {UndoAction::kLeaveAlone, "was removed by the run, and its backup is gone"};
      return {UndoAction::kGone, "no backup and the file is there: put back already"};
    case RecordedAction::kFolderMade:
      if (holds == DestinationHolds::kMissing) return {UndoAction::kGone, "removed already"};
      if (holds == DestinationHolds::kEmptyFolder) return {UndoAction::kRemoveFolder, ""};
      if (holds == DestinationHolds::kFolder) {
        return {UndoAction::kLeaveAlone,
                "is a folder the run made, but it holds files the undo did not take back"};
      }
      return {UndoAction::kLeaveAlone, "is no longer the folder the run made (a file or a link)"};
    case RecordedAction::kTakenBack:
      return {UndoAction::kNothing, "taken back already"};
    default:
      return {UndoAction::kNothing, std::string("the run ") + RecordedActionName(recorded)};
  }
}

std::vector<UndoStep> UndoEntries(
    const std::vector<RecordedEntry>& record, const std::vector<EntryPaths>& paths,
    bool removeAdded, bool act, const std::function<void(const std::vector<UndoStep>&)>& progress) {
  std::vector<UndoStep> steps;
  steps.reserve(record.size());
  for (size_t i = record.size(); i-- > 0;) {
    UndoStep step;
    step.entry = i + 1;
    step.destination = paths[i].destination;
    step.backup = paths[i].backup;
    const DestinationHolds holds = !Exists(step.destination) ? DestinationHolds::kMissing
                                   : record[i].action == RecordedAction::kFolderMade
                                       ? FolderHolds(step.destination)
                                   : record[i].action == RecordedAction::kRemoved
                                       ? DestinationHolds::kOtherFile
                                   : HoldsTheRunsFile(step.destination, paths[i].source,
                                                      record[i].installed)
                                       ? DestinationHolds::kInstalledFile
                                       : DestinationHolds::kOtherFile;
    step.decision =
        DecideUndo(record[i].action, holds, Exists(LongPathForm(step.backup)), removeAdded);
    step.done = step.decision.action == UndoAction::kGone;
    const std::wstring partial = LongPathForm(paths[i].partial);
    step.partial = Exists(partial) && !IsLinkAt(partial);
    if (act) {
      CarryOut(step);
      if (step.partial) ClearName(partial, kBlockedKind);
    }
    steps.push_back(std::move(step));
    if (act && progress) progress(steps);
  }
  return steps;
}

size_t RemovePartialCopies(const std::vector<EntryPaths>& paths) {
  size_t removed = 0;
  for (const EntryPaths& entry : paths) {
    const std::wstring partial = LongPathForm(entry.partial);
    if (Exists(partial) && !IsLinkAt(partial) && ClearName(partial, kBlockedKind)) ++removed;
  }
  return removed;
}

bool ChangesRecord(const std::vector<UndoStep>& steps) {
  for (const UndoStep& step : steps) {
    if (Changes(step.decision.action) || step.decision.action == UndoAction::kGone) return true;
  }
  return false;
}

bool ChangesSomething(const std::vector<UndoStep>& steps) {
  for (const UndoStep& step : steps) {
    if (Changes(step.decision.action) || step.partial) return true;
  }
  return false;
}

bool AnythingLeft(const std::vector<UndoStep>& steps, bool carriedOut) {
  for (const UndoStep& step : steps) {
    if (step.decision.action == UndoAction::kLeaveAlone) return true;
    if (carriedOut && Changes(step.decision.action) && !step.done) return true;
  }
  return false;
}
