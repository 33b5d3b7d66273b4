// patchundo: takes back what a run of a patch package did on this machine, as the run's record
// says it did it, and only where the installation is still as the run left it.
//   patchundo PACKAGE_DIR [--install-dir DIR] [--dry-run] [--remove-added] [--json]
// Exit code 0 everything the run did is taken back (or there is no record: no run applied this
// package here), 1 something was left as it is (with its reason) or could not be done, 2 usage.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "package/layout.h"
#include "package/plan.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "product/product.h"
#include "product/run_lock.h"
#include "product/run_record.h"
#include "tools/kit/package_read.h"
#include "tools/kit/cli.h"
#include "tools/patchundo/undo_plan.h"

namespace {
constexpr char kTool[] = "patchundo";
constexpr char kUsage[] =
    "patchundo PACKAGE_DIR [--install-dir DIR] [--dry-run] [--remove-added] [--json]";

struct Outcome {
  RunRecord record;
  bool recorded = false;
  std::vector<UndoStep> steps;
  bool carriedOut = false;
  bool stopped = false;
  bool undone = false;           // the record now says so
  std::vector<DWORD> restarted;  // exit codes of the main program started again
  std::string note;              // why nothing was done, when nothing was to do
  std::string error;
};

const char* ActionName(UndoAction action) {
  switch (action) {
    case UndoAction::kRestore:
      return "restore";
    case UndoAction::kRemove:
      return "remove";
    case UndoAction::kKeepAdded:
      return "keep-added";
    case UndoAction::kLeaveAlone:
      return "leave-alone";
    case UndoAction::kNothing:
      break;
  }
  return "nothing";
}

std::string Describe(const UndoStep& step, bool carriedOut) {
  const std::string destination = NarrowToUtf8(step.destination);
  const std::string failure = " (error " + std::to_string(step.error) + ")";
  std::string text;
  switch (step.decision.action) {
    case UndoAction::kRestore:
      text = step.done        ? "put back " + destination + " from its backup"
             : !carriedOut    ? "would put back " + destination + " from " +
                                 NarrowToUtf8(step.backup)
                              : "could not put back " + destination + " from " +
                                 NarrowToUtf8(step.backup) + failure + ": both files are kept";
      break;
    case UndoAction::kRemove:
      text = step.done     ? "removed " + destination + ", which the run added"
             : !carriedOut ? "would remove " + destination + ", which the run added"
                           : "could not remove " + destination + failure;
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
  }
  if (step.partial) text += carriedOut ? "; its partial copy removed" : "; a partial copy is left";
  return text;
}

// The product started again must not hold this tool's output open: a deployment system that
// reads the output to its end would wait for the product. Some platforms hand a child the
// caller's standard handles even when it inherits none, so there are none while it starts.
class StandardHandlesHidden {
 public:
  StandardHandlesHidden() {
    for (int i = 0; i < 3; ++i) {
      saved_[i] = GetStdHandle(kKinds[i]);
      SetStdHandle(kKinds[i], nullptr);
    }
  }
  ~StandardHandlesHidden() {
    for (int i = 0; i < 3; ++i) SetStdHandle(kKinds[i], saved_[i]);
  }
  StandardHandlesHidden(const StandardHandlesHidden&) = delete;
  StandardHandlesHidden& operator=(const StandardHandlesHidden&) = delete;

