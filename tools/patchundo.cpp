// patchundo: puts back what a patch package replaced, from the backups the runner keeps.
//   patchundo PACKAGE_DIR [--install-dir DIR] [--dry-run] [--remove-added] [--json]
// Exit code 0 everything that had a backup is back (with --dry-run: the plan could be made),
// 1 anything could not be put back or removed, or there is nothing to work on, 2 usage.

#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "product/install_dir.h"
#include "product/run_lock.h"
#include "product/product.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tools/package_check.h"
#include "tools/tool_cli.h"
#include "tools/undo.h"

namespace {
constexpr char kTool[] = "patchundo";
constexpr char kUsage[] =
    "patchundo PACKAGE_DIR [--install-dir DIR] [--dry-run] [--remove-added] [--json]";

struct Outcome {
  std::vector<UndoStep> steps;
  bool carriedOut = false;
  bool stopped = false;
  std::vector<DWORD> restarted;  // exit codes of the main program started again
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
      return "nothing";
    case UndoAction::kSameAs:
      break;
  }
  return "same-as";
}

std::string Describe(const UndoStep& step, bool carriedOut) {
  const std::string destination = NarrowToUtf8(step.destination);
  const std::string failure = " (error " + std::to_string(step.error) + ")";
  switch (step.action) {
    case UndoAction::kRestore:
      if (step.done) return "put back " + destination + " from its backup";
      if (!carriedOut)
        return "would put back " + destination + " from " + NarrowToUtf8(step.backup);
      return "could not put back " + destination + " from " + NarrowToUtf8(step.backup) + failure +
             ": both files are kept";
    case UndoAction::kRemove:
      if (step.done) return "removed " + destination + ", which the package added";
      if (!carriedOut) return "would remove " + destination + ", which the package added";
      return "could not remove " + destination + failure;
    case UndoAction::kKeepAdded:
      return "kept " + destination + ": the package added it (--remove-added removes it)";
    case UndoAction::kLeaveAlone:
      return "left alone: " + destination + " " + step.reason;
    case UndoAction::kNothing:
      return "nothing to put back: " + destination + " and its backup are missing";
    case UndoAction::kSameAs:
      break;
  }
  return "same destination as entry " + std::to_string(step.sameAs) + ", handled there";
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

// Plans first; only when a file is to change is the product stopped, and then each entry is read
// again and handled, so that running it twice changes nothing the second time.
Outcome Undo(const std::wstring& packageDir, const InstallFolder& install, bool dryRun,
             bool removeAdded) {
  Outcome outcome;
  PatchList entries;
  if (!ReadPackageEntries(packageDir, entries, outcome.error)) return outcome;
  outcome.steps =
      UndoEntries(ReadInstalledEntries(packageDir, install.path, entries), removeAdded, false);
  if (dryRun || !ChangesSomething(outcome.steps)) return outcome;

  // Never beside a run: it would move files aside while they are put back.
  const RunLock lock(kRunLockWaitMilliseconds);
  if (lock.GetState() == RunLock::State::kBusy) {
    outcome.error = "a patch run still holds the machine after " +
                    std::to_string(kRunLockWaitMilliseconds) + " ms: nothing changed";
    return outcome;
  }
  std::wstring installBase = install.path;
  AppendBackslashIfMissing(installBase);
  std::vector<StoppedProgram> stopped;
  outcome.stopped = StopProduct(installBase, stopped);
  try {
    outcome.steps =
        UndoEntries(ReadInstalledEntries(packageDir, install.path, entries), removeAdded, true);
  } catch (...) {
    // The product is never left stopped by us.
    const StandardHandlesHidden hidden;
    RestartMainProgram(installBase, stopped);
    throw;
  }
  outcome.carriedOut = true;
  const StandardHandlesHidden hidden;
  outcome.restarted = RestartMainProgram(installBase, stopped);
  return outcome;
}

void PrintText(const InstallFolder& install, const Outcome& outcome) {
  if (install.error.empty()) std::printf("%s\n", DescribeInstallFolder(install).c_str());
  if (!outcome.error.empty()) PrintError(kTool, outcome.error);
  if (outcome.stopped) std::printf("stopped the product's programs in the installation\n");
  for (const UndoStep& step : outcome.steps)
    std::printf("entry %zu: %s\n", step.entry, Describe(step, outcome.carriedOut).c_str());
  for (DWORD exitCode : outcome.restarted) {
    std::printf("started %s again: exit code %lu%s\n", NarrowToUtf8(kMainProgram).c_str(),
                static_cast<unsigned long>(exitCode),
                exitCode == 0xFFFFFFFFu ? " (still running after 2 s, or it did not start)" : "");
  }
}

void PrintJsonOutcome(const InstallFolder& install, const Outcome& outcome, bool ok) {
  Json::Value root(Json::objectValue);
  root["ok"] = ok;
  AddInstallFolder(install, root);
  if (!outcome.error.empty()) root["error"] = outcome.error;
  root["carried_out"] = outcome.carriedOut;
  root["stopped"] = outcome.stopped;
  root["restarted"] = Json::Value(Json::arrayValue);
  for (DWORD exitCode : outcome.restarted) root["restarted"].append(Json::UInt(exitCode));
  root["entries"] = Json::Value(Json::arrayValue);
  for (const UndoStep& step : outcome.steps) {
    Json::Value item;
    item["entry"] = static_cast<Json::UInt>(step.entry);
    item["action"] = ActionName(step.action);
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
  const InstallFolder install = FindInstallFolder(arguments.Value(L"--install-dir"));
  Outcome outcome;
  if (install.error.empty()) {
    outcome = Undo(FolderArgument(arguments.positional[0]), install, arguments.Has(L"--dry-run"),
                   arguments.Has(L"--remove-added"));
  } else {
    outcome.error = install.error;
  }
  const bool ok = outcome.error.empty() && !(outcome.carriedOut && AnyFailed(outcome.steps));
  if (arguments.Has(L"--json")) {
    PrintJsonOutcome(install, outcome, ok);
  } else {
    PrintText(install, outcome);
  }
  return ok ? kExitOk : kExitFailed;
}
}  // namespace

int wmain(int argc, wchar_t** argv) { return RunTool(kTool, Main, argc, argv); }
