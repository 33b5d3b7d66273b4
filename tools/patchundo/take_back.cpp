#include "tools/patchundo/take_back.h"

#include "package/layout.h"
#include "package/plan.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "product/deployment.h"
#include "product/product.h"
#include "product/run_lock.h"
#include "tools/kit/install_folder.h"
#include "tools/kit/package_read.h"
#include "tools/kit/record_trust.h"

namespace {
std::wstring WithBackslash(std::wstring folder) {
  AppendBackslashIfMissing(folder);
  return folder;
}

// Step one: the package, its record, and whether they belong together. False when there is
// nothing to take back (a note) or it cannot be done (an error); `paths` then is empty.
bool ReadRecordOf(const std::wstring& packageDir, const std::wstring& givenInstallDir,
                  TakeBack& outcome, std::string& packageId, std::vector<EntryPaths>& paths) {
  PatchList entries;
  std::string confId;
  if (!ReadPackageEntries(packageDir, entries, outcome.error, &packageId, &confId)) return false;
  switch (RecordsKeyBelieved() ? ReadPackageRecord(packageId, confId, outcome.record, packageId)
                               : RecordRead::kUnreadable) {
    case RecordRead::kMissing:
      outcome.note = "no run applied this package here (no record of it): nothing to take back";
      paths = FormAllEntryPaths(entries, PatchFolderOf(packageDir),
                                FindInstallFolder(givenInstallDir).path);
      return false;
    case RecordRead::kUnreadable:
      outcome.error = "the run's record of this package cannot be read";
      return false;
    case RecordRead::kFound:
      break;
  }
  outcome.recorded = true;
  outcome.recordId = packageId;
  const RunRecord& record = outcome.record;
  if (record.entries.size() != entries.size()) {
    outcome.error = "the run's record does not match the package's entries";
    return false;
  }
  if (!givenInstallDir.empty() &&
      CompareAsFileNames(WithBackslash(givenInstallDir), WithBackslash(record.installDir)) != 0) {
    outcome.error = "the run worked on " + NarrowToUtf8(record.installDir) + ", not on " +
                    NarrowToUtf8(givenInstallDir);
    return false;
  }
  if (record.state == RecordState::kUndone) {
    outcome.note = "the record says this package was undone at " + NarrowToUtf8(record.undone) +
                   ": nothing to take back";
    return false;
  }
  paths = FormAllEntryPaths(entries, PatchFolderOf(packageDir), record.installDir);
  return true;
}

// Never beside a run, nor while one can start: false with the error when the lock is not had.
bool HoldRunLock(const RunLock& lock, TakeBack& outcome) {
  if (lock.GetState() == RunLock::State::kHeld) return true;
  outcome.lockBusy = lock.GetState() == RunLock::State::kBusy;
  outcome.error = lock.GetState() == RunLock::State::kBusy
                      ? "a patch run still holds the machine after " +
                            std::to_string(kRunLockWaitMilliseconds) + " ms: nothing changed"
                      : "the run lock cannot be taken (error " + std::to_string(lock.Error()) +
                            "): nothing changed";
  return false;
}

// What was taken back, or found gone, is recorded entry by entry; `steps` may be the first of
// an undo still going on.
RunRecord RecordTakenBack(const std::string& packageId, const std::vector<UndoStep>& steps,
                          TakeBack& outcome) {
  std::vector<bool> takenBack(outcome.record.entries.size());
  for (const UndoStep& step : steps) takenBack[step.entry - 1] = step.done;
  const RunRecord updated = RecordAfterUndo(outcome.record, takenBack, RecordTimeNow());
  const LONG written = WriteRunRecord(packageId, updated);
  if (written != ERROR_SUCCESS) {
    outcome.error = "the record cannot be updated (error " + std::to_string(written) + ")";
    return outcome.record;
  }
  outcome.undone = updated.state == RecordState::kUndone;
  if (outcome.undone) {
    const LONG removed = RemoveUpdate(packageId);
    const DWORD kept = RemoveKeptPackage(packageId);
    if (removed != ERROR_SUCCESS || kept != ERROR_SUCCESS) {
      outcome.error = "the installed-updates entry or the kept copy in " +
                      NarrowToUtf8(KeptPackageFolder(packageId)) + " cannot be removed (error " +
                      std::to_string(removed != ERROR_SUCCESS ? removed : kept) + ")";
    }
  }
  return updated;
}

// Step two: each entry is read again once the product is stopped, and the record marks what
// is taken back as it goes (some sixty writes at most), so that an undo cut off on the way
// goes on from there. The product started again must not hold this tool's output open: it
// starts without standard handles.
void CarryOut(const std::string& packageId, const std::vector<EntryPaths>& paths,
              bool removeAdded, TakeBack& outcome) {
  const RunLock lock(kRunLockWaitMilliseconds);
  if (!HoldRunLock(lock, outcome)) return;
  const size_t stride = 1 + paths.size() / 64;
  size_t sinceWritten = 0;
  const auto progress = [&](const std::vector<UndoStep>& steps) {
    if (++sinceWritten < stride || !outcome.error.empty()) return;
    sinceWritten = 0;
    RecordTakenBack(packageId, steps, outcome);
  };
  const std::vector<LeftStopped> left = FindLeftStopped();
  {
    ProductStop stop(WithBackslash(outcome.record.installDir), StandardHandles::kNone);
    outcome.stopped = stop.StoppedAny();
    outcome.steps = UndoEntries(outcome.record.entries, paths, removeAdded, true, progress);
    outcome.carriedOut = true;
    outcome.restarted = stop.Restart();
  }
  outcome.leftStarted = RestartLeftStopped(left, StandardHandles::kNone);
  outcome.record = RecordTakenBack(packageId, outcome.steps, outcome);
}

// Without a record no run applied the package, but a run cut off in its staging may have left
// its partial copies.
void RemoveLeftovers(const std::vector<EntryPaths>& paths, TakeBack& outcome) {
  bool any = false;
  for (const EntryPaths& entry : paths) {
    any = any || GetFileAttributesW(LongPathForm(entry.partial).c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  if (!any) return;
  const RunLock lock(kRunLockWaitMilliseconds);
  if (!HoldRunLock(lock, outcome)) return;
  const size_t removed = RemovePartialCopies(paths);
  if (removed > 0) {
    outcome.note += "; removed " + std::to_string(removed) + " partial copies a cut-off run left";
  }
}
}  // namespace

TakeBack TakeBackPackage(const std::wstring& packageDir, const std::wstring& givenInstallDir,
                         bool dryRun, bool removeAdded) {
  TakeBack outcome;
  std::string packageId;
  std::vector<EntryPaths> paths;
  if (!ReadRecordOf(packageDir, givenInstallDir, outcome, packageId, paths)) {
    if (!dryRun && !outcome.recorded && outcome.error.empty()) RemoveLeftovers(paths, outcome);
    return outcome;
  }
  outcome.steps = UndoEntries(outcome.record.entries, paths, removeAdded, false);
  if (dryRun) return outcome;
  if (ChangesSomething(outcome.steps)) {
    CarryOut(packageId, paths, removeAdded, outcome);
  } else if (ChangesRecord(outcome.steps)) {
    outcome.record = RecordTakenBack(packageId, outcome.steps, outcome);
  }
  return outcome;
}

bool TookBackEverything(const TakeBack& outcome) {
  return outcome.error.empty() && !AnythingLeft(outcome.steps, outcome.carriedOut);
}

const char* UndoActionName(UndoAction action) {
  switch (action) {
    case UndoAction::kRestore:
      return "restore";
    case UndoAction::kRemove:
      return "remove";
    case UndoAction::kKeepAdded:
      return "keep-added";
    case UndoAction::kLeaveAlone:
      return "leave-alone";
    case UndoAction::kGone:
      return "gone";
    case UndoAction::kRemoveFolder:
      return "remove-folder";
    case UndoAction::kNothing:
      break;
  }
  return "nothing";
}

std::string DescribeUndoStep(const UndoStep& step, bool carriedOut) {
  const std::string destination = NarrowToUtf8(step.destination);
  const std::string failure = " (error " + std::to_string(step.error) + ")";
  std::string text;
  switch (step.decision.action) {
    case UndoAction::kRestore:
      text = step.done     ? "put back " + destination + " from its backup"
             : !carriedOut ? "would put back " + destination + " from " + NarrowToUtf8(step.backup)
                           : "could not put back " + destination + " from " +
                                 NarrowToUtf8(step.backup) + failure + ": both files are kept";
      break;
    case UndoAction::kRemove:
      text = step.done     ? "removed " + destination + ", which the run added"
             : !carriedOut ? "would remove " + destination + ", which the run added"
                           : "could not remove " + destination + failure;
      break;
    case UndoAction::kRemoveFolder:
      text = step.done     ? "removed folder " + destination + ", which the run made"
             : !carriedOut ? "would remove folder " + destination + ", which the run made"
                           : "could not remove folder " + destination + failure;
      break;
    case UndoAction::kKeepAdded:
      text = "kept " + destination + ": the run added it (--remove-added removes it)";
      break;
    case UndoAction::kLeaveAlone:
      text = "left alone: " + destination + " " + step.decision.reason;
      break;
    case UndoAction::kNothing:
      text = "nothing to do for " + destination + ": " + step.decision.reason;
      break;
    case UndoAction::kGone:
      text = "nothing of the run left at " + destination + ": " + step.decision.reason;
      break;
  }
  if (step.partial) text += carriedOut ? "; its partial copy removed" : "; a partial copy is left";
  return text;
}
