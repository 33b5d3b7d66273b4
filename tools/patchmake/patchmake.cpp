// patchmake: a patch package from two versions of the product.
//   patchmake OLD_DIR NEW_DIR OUT_DIR [--runner PATCH_EXE] [--exclude PATTERN]... [--no-seal]
//             [--whole] [--deploy PATCHDEPLOY_EXE] [--name TEXT] [--version TEXT]
//             [--publisher TEXT] [--json]
// Exit code 0 the package turns OLD_DIR into NEW_DIR, 1 written but a run cannot (errors),
// 2 usage, or nothing written.

#include <windows.h>

#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "package/layout.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "product/deployment.h"
#include "tools/kit/cli.h"
#include "tools/patchcheck/dry_run.h"
#include "tools/patchmake/encode_file.h"
#include "tools/patchmake/package_writer.h"

namespace {
constexpr char kTool[] = "patchmake";
constexpr char kUsage[] =
    "patchmake OLD_DIR NEW_DIR OUT_DIR [--runner PATCH_EXE] [--exclude PATTERN]... [--no-seal] "
    "[--whole] [--deploy PATCHDEPLOY_EXE] [--name TEXT] [--version TEXT] [--publisher TEXT] "
    "[--json]";

size_t ErrorCount(const PackageReport& report) {
  return static_cast<size_t>(
      std::count_if(report.findings.begin(), report.findings.end(),
                    [](const Finding& finding) { return finding.level == FindingLevel::kError; }));
}

void PrintText(const MakeRequest& request, const MakeResult& result) {
  const PackageReport& report = result.report;
  for (const Finding& finding : report.findings) PrintOut("%s\n", FindingText(finding).c_str());
  // Only the steps that go wrong: a package made from two trees may have thousands.
  for (const DryRunStep& step : report.steps) {
    const EntryAction action = step.planned.action;
    if (action == EntryAction::kCopyFails || action == EntryAction::kSkipMissingFile ||
        action == EntryAction::kRefuse)
      PrintOut("dry run on %s: %s\n", NarrowToUtf8(request.oldDir).c_str(),
                  StepText(step).c_str());
  }
  for (const EncodedEntry& entry : result.encoded) {
    PrintOut("entry %s: %s%s, %llu bytes of %llu%s\n", entry.dest.c_str(),
                EncodingName(entry.encoding),
                entry.base.empty() ? "" : (" from " + entry.base).c_str(),
                static_cast<unsigned long long>(entry.bytes),
                static_cast<unsigned long long>(entry.wholeBytes),
                entry.tooLargeToDiff ? " (too large to diff in patchmake's memory: compressed)"
                                     : "");
  }
  PrintOut("%s\n", RunnerText(report.runner).c_str());
  PrintOut("package %s: %zu entries, %llu bytes, %zu skipped, %zu errors\n",
              NarrowToUtf8(request.outDir).c_str(), result.entries,
              static_cast<unsigned long long>(result.bytes), result.skipped, ErrorCount(report));
  if (result.wholeBytes > 0) {
    PrintOut("patch files: %llu bytes for %llu bytes of new files (%.3f)\n",
                static_cast<unsigned long long>(result.bytes),
                static_cast<unsigned long long>(result.wholeBytes),
                static_cast<double>(result.bytes) / static_cast<double>(result.wholeBytes));
  }
  const std::string from = NarrowToUtf8(request.oldDir), to = NarrowToUtf8(request.newDir);
  if (report.Failed()) {
    PrintOut("result: written, but a run cannot make an installation equal to %s equal to %s\n",
                from.c_str(), to.c_str());
  } else {
    PrintOut("result: a run makes an installation equal to %s equal to %s\n", from.c_str(),
                to.c_str());
  }
}
// Exit code 0 the package turns OLD_DIR into NEW_DIR, 1 written but a run cannot, 2 usage or
// nothing written.
int Main(int argc, wchar_t** argv) {
  ToolArguments arguments;
  if (!ParseArguments(
          argc, argv,
          {{L"--json"}, {L"--runner", true}, {L"--exclude", true, true}, {L"--no-seal"},
           {L"--whole"}, {L"--deploy", true}, {L"--name", true}, {L"--version", true},
           {L"--publisher", true}},
          3,
          arguments)) {
    return PrintUsage(kUsage);
  }
  MakeRequest request;
  request.oldDir = FolderArgument(arguments.positional[0]);
  request.newDir = FolderArgument(arguments.positional[1]);
  request.outDir = FolderArgument(arguments.positional[2]);
  request.runner = arguments.Value(L"--runner", GetModuleDirectory() + kRunnerFileName);
  if (arguments.Has(L"--exclude")) request.excludes = arguments.options[L"--exclude"];
  request.seal = !arguments.Has(L"--no-seal");
  request.whole = arguments.Has(L"--whole");
  // The deployment program beside patchmake goes into the package unless another is named.
  const std::wstring besideMe = GetModuleDirectory() + kDeployProgram;
  request.deployProgram = arguments.Value(
      L"--deploy", GetFileAttributesW(besideMe.c_str()) != INVALID_FILE_ATTRIBUTES ? besideMe : L"");
  request.name = NarrowToUtf8(arguments.Value(L"--name"));
  request.version = NarrowToUtf8(arguments.Value(L"--version"));
  request.publisher = NarrowToUtf8(arguments.Value(L"--publisher"));
  const bool json = arguments.Has(L"--json");

  MakeResult result;
  std::string failure;
  if (!BuildPackage(request, result, failure)) {
    PrintError(kTool, failure + "; nothing was written");
    if (json) {
      Json::Value root(Json::objectValue);
      root["ok"] = false;
      root["written"] = false;
      root["failure"] = failure;
      PrintJson(root);
    }
    return kExitUsage;
  }
  if (json) {
    Json::Value root = ReportJson(result.report);
    root["written"] = true;
    root["package"] = NarrowToUtf8(request.outDir);
    root["entries"] = static_cast<Json::UInt64>(result.entries);
    root["bytes"] = static_cast<Json::UInt64>(result.bytes);
    root["skipped"] = static_cast<Json::UInt64>(result.skipped);
    root["whole_bytes"] = static_cast<Json::UInt64>(result.wholeBytes);
    Json::Value& encoded = root["encoded"] = Json::Value(Json::arrayValue);
    for (const EncodedEntry& entry : result.encoded) {
      Json::Value item(Json::objectValue);
      item["dest"] = entry.dest;
      item["encoding"] = EncodingName(entry.encoding);
      item["bytes"] = static_cast<Json::UInt64>(entry.bytes);
      item["whole_bytes"] = static_cast<Json::UInt64>(entry.wholeBytes);
      if (!entry.base.empty()) item["base"] = entry.base;
      if (entry.tooLargeToDiff) item["too_large_to_diff"] = true;
      encoded.append(item);
    }
    root["errors"] = static_cast<Json::UInt64>(ErrorCount(result.report));
    PrintJson(root);
  } else {
    PrintText(request, result);
  }
  return result.report.Failed() ? kExitFailed : kExitOk;
}
}  // namespace

int wmain(int argc, wchar_t** argv) { return RunTool(kTool, Main, argc, argv); }
