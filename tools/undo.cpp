#include "tools/undo.h"

#include "platform/retry.h"

namespace {
UndoStep Plan(const InstalledEntry& item, bool removeAdded) {
  UndoStep step;
  step.entry = item.entry;
  step.destination = item.paths.destination;
  step.backup = item.paths.backup;
  step.action = UndoAction::kLeaveAlone;
  if (item.role == EntryRole::kRefused) {
    step.reason = "names a device or a stream, never touched by a run";
  } else if (item.role == EntryRole::kSkipsRepeated) {
    step.action = UndoAction::kSameAs;
    step.sameAs = item.sameAs;
  } else if (item.facts.backupPresent) {
    step.action = UndoAction::kRestore;
  } else if (item.holds == Comparison::kMissing) {
    step.action = UndoAction::kNothing;
  } else if (item.role == EntryRole::kSkipsMissing) {
    step.reason =
        "has no backup, and without its patch file it cannot be told whether the "
        "package added it";
  } else if (item.holds == Comparison::kSame) {
    step.action = removeAdded ? UndoAction::kRemove : UndoAction::kKeepAdded;
  } else if (item.holds == Comparison::kUnreadable) {
    step.reason = "cannot be read (error " + std::to_string(item.error) + ")";
  } else {
    step.reason = "is not the package's file and has no backup";
  }
  return step;
}

void CarryOut(UndoStep& step) {
  BOOL done = FALSE;
  if (step.action == UndoAction::kRestore) {
    done = MoveReplacingWhileHeld(step.backup, step.destination);
  } else if (step.action == UndoAction::kRemove) {
    done = RetryWhileHeld([&] { return DeleteFileW(step.destination.c_str()); });
  } else {
    return;
  }
  step.done = done != FALSE;
  if (!step.done) step.error = GetLastError();
}
}  // namespace

std::vector<UndoStep> UndoEntries(const std::vector<InstalledEntry>& installed, bool removeAdded,
                                  bool act) {
  std::vector<UndoStep> steps;
  steps.reserve(installed.size());
  for (auto item = installed.rbegin(); item != installed.rend(); ++item) {
    steps.push_back(Plan(*item, removeAdded));
    if (act) CarryOut(steps.back());
  }
  return steps;
}

bool ChangesSomething(const std::vector<UndoStep>& steps) {
  for (const UndoStep& step : steps) {
    if (step.action == UndoAction::kRestore || step.action == UndoAction::kRemove) return true;
  }
  return false;
}

bool AnyFailed(const std::vector<UndoStep>& steps) {
  for (const UndoStep& step : steps) {
    if ((step.action == UndoAction::kRestore || step.action == UndoAction::kRemove) && !step.done)
      return true;
  }
  return false;
}
