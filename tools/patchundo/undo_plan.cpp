#include "tools/patchundo/undo_plan.h"

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/retry.h"

namespace {
// What a stopped run left at a partial name is moved aside under this kind when it is a folder.
constexpr wchar_t kBlockedKind[] = L"blocked";

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Changes(UndoAction action) {
  return action == UndoAction::kRestore || action == UndoAction::kRemove;
}

void CarryOut(UndoStep& step) {
  const std::wstring backup = LongPathForm(step.backup);
  BOOL done = FALSE;
  if (step.decision.action == UndoAction::kRestore) {
    done = ClearReadOnly(step.destination) && MoveReplacingWhileHeld(backup, step.destination);
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
  switch (recorded) {
    case RecordedAction::kMovedThenCopied:
      if (!backupPresent) return {UndoAction::kLeaveAlone, "its backup is gone"};
      if (holds == DestinationHolds::kOtherFile) return {UndoAction::kLeaveAlone, notInstalled};
      return {UndoAction::kRestore, ""};
    case RecordedAction::kCopied:
      if (holds == DestinationHolds::kMissing) return {UndoAction::kNothing, "removed already"};
      if (holds == DestinationHolds::kOtherFile) return {UndoAction::kLeaveAlone, notInstalled};
      return {removeAdded ? UndoAction::kRemove : UndoAction::kKeepAdded, ""};
    case RecordedAction::kTakenBack:
      return {UndoAction::kNothing, "taken back already"};
    default:
      return {UndoAction::kNothing, std::string("the run ") + RecordedActionName(recorded)};
  }
}

std::vector<UndoStep> UndoEntries(const std::vector<RecordedEntry>& record,
                                  const std::vector<EntryPaths>& paths, bool removeAdded,
                                  bool act) {
  std::vector<UndoStep> steps;
  steps.reserve(record.size());
  for (size_t i = record.size(); i-- > 0;) {
    UndoStep step;
    step.entry = i + 1;
    step.destination = paths[i].destination;
    step.backup = paths[i].backup;
    const DestinationHolds holds = !Exists(step.destination) ? DestinationHolds::kMissing
                                   : HoldsInstalledFile(step.destination, record[i].installed)
                                       ? DestinationHolds::kInstalledFile
                                       : DestinationHolds::kOtherFile;
    step.decision =
        DecideUndo(record[i].action, holds, Exists(LongPathForm(step.backup)), removeAdded);
    const std::wstring partial = LongPathForm(paths[i].partial);
    step.partial = Exists(partial);
    if (act) {
      CarryOut(step);
      if (step.partial) ClearName(partial, kBlockedKind);
    }
    steps.push_back(std::move(step));
  }
  return steps;
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
