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
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/trust.h"
#include "tools/kit/cli.h"
#include "tools/kit/runner_image.h"
#include "tools/patchlog/run_log.h"

namespace {
constexpr char kTool[] = "patchlog";
constexpr char kUsage[] = "patchlog [--file LOG] [--exe PATCH_EXE] [--json]";

struct FoundFile {
  std::wstring path;
  FILETIME written;
};

bool Newer(const FoundFile& a, const FoundFile& b) {
  return CompareFileTime(&a.written, &b.written) > 0;
}

// The files the runner could have written at `path`, or, with `kind`, under the unique names of
// that kind it makes beside `path`, newest first. Any user may create files in the log's folder:
// only a name the runner makes, on a file that passes the log's own checks (no link, a single
// link, a trusted owner), is read; the others go to `passedOver` with the reason.
std::vector<FoundFile> RunnersFiles(const std::wstring& path, const wchar_t* kind,
                                    std::vector<std::string>& passedOver) {
  const std::wstring folder = ParentFolder(path);
  std::vector<FoundFile> files;
  DWORD error = 0;
  ForEachMatch(
      kind == nullptr ? path : SiblingPattern(path, kind),
      [&](const WIN32_FIND_DATAW& found) {
        const std::wstring file = JoinPath(folder, found.cFileName);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (kind != nullptr && !IsUniqueSiblingName(file, path, kind))) {
          passedOver.push_back(NarrowToUtf8(file) + ": not a name the runner makes");
          return;
        }
        const TrustRefusal refusal = CheckPath(file, kTrustSingleLink);
        if (refusal != TrustRefusal::kNone) {
          passedOver.push_back(NarrowToUtf8(file) + ": " + DescribeTrustRefusal(refusal));
          return;
        }
        files.push_back({file, found.ftLastWriteTime});
      },
      error);
  std::sort(files.begin(), files.end(), Newer);
  return files;
}

// Which files hold the last run, and what they say.
struct LastRun {
  std::wstring logPath;                 // the log the runner writes
  std::vector<FoundFile> heldRunFiles;  // runs that found the log held wrote these instead
  std::vector<std::wstring> read;       // in order: the previous generation first when needed
  std::vector<std::string> passedOver;  // files not read, and why
  RunEvidence evidence;
  std::string error;  // a file that exists but cannot be read
};

bool ReadInto(const std::wstring& path, RunEvidence& evidence, LastRun& run) {
  DWORD error = 0;
  if (ReadRunEvidence(path, evidence, error)) return true;
  run.error = "cannot read " + NarrowToUtf8(path) + " (error " + std::to_string(error) + ")";
  return false;
}

// The log, or the newest file of a run that found it held when that one is newer; a run that
// has no start in it began in the previous generation (".old", or ".old.gen-..." when ".old" was
// held at the rotation).
LastRun FindLastRun(const std::wstring& logPath) {
  LastRun run;
  run.logPath = logPath;
  run.heldRunFiles = RunnersFiles(logPath, kHeldRunKind, run.passedOver);
  const std::vector<FoundFile> log = RunnersFiles(logPath, nullptr, run.passedOver);
  std::wstring current;
  if (!run.heldRunFiles.empty() && (log.empty() || Newer(run.heldRunFiles[0], log[0]))) {
    current = run.heldRunFiles[0].path;
  } else if (!log.empty()) {
    current = log[0].path;
  } else {
    return run;
  }
  RunEvidence evidence;
  if (!ReadInto(current, evidence, run)) return run;
  if (!evidence.started) {
    const std::wstring old = OldLogPath(current);
    std::vector<FoundFile> previous = RunnersFiles(old, nullptr, run.passedOver);
    const std::vector<FoundFile> generations = RunnersFiles(old, kGenerationKind, run.passedOver);
    previous.insert(previous.end(), generations.begin(), generations.end());
    std::sort(previous.begin(), previous.end(), Newer);
    RunEvidence earlier;
    if (!previous.empty() && ReadInto(previous[0].path, earlier, run)) {
      run.read.push_back(previous[0].path);
      evidence = ContinueRun(earlier, evidence);
    }
  }
  run.read.push_back(current);
  run.evidence = evidence;
  return run;
}

