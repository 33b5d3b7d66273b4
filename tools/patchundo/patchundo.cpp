// patchundo: takes back what a run of a patch package did on this machine, as the run's record
// says it did it, and only where the installation is still as the run left it.
//   patchundo PACKAGE_DIR [--install-dir DIR] [--dry-run] [--remove-added] [--json]
// Exit code 0 everything the run did is taken back (or there is no record: no run applied this
// package here), 1 something was left as it is (with its reason) or could not be done, 2 usage.

#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/text.h"
#include "product/product.h"
#include "tools/kit/cli.h"
#include "tools/kit/record_text.h"
#include "tools/patchundo/take_back.h"

namespace {
constexpr char kTool[] = "patchundo";
constexpr char kUsage[] =
    "patchundo PACKAGE_DIR [--install-dir DIR] [--dry-run] [--remove-added] [--json]";

void PrintText(const TakeBack& outcome) {
  if (outcome.recorded) {
    PrintOut("install folder from the run's record: %s\n",
                NarrowToUtf8(outcome.record.installDir).c_str());
    PrintOut("record: %s\n", DescribeRecord(RecordRead::kFound, outcome.record).c_str());
  }
  if (!outcome.note.empty()) PrintOut("%s\n", outcome.note.c_str());
  if (!outcome.error.empty()) PrintError(kTool, outcome.error);
  if (outcome.stopped) PrintOut("stopped the product's programs in the installation\n");
  for (const UndoStep& step : outcome.steps)
    PrintOut("entry %zu: %s\n", step.entry, DescribeUndoStep(step, outcome.carriedOut).c_str());
  for (DWORD exitCode : outcome.restarted) {
    PrintOut("started %s again: exit code %lu%s\n", NarrowToUtf8(kMainProgram).c_str(),
                static_cast<unsigned long>(exitCode),
                exitCode == 0xFFFFFFFFu ? " (still running after 2 s, or it did not start)" : "");
  }
  if (outcome.leftStarted > 0) {
    PrintOut("started %zu main programs again that a cut-off run had left stopped\n",
                outcome.leftStarted);
  }
  if (outcome.undone) PrintOut("record: marked undone\n");
}

void PrintJsonOutcome(const TakeBack& outcome, bool ok) {
  Json::Value root(Json::objectValue);
  root["ok"] = ok;
  root["record"] = RecordJson(outcome.recordId,
                              outcome.recorded ? RecordRead::kFound : RecordRead::kMissing,
                              outcome.record);
  root["install_dir"] = NarrowToUtf8(outcome.record.installDir);
  if (!outcome.note.empty()) root["note"] = outcome.note;
  if (!outcome.error.empty()) root["error"] = outcome.error;
  root["carried_out"] = outcome.carriedOut;
  root["stopped"] = outcome.stopped;
  root["undone"] = outcome.undone;
  root["left_stopped_started"] = static_cast<Json::UInt>(outcome.leftStarted);
  root["restarted"] = Json::Value(Json::arrayValue);
  for (DWORD exitCode : outcome.restarted) root["restarted"].append(Json::UInt(exitCode));
  root["entries"] = Json::Value(Json::arrayValue);
  for (const UndoStep& step : outcome.steps) {
    Json::Value item;
    item["entry"] = static_cast<Json::UInt>(step.entry);
    item["action"] = UndoActionName(step.decision.action);
    item["destination"] = NarrowToUtf8(step.destination);
    item["done"] = step.done;
    item["error"] = Json::UInt(step.error);
    item["text"] = DescribeUndoStep(step, outcome.carriedOut);
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
  const TakeBack outcome =
      TakeBackPackage(FolderArgument(arguments.positional[0]), arguments.Value(L"--install-dir"),
                      arguments.Has(L"--dry-run"), arguments.Has(L"--remove-added"));
  const bool ok = TookBackEverything(outcome);
  if (arguments.Has(L"--json")) {
    PrintJsonOutcome(outcome, ok);
  } else {
    PrintText(outcome);
  }
  return ok ? kExitOk : kExitFailed;
}
}  // namespace

int wmain(int argc, wchar_t** argv) { return RunTool(kTool, Main, argc, argv); }
