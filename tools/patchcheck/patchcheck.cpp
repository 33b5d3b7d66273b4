// patchcheck: what the runner would make of a patch package, before it reaches a customer, and
// whether it is applied on this machine (a deployment system's detection rule).
//   patchcheck PACKAGE_DIR [--install-dir DIR] [--json]
//   patchcheck PACKAGE_DIR --verify [--install-dir DIR] [--json]
// Exit code 0 a run would succeed (with --verify: the package is applied here), 1 it would fail
// or skip an entry for a missing file (not applied, or it cannot be told), 2 usage.

#include <windows.h>

#include <json/json.h>

#include <cstdio>
#include <string>

#include "platform/text.h"
#include "product/run_record.h"
#include "tools/kit/cli.h"
#include "tools/kit/files.h"
#include "tools/kit/install_folder.h"
#include "tools/kit/package_read.h"
#include "tools/kit/record_text.h"
#include "tools/patchcheck/dry_run.h"
#include "tools/patchcheck/findings.h"
#include "tools/patchcheck/verify.h"

namespace {
constexpr char kTool[] = "patchcheck";
constexpr char kUsage[] = "patchcheck PACKAGE_DIR [--verify] [--install-dir DIR] [--json]";

// Without an installation only the package's form is checked: no run is tried.
void PrintText(const PackageReport& report, bool dryRun) {
  for (const Finding& finding : report.findings) PrintOut("%s\n", FindingText(finding).c_str());
  for (const DryRunStep& step : report.steps) PrintOut("%s\n", StepText(step).c_str());
  PrintOut("%s\n", RunnerText(report.runner).c_str());
  PrintOut("%s\n", report.Failed() ? "result: a run would fail or skip entries"
                       : dryRun        ? "result: a run would succeed"
                                       : "result: well-formed; no installation to try");
}

// The detection rule's answer: 0 applied, 1 not (or it cannot be told).
int Verify(const std::wstring& packageDir, const std::wstring& givenInstallDir, bool json) {
  const VerifyReport report = VerifyPackage(packageDir, givenInstallDir);
  if (json) {
    Json::Value root(Json::objectValue);
    root["applied"] = report.applied;
    AddInstallFolder(report.install, root);
    if (!report.error.empty()) root["error"] = report.error;
    root["record"] = RecordJson(report.packageId, report.recordRead, report.record);
    root["verify"] = Json::Value(Json::arrayValue);
    for (const InstalledEntry& item : report.installed) {
      Json::Value entry;
      entry["entry"] = static_cast<Json::UInt>(item.entry);
      entry["state"] = EntryStateName(item);
      entry["destination"] = NarrowToUtf8(item.paths.destination);
      entry["backup_exists"] = item.facts.backupPresent;
      root["verify"].append(entry);
    }
    PrintJson(root);
  } else {
    if (report.install.error.empty())
      PrintOut("%s\n", DescribeInstallFolder(report.install).c_str());
    if (!report.error.empty()) PrintError(kTool, report.error);
    if (!report.packageId.empty())
      PrintOut("record: %s\n", DescribeRecord(report.recordRead, report.record).c_str());
    for (const InstalledEntry& item : report.installed)
      PrintOut("entry %zu: %s\n", item.entry, DescribeInstalledEntry(item).c_str());
    PrintOut("%s\n", report.applied ? "result: the package is applied here"
                        : report.error.empty()
                            ? "result: the package is not applied here"
                            : "result: cannot tell whether the package is applied");
  }
  return report.applied ? kExitOk : kExitFailed;
}

int Main(int argc, wchar_t** argv) {
  ToolArguments arguments;
  if (!ParseArguments(argc, argv, {{L"--json"}, {L"--verify"}, {L"--install-dir", true}}, 1,
                      arguments)) {
    return PrintUsage(kUsage);
  }
  const std::wstring packageDir = FolderArgument(arguments.positional[0]);
  const std::wstring installDir = arguments.Value(L"--install-dir");
  const bool json = arguments.Has(L"--json");
  if (arguments.Has(L"--verify")) return Verify(packageDir, installDir, json);

  PackageReport report = CheckPackage(packageDir);
  if (!installDir.empty()) DryRun(packageDir, installDir, report);
  if (json) {
    PrintJson(ReportJson(report));
  } else {
    PrintText(report, !installDir.empty());
  }
  return report.Failed() ? kExitFailed : kExitOk;
}
}  // namespace

int wmain(int argc, wchar_t** argv) { return RunTool(kTool, Main, argc, argv); }
