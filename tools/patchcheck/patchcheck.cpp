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
#include "tools/patchcheck/dry_run.h"
#include "tools/patchcheck/findings.h"
#include "tools/patchcheck/verify.h"

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
  if (item.role == EntryRole::kSkipsRepeated) return "skip-repeated";
  if (item.role == EntryRole::kRefused) return "refused";
  if (item.cannotTell) return "cannot-tell";
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
  const std::string what = item.role == EntryRole::kSkipsMissing
                               ? "the sha256 conf.json records (its patch file is missing)"
                               : "the package's file";
  switch (item.role) {
    case EntryRole::kSkipsRepeated:
      return "skip: same destination as entry " + std::to_string(item.sameAs);
    case EntryRole::kRefused:
      return "not applied: " + destination + " names no file (a device, a stream, a control "
                                             "character): a run stops there";
    case EntryRole::kSkipsMissing:
      if (item.cannotTell) {
        return "cannot tell: patch file " + NarrowToUtf8(item.paths.source) +
               " is missing and conf.json records no sha256 for it";
      }
      break;
    case EntryRole::kApplies:
      break;
  }
  switch (item.holds) {
    case Comparison::kSame:
      return "applied: " + destination + " holds " + what + backup;
    case Comparison::kDifferent:
      return "not applied: " + destination + " holds something else than " + what + backup;
    case Comparison::kMissing:
      return "not applied: " + destination + " is missing" + backup;
    case Comparison::kUnreadable:
      break;
  }
  return "not applied: " + destination + " cannot be read (error " + std::to_string(item.error) +
         ")";
}

// The run's record of this package, in a few words: what every verdict of a run rests on.
std::string DescribeRecord(RecordRead read, const RunRecord& record) {
  if (read == RecordRead::kMissing) return "none: no run applied this package here";
  if (read == RecordRead::kUnreadable) return "cannot be read";
  std::string text = NarrowToUtf8(RecordStateName(record.state)) + ", started " +
                     NarrowToUtf8(record.started);
  if (!record.ended.empty()) text += ", ended " + NarrowToUtf8(record.ended);
  if (record.state == RecordState::kApplying)
    text += ": the run was cut off (incomplete); the files tell how far it came";
  if (record.state == RecordState::kFailed)
    text += ": the run stopped at entry " + std::to_string(record.failedEntry);
  if (record.state == RecordState::kUndone) text += ", undone " + NarrowToUtf8(record.undone);
  return text;
}

// The detection rule's answer: 0 applied, 1 not (or it cannot be told).
int Verify(const std::wstring& packageDir, const std::wstring& givenInstallDir, bool json) {
  PatchList entries;
  std::string error, packageId;
  const InstallFolder install = FindInstallFolder(givenInstallDir);
  if (!ReadPackageEntries(packageDir, entries, error, &packageId)) {
    entries.clear();
  } else if (!install.error.empty()) {
    error = install.error;
  }
  RunRecord record;
  const RecordRead read =
      packageId.empty() ? RecordRead::kMissing : ReadRunRecord(packageId, record);
  const std::vector<InstalledEntry> installed =
      error.empty() ? ReadInstalledEntries(packageDir, install.path, entries)
                    : std::vector<InstalledEntry>();
  const bool applied = error.empty() && IsApplied(installed);
  if (json) {
    Json::Value root(Json::objectValue);
    root["applied"] = applied;
    AddInstallFolder(install, root);
    if (!error.empty()) root["error"] = error;
    root["record"] =
        read == RecordRead::kFound ? Json::Value(NarrowToUtf8(RecordStateName(record.state)))
                                   : Json::Value();
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
    if (!packageId.empty()) std::printf("record: %s\n", DescribeRecord(read, record).c_str());
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
