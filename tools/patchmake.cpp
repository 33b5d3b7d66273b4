// patchmake: a patch package from two versions of the product.
//   patchmake OLD_DIR NEW_DIR OUT_DIR [--runner PATCH_EXE] [--exclude PATTERN]... [--json]
// Exit code 0 the package turns OLD_DIR into NEW_DIR, 1 written but a run cannot (errors),
// 2 usage, or nothing written.

#include <windows.h>

#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/text.h"
#include "tools/package_make.h"
#include "tools/tool_cli.h"

namespace {
constexpr int kReproduces = 0;
constexpr int kCannotReproduce = 1;
constexpr int kNotWritten = 2;
constexpr char kUsage[] =
    "usage: patchmake OLD_DIR NEW_DIR OUT_DIR [--runner PATCH_EXE] [--exclude PATTERN]... "
    "[--json]\n";

size_t ErrorCount(const PackageReport& report) {
  return static_cast<size_t>(
      std::count_if(report.findings.begin(), report.findings.end(),
                    [](const Finding& finding) { return finding.level == FindingLevel::kError; }));
}

void PrintText(const MakeRequest& request, const MakeResult& result) {
  const PackageReport& report = result.report;
  for (const Finding& finding : report.findings) std::printf("%s\n", FindingText(finding).c_str());
  // Only the steps that go wrong: a package made from two trees may have thousands.
  for (const DryRunStep& step : report.steps) {
    if (step.action == DryRunAction::kCopyFails || step.action == DryRunAction::kSkipMissingFile)
      std::printf("dry run on %s: %s\n", NarrowToUtf8(request.oldDir).c_str(),
                  StepText(step).c_str());
  }
  std::printf("package %s: %zu entries, %llu bytes, %zu skipped, %zu errors\n",
              NarrowToUtf8(request.outDir).c_str(), result.entries,
              static_cast<unsigned long long>(result.bytes), result.skipped, ErrorCount(report));
  const std::string from = NarrowToUtf8(request.oldDir), to = NarrowToUtf8(request.newDir);
  if (report.Failed()) {
    std::printf("result: written, but a run cannot make an installation equal to %s equal to %s\n",
                from.c_str(), to.c_str());
  } else {
    std::printf("result: a run makes an installation equal to %s equal to %s\n", from.c_str(),
                to.c_str());
  }
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  MakeRequest request;
  std::vector<std::wstring*> dirs = {&request.oldDir, &request.newDir, &request.outDir};
  size_t given = 0;
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--json") {
      json = true;
    } else if (arg == L"--runner" && i + 1 < argc) {
      request.runner = argv[++i];
    } else if (arg == L"--exclude" && i + 1 < argc) {
      request.excludes.push_back(argv[++i]);
    } else if (arg.compare(0, 2, L"--") == 0 || given == dirs.size() || arg.empty()) {
      std::fputs(kUsage, stderr);
      return kNotWritten;
    } else {
      *dirs[given++] = FolderArgument(arg);
    }
  }
  if (given != dirs.size()) {
    std::fputs(kUsage, stderr);
    return kNotWritten;
  }
  if (request.runner.empty()) request.runner = GetModuleDirectory() + L"Patch.exe";

  MakeResult result;
  std::string failure;
  if (!BuildPackage(request, result, failure)) {
    std::fprintf(stderr, "patchmake: %s; nothing was written\n", failure.c_str());
    if (json) {
      Json::Value root(Json::objectValue);
      root["ok"] = false;
      root["written"] = false;
      root["failure"] = failure;
      PrintJson(root);
    }
    return kNotWritten;
  }
  if (json) {
    Json::Value root = ReportJson(result.report);
    root["written"] = true;
    root["package"] = NarrowToUtf8(request.outDir);
    root["entries"] = static_cast<Json::UInt64>(result.entries);
    root["bytes"] = static_cast<Json::UInt64>(result.bytes);
    root["skipped"] = static_cast<Json::UInt64>(result.skipped);
    root["errors"] = static_cast<Json::UInt64>(ErrorCount(result.report));
    PrintJson(root);
  } else {
    PrintText(request, result);
  }
  return result.report.Failed() ? kCannotReproduce : kReproduces;
}