// Why a run would write no log on this machine, as the runner decides it.
std::vector<std::string> WhyNoLog(const std::wstring& base, const std::wstring& logPath,
                                  const std::wstring& exe) {
  std::vector<std::string> why;
  bool stopped = false;  // something found that keeps a run from writing the log
  if (exe.empty()) {
    why.push_back("flag bytes: not read (--exe PATCH_EXE names the runner)");
  } else {
    std::string error;
    FlagBlockLocation at;
    if (FindFlagBlockInFile(exe, at, error)) {
      const unsigned magic = at.magicDebugValue, enabled = at.logEnabledValue;
      stopped = magic == 0 && enabled == 0 && !LogSwitchOn();
      why.push_back("flag bytes of " + NarrowToUtf8(exe) + ": MagicDebug " + std::to_string(magic) +
                    ", LogEnabled " + std::to_string(enabled) + ": " +
                    DescribeFlags(at.magicDebugValue, at.logEnabledValue));
    } else {
      why.push_back("flag bytes of " + NarrowToUtf8(exe) + ": " + error);
    }
  }
  why.push_back("registry switch HKLM\\" + NarrowToUtf8(kLogSwitchKey) + " " +
                NarrowToUtf8(kLogSwitchValue) + ": " + (LogSwitchOn() ? "on" : "off"));
  if (stopped) why.push_back("so a run of it writes no log");
  const LogLocation location = CheckLogLocation(base, logPath);
  const std::string concerned = NarrowToUtf8(location.concerned.path);
  const std::string reason = DescribeTrustRefusal(location.concerned.refusal);
  switch (location.state) {
    case LogLocationState::kNoBase:
      why.push_back("no common application-data folder: a run writes no log");
      return why;
    case LogLocationState::kFolderRefused:
      stopped = true;
      why.push_back("log folder " + concerned + " refused: " + reason + ": a run writes no log");
      break;
    case LogLocationState::kFolderMissing:
      why.push_back("log folder " + concerned + " is missing: a run with the log on creates it");
      break;
    case LogLocationState::kFileRefused:
      stopped = true;
      why.push_back("log file " + concerned + ": " + reason +
                    ", and it cannot be moved aside: a run writes nothing to it");
      break;
    case LogLocationState::kFileMovedAside:
      why.push_back("log file " + concerned + ": " + reason +
                    ": a run moves it aside and starts a new one");
      break;
    case LogLocationState::kFileMissing:
      why.push_back("log file " + concerned + " does not exist");
      break;
    case LogLocationState::kFileUsable:
      break;
  }
  if (!stopped) {
    why.push_back(exe.empty() && !LogSwitchOn()
                      ? "nothing else found here keeps a run from writing the log, unless the "
                        "runner's flag bytes are off"
                      : "nothing found here keeps a run from writing the log");
  }
  return why;
}

// The hook library as a run would find it.
std::string DescribeHook(Json::Value& json) {
  const std::wstring path = GetAssertHookPath();
  json["path"] = NarrowToUtf8(path);
  if (path.empty()) {
    json["state"] = "absent";
    return "absent: no common application-data folder";
  }
  const HookCheck check = CheckAssertHook(path);
  switch (check.state) {
    case HookState::kAbsent:
      json["state"] = "absent";
      return "absent (" + NarrowToUtf8(path) + ")";
    case HookState::kLoadable:
      json["state"] = "installed";
      return "installed: " + NarrowToUtf8(path) + ", called with every error line of a run";
    case HookState::kRefused:
      break;
  }
  json["state"] = "refused";
  json["refused"] = NarrowToUtf8(check.refused.path);
  json["reason"] = DescribeTrustRefusal(check.refused.refusal);
  return "refused: " + NarrowToUtf8(check.refused.path) + ": " +
         DescribeTrustRefusal(check.refused.refusal) + ": a run does not load " +
         NarrowToUtf8(path);
}

std::string Line(const LogRecord& record) {
  return record.stamp.empty() ? record.message : record.stamp + ": " + record.message;
}

Json::Value RecordJson(bool present, const LogRecord& record) {
  if (!present) return Json::Value();
  Json::Value json;
  json["stamp"] = record.stamp;
  json["message"] = record.message;
  return json;
}

// The record of the run in the log: the newest record of its package folder that began while
// that run's lines were written. False when there is none (a run that stopped before it had
// read its package and the installation keeps none).
bool FindRunRecord(const RunEvidence& run, std::string& id, RunRecord& record) {
  if (!run.started || run.packageDir.empty()) return false;
  bool found = false;
  for (const std::string& candidate : ListRunRecords()) {
    RunRecord read;
    if (ReadRunRecord(candidate, read) != RecordRead::kFound ||
        CompareAsFileNames(read.packageDir, WidenUtf8(run.packageDir)) != 0 ||
        !RecordBelongsToRun(read.started, run.start.stamp, run.ended ? run.end.stamp : "") ||
        (found && read.started <= record.started)) {
      continue;
    }
    id = candidate;
    record = std::move(read);
    found = true;
  }
  return found;
}

std::string ResultText(RunVerdict verdict, size_t skipped, bool recorded) {
  const std::string from = recorded ? " (the run's record)" : " (the log; no record of it)";
  switch (verdict) {
    case RunVerdict::kSucceeded:
      return "the last run succeeded" + from;
    case RunVerdict::kSucceededWithSkips:
      return "the last run succeeded, skipping " + std::to_string(skipped) +
             " entries whose patch files are missing" + from;
    case RunVerdict::kFailed:
      return "the last run failed" + from;
    case RunVerdict::kIncomplete:
      return recorded ? "the last run is incomplete: it was cut off while it changed files" + from
                      : "the last run is incomplete: no END line (it crashed, was killed, or "
                        "still runs)" + from;
    case RunVerdict::kUndone:
      return "the last run applied its package, which patchundo has taken back since" + from;
    case RunVerdict::kNoRun:
      break;
  }
  return "no run in the log";
}

