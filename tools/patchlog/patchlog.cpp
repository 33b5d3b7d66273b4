// patchlog: what the last run of the runner did, read from its log.
//   patchlog [--file LOG] [--exe PATCH_EXE] [--json]
// Exit code 0 succeeded (also with entries skipped), 1 failed, 2 usage, 3 incomplete (no END:
// crashed, killed or still running), 4 no run in the log.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "log/log_readers.h"
#include "package/layout.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tools/kit/cli.h"
#include "tools/kit/record_text.h"
#include "tools/patchlog/last_run.h"

namespace {
constexpr char kTool[] = "patchlog";
constexpr char kUsage[] = "patchlog [--file LOG] [--exe PATCH_EXE] [--json]";

std::string Line(const LogRecord& record) {
  return record.stamp.empty() ? record.message : record.stamp + ": " + record.message;
}

// The local date of the last write of the file the run was read from last: the year its stamps
// leave out.
SYSTEMTIME LogFileDate(const LastRun& run) {
  SYSTEMTIME local = {};
  WIN32_FILE_ATTRIBUTE_DATA data;
  FILETIME localTime;
  if (!run.read.empty() &&
      GetFileAttributesExW(run.read.back().c_str(), GetFileExInfoStandard, &data) &&
      FileTimeToLocalFileTime(&data.ftLastWriteTime, &localTime)) {
    FileTimeToSystemTime(&localTime, &local);
  }
  return local;
}

// `fileDate`: LogFileDate, for the stamp in ISO form.
Json::Value LineJson(bool present, const LogRecord& record, const SYSTEMTIME& fileDate) {
  if (!present) return Json::Value();
  Json::Value json;
  json["stamp"] = record.stamp;
  const std::string iso =
      fileDate.wYear != 0 ? IsoStamp(record.stamp, fileDate.wYear, fileDate.wMonth) : "";
  if (!iso.empty()) json["local_time"] = iso;
  json["message"] = record.message;
  return json;
}

void PrintText(const LastRun& run, const Verdict& verdict, const std::vector<std::string>& why,
               const std::string& hook) {
  PrintOut("log: %s\n", NarrowToUtf8(run.logPath).c_str());
  for (const FoundFile& held : run.heldRunFiles)
    PrintOut("note: a run that found the log held wrote %s\n", NarrowToUtf8(held.path).c_str());
  for (const std::string& file : run.passedOver) PrintOut("not read: %s\n", file.c_str());
  for (const std::wstring& path : run.read) PrintOut("read: %s\n", NarrowToUtf8(path).c_str());
  if (!run.error.empty()) PrintError(kTool, run.error);
  const RunEvidence& evidence = run.evidence;
  if (verdict.recorded) {
    PrintOut("record: %s: %s\n", verdict.id.c_str(),
                DescribeRecord(RecordRead::kFound, verdict.record).c_str());
  }
  if (verdict.verdict != RunVerdict::kNoRun) {
    PrintOut("start: %s\n",
                evidence.started ? Line(evidence.start).c_str() : "not in the log (rotated away)");
    for (const LogRecord& error : evidence.errors)
      PrintOut("error line: %s\n", Line(error).c_str());
    for (const LogRecord& line : evidence.expected) {
      PrintOut("expected: %s (the restarted program runs on after the runner's wait)\n",
               Line(line).c_str());
    }
    if (evidence.succeeded) PrintOut("success: %s\n", Line(evidence.success).c_str());
    PrintOut("end: %s\n", evidence.ended ? Line(evidence.end).c_str() : "none");
  }
  for (const std::string& reason : why) PrintOut("why: %s\n", reason.c_str());
  PrintOut("hook library: %s\n", hook.c_str());
  PrintOut("result: %s\n", ResultText(verdict, evidence).c_str());
}

void PrintJsonReport(const LastRun& run, const Verdict& verdict,
                     const std::vector<std::string>& why, const Json::Value& hook) {
  const RunEvidence& evidence = run.evidence;
  const SYSTEMTIME date = LogFileDate(run);
  Json::Value root(Json::objectValue);
  root["verdict"] = VerdictName(verdict.verdict);
  root["verdict_from"] = verdict.recorded ? "record" : "log";
  root["record"] = RecordJson(
      verdict.id, verdict.recorded ? RecordRead::kFound : RecordRead::kMissing, verdict.record);
  root["not_read"] = Json::Value(Json::arrayValue);
  for (const std::string& file : run.passedOver) root["not_read"].append(file);
  root["log"] = NarrowToUtf8(run.logPath);
  root["held_log_files"] = Json::Value(Json::arrayValue);
  for (const FoundFile& held : run.heldRunFiles)
    root["held_log_files"].append(NarrowToUtf8(held.path));
  root["read"] = Json::Value(Json::arrayValue);
  for (const std::wstring& path : run.read) root["read"].append(NarrowToUtf8(path));
  if (!run.error.empty()) root["error"] = run.error;
  root["start"] = LineJson(evidence.started, evidence.start, date);
  root["errors"] = Json::Value(Json::arrayValue);
  for (const LogRecord& error : evidence.errors)
    root["errors"].append(LineJson(true, error, date));
  root["expected"] = Json::Value(Json::arrayValue);
  for (const LogRecord& line : evidence.expected)
    root["expected"].append(LineJson(true, line, date));
  root["skipped"] = static_cast<Json::UInt>(evidence.skipped);
  root["success"] = LineJson(evidence.succeeded, evidence.success, date);
  root["end"] = LineJson(evidence.ended, evidence.end, date);
  root["why_no_log"] = Json::Value(Json::arrayValue);
  for (const std::string& reason : why) root["why_no_log"].append(reason);
  root["hook"] = hook;
  PrintJson(root);
}

int Main(int argc, wchar_t** argv) {
  ToolArguments arguments;
  if (!ParseArguments(argc, argv, {{L"--json"}, {L"--file", true}, {L"--exe", true}}, 0,
                      arguments)) {
    return PrintUsage(kUsage);
  }
  const std::wstring exe = arguments.Value(L"--exe");
  const std::wstring base = CommonAppDataFolder(false);
  std::wstring logPath = arguments.Value(L"--file");
  if (logPath.empty() && !base.empty())
    logPath = RunnerLogPath(base, exe.empty() ? kRunnerFileName : exe);

  const LastRun run = FindLastRun(logPath);
  const Verdict verdict = JudgeLastRun(run.evidence);
  const std::vector<std::string> why = verdict.verdict == RunVerdict::kNoRun
                                           ? WhyNoLog(base, logPath, exe)
                                           : std::vector<std::string>();
  Json::Value hookJson(Json::objectValue);
  const std::string hook = DescribeHook(hookJson);
  if (arguments.Has(L"--json")) {
    PrintJsonReport(run, verdict, why, hookJson);
  } else {
    PrintText(run, verdict, why, hook);
  }
  return VerdictExitCode(verdict.verdict);
}
}  // namespace

int wmain(int argc, wchar_t** argv) { return RunTool(kTool, Main, argc, argv); }