 private:
  static constexpr DWORD kKinds[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  HANDLE saved_[3];
};

std::wstring WithBackslash(std::wstring folder) {
  AppendBackslashIfMissing(folder);
  return folder;
}

// Reads the record, plans; only when a file is to change, and only under the run lock, is the
// product stopped, and then each entry is read again and handled, so that running it twice
// changes nothing the second time.
Outcome Undo(const std::wstring& packageDir, const std::wstring& givenInstallDir, bool dryRun,
             bool removeAdded) {
  Outcome outcome;
  PatchList entries;
  std::string packageId;
  if (!ReadPackageEntries(packageDir, entries, outcome.error, &packageId)) return outcome;
  switch (ReadRunRecord(packageId, outcome.record)) {
    case RecordRead::kMissing:
      outcome.note = "no run applied this package here (no record of it): nothing to take back";
      return outcome;
    case RecordRead::kUnreadable:
      outcome.error = "the run's record of this package cannot be read";
      return outcome;
    case RecordRead::kFound:
      break;
  }
  outcome.recorded = true;
  const RunRecord& record = outcome.record;
  if (record.entries.size() != entries.size()) {
    outcome.error = "the run's record does not match the package's entries";
    return outcome;
  }
  if (!givenInstallDir.empty() &&
      CompareAsFileNames(WithBackslash(givenInstallDir), WithBackslash(record.installDir)) != 0) {
    outcome.error = "the run worked on " + NarrowToUtf8(record.installDir) + ", not on " +
                    NarrowToUtf8(givenInstallDir);
    return outcome;
  }
  if (record.state == RecordState::kUndone) {
    outcome.note = "the record says this package was undone at " + NarrowToUtf8(record.undone) +
                   ": nothing to take back";
    return outcome;
  }
  const std::vector<EntryPaths> paths =
      FormAllEntryPaths(entries, PatchFolderOf(packageDir), record.installDir);
  outcome.steps = UndoEntries(record.entries, paths, removeAdded, false);
  if (dryRun || !ChangesSomething(outcome.steps)) return outcome;

  // Never beside a run, nor without the guarantee that none can start meanwhile.
  const RunLock lock(kRunLockWaitMilliseconds);
  if (lock.GetState() != RunLock::State::kHeld) {
    outcome.error = lock.GetState() == RunLock::State::kBusy
                        ? "a patch run still holds the machine after " +
                              std::to_string(kRunLockWaitMilliseconds) + " ms: nothing changed"
                        : "the run lock cannot be taken (error " + std::to_string(lock.Error()) +
                              "): nothing changed";
    return outcome;
  }
  const std::wstring installBase = WithBackslash(record.installDir);
  std::vector<StoppedProgram> stopped;
  try {
    outcome.stopped = StopProduct(installBase, stopped);
    outcome.steps = UndoEntries(record.entries, paths, removeAdded, true);
  } catch (...) {
    // The product is never left stopped by us.
    const StandardHandlesHidden hidden;
    RestartMainProgram(installBase, stopped);
    throw;
  }
  outcome.carriedOut = true;
  {
    const StandardHandlesHidden hidden;
    outcome.restarted = RestartMainProgram(installBase, stopped);
  }
  // What was taken back is recorded entry by entry; once nothing of the run is left in the
  // installation, the record says undone, with the time, and stays for the audit.
  RunRecord updated = record;
  bool installedLeft = false;
  for (const UndoStep& step : outcome.steps) {
    RecordedEntry& entry = updated.entries[step.entry - 1];
    if (step.done) entry = {RecordedAction::kTakenBack, InstalledFile()};
    installedLeft = installedLeft || Installs(entry.action);
  }
  if (!installedLeft) {
    updated.state = RecordState::kUndone;
    updated.undone = RecordTimeNow();
  }
  const LONG written = WriteRunRecord(packageId, updated);
  if (written != ERROR_SUCCESS) {
    outcome.error = "the record cannot be updated (error " + std::to_string(written) + ")";
  } else {
    outcome.record = updated;
    outcome.undone = !installedLeft;
  }
  return outcome;
}

void PrintText(const Outcome& outcome) {
  if (outcome.recorded) {
    std::printf("install folder from the run's record: %s\n",
                NarrowToUtf8(outcome.record.installDir).c_str());
    std::printf("record: %s, started %s\n", NarrowToUtf8(RecordStateName(outcome.record.state)).c_str(),
                NarrowToUtf8(outcome.record.started).c_str());
  }
  if (!outcome.note.empty()) std::printf("%s\n", outcome.note.c_str());
  if (!outcome.error.empty()) PrintError(kTool, outcome.error);
  if (outcome.stopped) std::printf("stopped the product's programs in the installation\n");
  for (const UndoStep& step : outcome.steps)
    std::printf("entry %zu: %s\n", step.entry, Describe(step, outcome.carriedOut).c_str());
  for (DWORD exitCode : outcome.restarted) {
    std::printf("started %s again: exit code %lu%s\n", NarrowToUtf8(kMainProgram).c_str(),
                static_cast<unsigned long>(exitCode),
                exitCode == 0xFFFFFFFFu ? " (still running after 2 s, or it did not start)" : "");
  }
  if (outcome.undone) std::printf("record: marked undone\n");
}

void PrintJsonOutcome(const Outcome& outcome, bool ok) {
  Json::Value root(Json::objectValue);
  root["ok"] = ok;
  root["record"] = outcome.recorded ? Json::Value(NarrowToUtf8(RecordStateName(outcome.record.state)))
                                    : Json::Value();
  root["install_dir"] = NarrowToUtf8(outcome.record.installDir);
  if (!outcome.note.empty()) root["note"] = outcome.note;
  if (!outcome.error.empty()) root["error"] = outcome.error;
  root["carried_out"] = outcome.carriedOut;
  root["stopped"] = outcome.stopped;
  root["undone"] = outcome.undone;
  root["restarted"] = Json::Value(Json::arrayValue);
  for (DWORD exitCode : outcome.restarted) root["restarted"].append(Json::UInt(exitCode));
  root["entries"] = Json::Value(Json::arrayValue);
  for (const UndoStep& step : outcome.steps) {
    Json::Value item;
    item["entry"] = static_cast<Json::UInt>(step.entry);
    item["action"] = ActionName(step.decision.action);
    item["destination"] = NarrowToUtf8(step.destination);
    item["done"] = step.done;
    item["error"] = Json::UInt(step.error);
    item["text"] = Describe(step, outcome.carriedOut);
    root["entries"].append(item);
  }
  PrintJson(root);
}

int Main(int argc, wchar_t** argv) {
  ToolArguments arguments;
  if (!ParseArguments(argc, argv,
                      {{L"--json"}, {L"--dry-run"}, {L"--remove-added"}, {L"--install-dir", true}},
                      1, arguments)) {
    return PrintUsage(kUsage);
  }
  const Outcome outcome =
      Undo(FolderArgument(arguments.positional[0]), arguments.Value(L"--install-dir"),
           arguments.Has(L"--dry-run"), arguments.Has(L"--remove-added"));
  const bool ok = outcome.error.empty() && !AnythingLeft(outcome.steps, outcome.carriedOut);
  if (arguments.Has(L"--json")) {
    PrintJsonOutcome(outcome, ok);
  } else {
    PrintText(outcome);
  }
  return ok ? kExitOk : kExitFailed;
}
}  // namespace

int wmain(int argc, wchar_t** argv) { return RunTool(kTool, Main, argc, argv); }