// The run's record in a few words.
std::string RecordText(const std::string& id, const RunRecord& record) {
  std::string text = id + ": " + NarrowToUtf8(RecordStateName(record.state)) + ", started " +
                     NarrowToUtf8(record.started);
  if (!record.ended.empty()) text += ", ended " + NarrowToUtf8(record.ended);
  if (record.state == RecordState::kFailed)
    text += ", stopped at entry " + std::to_string(record.failedEntry);
  return text;
}

// The verdict, and where it comes from.
struct Verdict {
  RunVerdict verdict = RunVerdict::kNoRun;
  bool recorded = false;
  std::string id;
  RunRecord record;
};

void PrintText(const LastRun& run, const Verdict& verdict, const std::vector<std::string>& why,
               const std::string& hook) {
  std::printf("log: %s\n", NarrowToUtf8(run.logPath).c_str());
  for (const FoundFile& held : run.heldRunFiles)
    std::printf("note: a run that found the log held wrote %s\n", NarrowToUtf8(held.path).c_str());
  for (const std::string& file : run.passedOver) std::printf("not read: %s\n", file.c_str());
  for (const std::wstring& path : run.read) std::printf("read: %s\n", NarrowToUtf8(path).c_str());
  if (!run.error.empty()) std::printf("error: %s\n", run.error.c_str());
  const RunEvidence& evidence = run.evidence;
  if (verdict.recorded) std::printf("record: %s\n", RecordText(verdict.id, verdict.record).c_str());
  if (verdict.verdict != RunVerdict::kNoRun) {
    std::printf("start: %s\n",
                evidence.started ? Line(evidence.start).c_str() : "not in the log (rotated away)");
    for (const LogRecord& error : evidence.errors)
      std::printf("error line: %s\n", Line(error).c_str());
    if (evidence.succeeded) std::printf("success: %s\n", Line(evidence.success).c_str());
    std::printf("end: %s\n", evidence.ended ? Line(evidence.end).c_str() : "none");
  }
  for (const std::string& reason : why) std::printf("why: %s\n", reason.c_str());
  std::printf("hook library: %s\n", hook.c_str());
  size_t skipped = evidence.skipped;
  if (verdict.recorded) {
    skipped = 0;
    for (const RecordedEntry& entry : verdict.record.entries)
      skipped += entry.action == RecordedAction::kSkippedMissingFile ? 1 : 0;
  }
  std::printf("result: %s\n", ResultText(verdict.verdict, skipped, verdict.recorded).c_str());
}

void PrintJsonReport(const LastRun& run, const Verdict& verdict,
                     const std::vector<std::string>& why, const Json::Value& hook) {
  const RunEvidence& evidence = run.evidence;
  Json::Value root(Json::objectValue);
  root["verdict"] = VerdictName(verdict.verdict);
  root["verdict_from"] = verdict.recorded ? "record" : "log";
  root["record"] = Json::Value();
  if (verdict.recorded) {
    root["record"]["package_id"] = verdict.id;
    root["record"]["state"] = NarrowToUtf8(RecordStateName(verdict.record.state));
    root["record"]["started"] = NarrowToUtf8(verdict.record.started);
    root["record"]["ended"] = NarrowToUtf8(verdict.record.ended);
  }
  root["not_read"] = Json::Value(Json::arrayValue);
  for (const std::string& file : run.passedOver) root["not_read"].append(file);
  root["log"] = NarrowToUtf8(run.logPath);
  root["held_log_files"] = Json::Value(Json::arrayValue);
  for (const FoundFile& held : run.heldRunFiles)
    root["held_log_files"].append(NarrowToUtf8(held.path));
  root["read"] = Json::Value(Json::arrayValue);
  for (const std::wstring& path : run.read) root["read"].append(NarrowToUtf8(path));
  if (!run.error.empty()) root["error"] = run.error;
  root["start"] = RecordJson(evidence.started, evidence.start);
  root["errors"] = Json::Value(Json::arrayValue);
  for (const LogRecord& error : evidence.errors) root["errors"].append(RecordJson(true, error));
  root["skipped"] = static_cast<Json::UInt>(evidence.skipped);
  root["success"] = RecordJson(evidence.succeeded, evidence.success);
  root["end"] = RecordJson(evidence.ended, evidence.end);
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
  // The runner's log is named after its executable: Patch.exe writes patch_patch.log.
  const std::wstring title = TitleFromModulePath(exe.empty() ? kRunnerFileName : exe);
  const std::wstring base = CommonAppDataFolder(false);
  std::wstring logPath = arguments.Value(L"--file");
  if (logPath.empty() && !base.empty()) logPath = LogPathBelow(base, title + L"_" + title);

  const LastRun run = FindLastRun(logPath);
  // What the run did, from its record where it has one: no line in a file any user may write to
  // can make a failed run a success.
  Verdict verdict;
  verdict.recorded = FindRunRecord(run.evidence, verdict.id, verdict.record);
  verdict.verdict = verdict.recorded ? JudgeRecord(verdict.record) : JudgeRun(run.evidence);
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
