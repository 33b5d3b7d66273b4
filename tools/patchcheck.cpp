// patchcheck: what the runner would make of a patch package, before it reaches a customer.
//   patchcheck PACKAGE_DIR [--install-dir DIR] [--json]
// Exit code 0 a run would succeed, 1 it would fail or skip an entry for a missing file, 2 usage.

#include <windows.h>

#include <json/json.h>

#include <cstdio>
#include <string>

#include "tools/package_check.h"
#include "platform/text.h"
#include "tools/tool_files.h"

namespace {
constexpr int kWouldSucceed = 0;
constexpr int kWouldFail = 1;
constexpr int kUsage = 2;

void PrintText(const PackageReport& report) {
  for (const Finding& finding : report.findings) {
    std::printf("%s: %s\n", finding.level == FindingLevel::kError ? "error" : "warning",
                finding.message.c_str());
  }
  for (const DryRunStep& step : report.steps) {
    const std::string source =
        NarrowToUtf8(step.source) + (step.verified ? " (sha256 verified)" : "");
    const std::string destination = NarrowToUtf8(step.destination);
    switch (step.action) {
      case DryRunAction::kCopy:
        std::printf("entry %zu: copy %s to %s\n", step.entry, source.c_str(), destination.c_str());
        break;
      case DryRunAction::kMoveThenCopy:
        std::printf("entry %zu: move %s to backup %s, then copy %s in\n", step.entry,
                    destination.c_str(), NarrowToUtf8(step.backup).c_str(), source.c_str());
        break;
      case DryRunAction::kSkipBackupExists:
        std::printf("entry %zu: skip %s, its backup exists (patched before)\n", step.entry,
                    destination.c_str());
        break;
      case DryRunAction::kSkipMissingFile:
        std::printf("entry %zu: skip, patch file %s is missing\n", step.entry, source.c_str());
        break;
      case DryRunAction::kCopyFails:
        std::printf(
            "entry %zu: copy %s to %s would fail (missing folder or a folder as patch file); the "
            "run stops here\n",
            step.entry, source.c_str(), destination.c_str());
        break;
    }
  }
  std::printf("%s\n", report.Failed() ? "result: a run would fail or skip entries"
                                      : "result: a run would succeed");
}

void PrintJson(const PackageReport& report) {
  Json::Value root(Json::objectValue);
  root["ok"] = !report.Failed();
  root["findings"] = Json::Value(Json::arrayValue);
  for (const Finding& finding : report.findings) {
    Json::Value item;
    item["level"] = finding.level == FindingLevel::kError ? "error" : "warning";
    item["message"] = finding.message;
    root["findings"].append(item);
  }
  root["dry_run"] = Json::Value(Json::arrayValue);
  for (const DryRunStep& step : report.steps) {
    Json::Value item;
    item["entry"] = static_cast<Json::UInt>(step.entry);
    item["action"] = DryRunActionName(step.action);
    item["source"] = NarrowToUtf8(step.source);
    item["destination"] = NarrowToUtf8(step.destination);
    item["backup"] = step.backup.empty() ? Json::Value() : Json::Value(NarrowToUtf8(step.backup));
    item["verified"] = step.verified;
    root["dry_run"].append(item);
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  std::printf("%s\n", Json::writeString(writer, root).c_str());
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring packageDir, installDir;
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--json") {
      json = true;
    } else if (arg == L"--install-dir" && i + 1 < argc) {
      installDir = argv[++i];
    } else if (arg.compare(0, 2, L"--") == 0 || !packageDir.empty()) {
      std::fputs("usage: patchcheck PACKAGE_DIR [--install-dir DIR] [--json]\n", stderr);
      return kUsage;
    } else {
      packageDir = arg;
    }
  }
  if (packageDir.empty()) {
    std::fputs("usage: patchcheck PACKAGE_DIR [--install-dir DIR] [--json]\n", stderr);
    return kUsage;
  }
  while (packageDir.size() > 1 && (packageDir.back() == L'\\' || packageDir.back() == L'/'))
    packageDir.pop_back();

  PackageReport report = CheckPackage(packageDir);
  if (!installDir.empty()) DryRun(packageDir, installDir, report);
  if (json) {
    PrintJson(report);
  } else {
    PrintText(report);
  }
  return report.Failed() ? kWouldFail : kWouldSucceed;
}
