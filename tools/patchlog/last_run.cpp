#include "tools/patchlog/last_run.h"

#include <algorithm>

#include "log/log_readers.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/trust.h"
#include "tools/kit/files.h"
#include "tools/kit/record_trust.h"
#include "tools/kit/runner_image.h"

namespace {
bool Newer(const FoundFile& a, const FoundFile& b) {
  return CompareFileTime(&a.written, &b.written) > 0;
}

// The files the runner could have written at `path`, or, with `kind`, under the unique names of
// that kind it makes beside `path`, newest first; the others go to `passedOver` with the reason.
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

bool ReadInto(const std::wstring& path, RunEvidence& evidence, LastRun& run) {
  DWORD error = 0;
  if (ReadRunEvidence(path, evidence, error)) return true;
  run.error = ErrorText("cannot read", path, error);
  return false;
}

// Times have seconds only: of two records begun in one second, the one still going on or ended
// later is the newer.
bool IsNewer(const RunRecord& candidate, const RunRecord& found) {
  if (candidate.started != found.started) return candidate.started > found.started;
  if (found.ended.empty()) return false;
  return candidate.ended.empty() || candidate.ended > found.ended;
}

// The record of the run in the log. False when there is none (a run that stopped before it had
// read its package and the installation keeps none).
bool FindRunRecord(const RunEvidence& run, std::string& id, RunRecord& record) {
  if (!run.started || run.packageDir.empty() || !RecordsKeyBelieved()) return false;
  bool found = false;
  for (const std::string& candidate : ListRunRecords()) {
    RunRecord read;
    if (ReadRunRecord(candidate, read) != RecordRead::kFound ||
        CompareAsFileNames(read.packageDir, WidenUtf8(run.packageDir)) != 0 ||
        !RecordBelongsToRun(read.started, run.start.stamp, run.ended ? run.end.stamp : "") ||
        (found && !IsNewer(read, record))) {
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
                        "still runs)" +
                            from;
    case RunVerdict::kUndone:
      return "the last run applied its package, which patchundo has taken back since" + from;
    case RunVerdict::kNoRun:
      break;
  }
  return "no run in the log";
}
}  // namespace

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

Verdict JudgeLastRun(const RunEvidence& run) {
  Verdict verdict;
  verdict.recorded = FindRunRecord(run, verdict.id, verdict.record);
  verdict.verdict = verdict.recorded ? JudgeRecord(verdict.record) : JudgeRun(run);
  return verdict;
}

std::string ResultText(const Verdict& verdict, const RunEvidence& evidence) {
  size_t skipped = evidence.skipped;
  if (verdict.recorded) {
    skipped = 0;
    for (const RecordedEntry& entry : verdict.record.entries)
      skipped += entry.action == RecordedAction::kSkippedMissingFile ? 1 : 0;
  }
  if (verdict.recorded && verdict.record.state == RecordState::kSkipped && skipped == 0) {
    return "the last run went through every entry, but entry " +
           std::to_string(verdict.record.failedEntry) +
           " does not hold the package's file (another run's backup kept it) (the run's record)";
  }
  return ResultText(verdict.verdict, skipped, verdict.recorded);
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
      stopped = ActivationOf(magic, enabled, LogSwitchOn()) == LogActivation::kOff;
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
