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
#include "platform/trust.h"
#include "tools/flag_block.h"
#include "tools/run_log.h"
#include "tools/tool_cli.h"

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

// The files that `pattern` (wildcards in its last part only) matches, newest first.
std::vector<FoundFile> FilesMatching(const std::wstring& pattern) {
  const std::wstring folder = ParentFolder(pattern);
  std::vector<FoundFile> files;
  DWORD error = 0;
  ForEachMatch(
      pattern,
      [&](const WIN32_FIND_DATAW& found) {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
          files.push_back({JoinPath(folder, found.cFileName), found.ftLastWriteTime});
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
  run.heldRunFiles = FilesMatching(SiblingPattern(logPath, kHeldRunKind));
  const std::vector<FoundFile> log = FilesMatching(logPath);
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
    std::vector<FoundFile> previous = FilesMatching(old);
    const std::vector<FoundFile> generations = FilesMatching(SiblingPattern(old, kGenerationKind));
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
      why.push_back("log file " + concerned + " refused: " + reason + ": a run writes nothing to it");
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

std::string ResultText(RunVerdict verdict, const RunEvidence& run) {
  switch (verdict) {
    case RunVerdict::kSucceeded:
      return "the last run succeeded";
    case RunVerdict::kSucceededWithSkips:
      return "the last run succeeded, skipping " + std::to_string(run.skipped) +
             " entries whose patch files are missing";
    case RunVerdict::kFailed:
      return "the last run failed";
    case RunVerdict::kIncomplete:
      return "the last run is incomplete: no END line (it crashed, was killed, or still runs)";
    case RunVerdict::kNoRun:
      break;
  }
  return "no run in the log";
}

void PrintText(const LastRun& run, RunVerdict verdict, const std::vector<std::string>& why,
               const std::string& hook) {
  std::printf("log: %s\n", NarrowToUtf8(run.logPath).c_str());
  for (const FoundFile& held : run.heldRunFiles)
    std::printf("note: a run that found the log held wrote %s\n", NarrowToUtf8(held.path).c_str());
  for (const std::wstring& path : run.read) std::printf("read: %s\n", NarrowToUtf8(path).c_str());
  if (!run.error.empty()) std::printf("error: %s\n", run.error.c_str());
  const RunEvidence& evidence = run.evidence;
  if (verdict != RunVerdict::kNoRun) {
    std::printf("start: %s\n",
                evidence.started ? Line(evidence.start).c_str() : "not in the log (rotated away)");
    for (const LogRecord& error : evidence.errors)
      std::printf("error line: %s\n", Line(error).c_str());
    if (evidence.succeeded) std::printf("success: %s\n", Line(evidence.success).c_str());
    std::printf("end: %s\n", evidence.ended ? Line(evidence.end).c_str() : "none");
  }
  for (const std::string& reason : why) std::printf("why: %s\n", reason.c_str());
  std::printf("hook library: %s\n", hook.c_str());
  std::printf("result: %s\n", ResultText(verdict, evidence).c_str());
}

void PrintJsonReport(const LastRun& run, RunVerdict verdict, const std::vector<std::string>& why,
                     const Json::Value& hook) {
  const RunEvidence& evidence = run.evidence;
  Json::Value root(Json::objectValue);
  root["verdict"] = VerdictName(verdict);
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
  const RunVerdict verdict = JudgeRun(run.evidence);
  const std::vector<std::string> why =
      verdict == RunVerdict::kNoRun ? WhyNoLog(base, logPath, exe) : std::vector<std::string>();
  Json::Value hookJson(Json::objectValue);
  const std::string hook = DescribeHook(hookJson);
  if (arguments.Has(L"--json")) {
    PrintJsonReport(run, verdict, why, hookJson);
  } else {
    PrintText(run, verdict, why, hook);
  }
  return VerdictExitCode(verdict);
}
}  // namespace

int wmain(int argc, wchar_t** argv) { return RunTool(kTool, Main, argc, argv); }
