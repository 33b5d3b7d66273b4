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
#include "tools/package_check.h"
#include "tools/tool_cli.h"
#include "tools/tool_files.h"

namespace {
constexpr char kTool[] = "patchcheck";
constexpr char kUsage[] = "patchcheck PACKAGE_DIR [--verify] [--install-dir DIR] [--json]";

void PrintText(const PackageReport& report) {
  for (const Finding& finding : report.findings) std::printf("%s\n", FindingText(finding).c_str());
  for (const DryRunStep& step : report.steps) std::printf("%s\n", StepText(step).c_str());
  std::printf("%s\n", RunnerText(report.runner).c_str());
  std::printf("%s\n", report.Failed() ? "result: a run would fail or skip entries"
                                      : "result: a run would succeed");
}

// --- --verify ---------------------------------------------------------------------------

const char* StateName(const InstalledEntry& item) {
  switch (item.role) {
    case EntryRole::kSkipsMissing:
      return "skip-missing-file";
    case EntryRole::kSkipsRepeated:
      return "skip-repeated";
    case EntryRole::kRefused:
      return "refused";
    case EntryRole::kApplies:
      break;
  }
  switch (item.holds) {
    case Comparison::kSame:
      return "applied";
    case Comparison::kDifferent:
      return "differs";
    case Comparison::kMissing:
      return "missing";
    case Comparison::kUnreadable:
      break;
  }
  return "unreadable";
}

std::string DescribeEntry(const InstalledEntry& item) {
  const std::string destination = NarrowToUtf8(item.paths.destination);
  const std::string backup = item.facts.backupPresent ? "; its backup exists" : "; no backup";
  switch (item.role) {
    case EntryRole::kSkipsMissing:
      return "skip: patch file " + NarrowToUtf8(item.paths.source) + " is missing (a run skips it)";
    case EntryRole::kSkipsRepeated:
      return "skip: same destination as entry " + std::to_string(item.sameAs);
    case EntryRole::kRefused:
      return "not applied: " + destination + " names a device or a stream: a run stops there";
    case EntryRole::kApplies:
      break;
  }
  switch (item.holds) {
    case Comparison::kSame:
      return "applied: " + destination + " holds the package's file" + backup;
    case Comparison::kDifferent:
      return "not applied: " + destination + " holds something else" + backup;
    case Comparison::kMissing:
      return "not applied: " + destination + " is missing" + backup;
    case Comparison::kUnreadable:
      break;
  }
  return "not applied: " + destination + " cannot be read (error " + std::to_string(item.error) +
         ")";
}

// The detection rule's answer: 0 applied, 1 not (or it cannot be told).
int Verify(const std::wstring& packageDir, const std::wstring& givenInstallDir, bool json) {
  PatchList entries;
  std::string error;
  const InstallFolder install = FindInstallFolder(givenInstallDir);
  if (!ReadPackageEntries(packageDir, entries, error)) {
    entries.clear();
  } else if (!install.error.empty()) {
    error = install.error;
  }
  const std::vector<InstalledEntry> installed =
      error.empty() ? ReadInstalledEntries(packageDir, install.path, entries)
                    : std::vector<InstalledEntry>();
  const bool applied = error.empty() && IsApplied(installed);
  if (json) {
    Json::Value root(Json::objectValue);
    root["applied"] = applied;
    AddInstallFolder(install, root);
    if (!error.empty()) root["error"] = error;
    root["verify"] = Json::Value(Json::arrayValue);
    for (const InstalledEntry& item : installed) {
      Json::Value entry;
      entry["entry"] = static_cast<Json::UInt>(item.entry);
      entry["state"] = StateName(item);
      entry["destination"] = NarrowToUtf8(item.paths.destination);
      entry["backup_exists"] = item.facts.backupPresent;
      root["verify"].append(entry);
    }
    PrintJson(root);
  } else {
    if (install.error.empty()) std::printf("%s\n", DescribeInstallFolder(install).c_str());
    if (!error.empty()) PrintError(kTool, error);
    for (const InstalledEntry& item : installed)
      std::printf("entry %zu: %s\n", item.entry, DescribeEntry(item).c_str());
    std::printf("%s\n", applied         ? "result: the package is applied here"
                        : error.empty() ? "result: the package is not applied here"
                                        : "result: cannot tell whether the package is applied");
  }
  return applied ? kExitOk : kExitFailed;
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
    PrintText(report);
  }
  return report.Failed() ? kExitFailed : kExitOk;
}
}  // namespace

int wmain(int argc, wchar_t** argv) { return RunTool(kTool, Main, argc, argv); }
