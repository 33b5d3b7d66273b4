#include "tools/patchdeploy/deploy.h"

#include "log/log_readers.h"
#include "platform/text.h"

namespace {
// The text of a runner format after its level ("[%s]") up to its first value.
std::string FixedPart(const wchar_t* format) {
  const std::wstring text = format + 4;
  return NarrowToUtf8(text.substr(0, text.find(L'%')));
}
}  // namespace

bool SameRun(RecordRead before, const RunRecord& earlier, RecordRead after,
             const RunRecord& later) {
  return before == after && earlier.started == later.started && earlier.ended == later.ended &&
         earlier.state == later.state;
}

InstallVerdict JudgeInstall(RecordRead read, const RunRecord& record,
                            const std::wstring& startedAfter, bool unchanged, bool keptOut) {
  // Record times are ISO 8601 UTC: in text order they are in time order.
  if (read == RecordRead::kFound && record.started >= startedAfter && !(unchanged && keptOut)) {
    switch (record.state) {
      case RecordState::kApplied:
        return InstallVerdict::kApplied;
      case RecordState::kApplying:
        return InstallVerdict::kCutOff;
      case RecordState::kFailed:
        return InstallVerdict::kFailed;
      case RecordState::kSkipped:
      case RecordState::kUndone:
      case RecordState::kPartlyUndone:
        return InstallVerdict::kNotApplied;
    }
  }
  return keptOut ? InstallVerdict::kKeptOut : InstallVerdict::kNoRecord;
}

int InstallExitCode(InstallVerdict verdict) {
  switch (verdict) {
    case InstallVerdict::kApplied:
      return kDeployOk;
    case InstallVerdict::kKeptOut:
      return kDeployRetry;
    default:
      return kDeployFailed;
  }
}

const char* InstallVerdictText(InstallVerdict verdict) {
  switch (verdict) {
    case InstallVerdict::kApplied:
      return "applied";
    case InstallVerdict::kNotApplied:
      return "not applied: an entry does not hold the package's file (skipped)";
    case InstallVerdict::kFailed:
      return "failed: the run stopped at an entry";
    case InstallVerdict::kCutOff:
      return "failed: the run was cut off before its end";
    case InstallVerdict::kKeptOut:
      return "retry later: another patch run held the machine, nothing was touched";
    case InstallVerdict::kNoRecord:
      break;
  }
  return "failed: the run wrote no record of this package (see the runner's log)";
}

bool LogSaysKeptOut(const std::string& lines, const std::wstring& packageDir) {
  const std::string wait = FixedPart(kLockWaitFormat);
  const std::string mine = "package[" + NarrowToUtf8(packageDir) + "].";
  for (size_t at = lines.find(wait); at != std::string::npos; at = lines.find(wait, at + 1)) {
    const size_t end = lines.find('\n', at);
    const std::string line = lines.substr(at, end == std::string::npos ? end : end - at);
    if (line.size() < mine.size() || line.compare(line.size() - mine.size(), mine.size(), mine))
      continue;
    return end != std::string::npos && lines.find(FixedPart(kLockBusyFormat), end) != std::string::npos;
  }
  return false;
}

int UninstallExitCode(const TakeBack& outcome) {
  if (TookBackEverything(outcome)) return kDeployOk;
  return outcome.lockBusy ? kDeployRetry : kDeployFailed;
}

std::string DetectionLine(const VerifyReport& report) {
  if (report.recordRead != RecordRead::kFound || report.record.state != RecordState::kApplied ||
      !report.applied) {
    return std::string();
  }
  return "applied: package " + report.packageId + ", record HKLM\\" +
         NarrowToUtf8(kRecordsKey) + "\\" + report.packageId + ", since " +
         NarrowToUtf8(report.record.ended);
}
