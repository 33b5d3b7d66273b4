#include "tools/patchlog/run_log.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "log/log_readers.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/text.h"
#include "tools/kit/cli.h"

namespace {
// A longer line is kept only up to here: memory stays bounded in a file without line feeds.
constexpr size_t kLongestLine = 1 << 16;

std::string WithoutLf(const char* banner) {
  std::string text = banner;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

LogRecord ParseLine(const std::string& line) {
  if (!HasLogStamp(line)) return {std::string(), line};
  return {line.substr(0, kLogStampLength - 2), line.substr(kLogStampLength)};
}

// Seconds since the start of a year of 365 days: the log's stamps carry no year.
long SecondOfYear(int month, int day, int hour, int minute, int second) {
  static const int kDaysBefore[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  if (month < 1 || month > 12) return -1;
  return (((kDaysBefore[month - 1] + day - 1) * 24L + hour) * 60 + minute) * 60 + second;
}

// A log stamp, "MM-DD hh:mm:ss:mmm" (local time, no year), in its parts.
struct Stamp {
  unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0, milli = 0;
};
bool ReadStamp(const std::string& text, Stamp& stamp) {
  char end = 0;
  return text.size() == kLogStampLength - 2 &&  // without its ": "
         std::sscanf(text.c_str(), "%2u-%2u %2u:%2u:%2u:%3u%c", &stamp.month, &stamp.day,
                     &stamp.hour, &stamp.minute, &stamp.second, &stamp.milli, &end) == 6 &&
         stamp.month >= 1 && stamp.month <= 12 && stamp.day >= 1 && stamp.day <= 31;
}

long StampSecond(const std::string& text) {
  Stamp stamp;
  if (!ReadStamp(text, stamp)) return -1;
  return SecondOfYear(static_cast<int>(stamp.month), static_cast<int>(stamp.day),
                      static_cast<int>(stamp.hour), static_cast<int>(stamp.minute),
                      static_cast<int>(stamp.second));
}

// `later` minus `earlier`, across the turn of a year.
long SecondsBetween(long earlier, long later) {
  constexpr long kYear = 365L * 24 * 3600;
  long difference = (later - earlier) % kYear;
  if (difference > kYear / 2) difference -= kYear;
  if (difference <= -kYear / 2) difference += kYear;
  return difference;
}
}  // namespace

void AddLine(RunEvidence& run, const LogRecord& line) {
  static const std::string begin = WithoutLf(kBeginBanner);
  static const std::string end = WithoutLf(kEndBanner);
  static const std::string lazyOpen = NarrowToUtf8(kMagicOpenMessage);
  std::string packageDir;
  if (line.message == begin || line.message == lazyOpen) {
    run = RunEvidence();
    run.started = true;
    run.start = line;
  } else if (run.ended) {
    // Nothing of a run comes after its END.
  } else if (line.message == end) {
    run.ended = true;
    run.end = line;
  } else if (run.packageDir.empty() &&
             ReadLogArgument(line.message, kPackageDirFormat, kProgressLevel, packageDir)) {
    run.packageDir = packageDir;
  } else if (MatchesLogFormat(line.message, kPatchSuccessfulFormat, kProgressLevel)) {
    run.succeeded = true;
    run.success = line;
  } else if (MatchesLogFormat(line.message, kRestartRunsOnFormat, kFailureLevel)) {
    run.expected.push_back(line);
  } else if (MatchesLogFormat(line.message, kAnyFailureFormat, kFailureLevel)) {
    run.errors.push_back(line);
    if (MatchesLogFormat(line.message, kPatchFileMissingFormat, kFailureLevel)) ++run.skipped;
  }
}

RunEvidence ContinueRun(RunEvidence earlier, const RunEvidence& later) {
  if (later.started) return later;
  if (earlier.packageDir.empty()) earlier.packageDir = later.packageDir;
  earlier.errors.insert(earlier.errors.end(), later.errors.begin(), later.errors.end());
  earlier.expected.insert(earlier.expected.end(), later.expected.begin(), later.expected.end());
  earlier.skipped += later.skipped;
  if (later.succeeded) {
    earlier.succeeded = true;
    earlier.success = later.success;
  }
  if (later.ended) {
    earlier.ended = true;
    earlier.end = later.end;
  }
  return earlier;
}

std::string IsoStamp(const std::string& text, unsigned fileYear, unsigned fileMonth) {
  Stamp stamp;
  if (!ReadStamp(text, stamp)) return std::string();
  char iso[32];
  std::snprintf(iso, sizeof(iso), "%04u-%02u-%02uT%02u:%02u:%02u.%03u",
                stamp.month > fileMonth ? fileYear - 1 : fileYear, stamp.month, stamp.day,
                stamp.hour, stamp.minute, stamp.second, stamp.milli);
  return iso;
}

RunVerdict JudgeRun(const RunEvidence& run) {
  // Without its start (rotated away) a run is still judged by what is left of it.
  if (!run.started && !run.ended && !run.succeeded && run.errors.empty()) return RunVerdict::kNoRun;
  if (!run.ended) return RunVerdict::kIncomplete;
  if (!run.succeeded) return RunVerdict::kFailed;
  return run.skipped > 0 ? RunVerdict::kSucceededWithSkips : RunVerdict::kSucceeded;
}

RunVerdict JudgeRecord(const RunRecord& record) {
  switch (record.state) {
    case RecordState::kApplying:
      return RunVerdict::kIncomplete;
    case RecordState::kFailed:
      return RunVerdict::kFailed;
    case RecordState::kUndone:
    case RecordState::kPartlyUndone:
      return RunVerdict::kUndone;
    case RecordState::kSkipped:
      return RunVerdict::kSucceededWithSkips;
    case RecordState::kApplied:
      break;
  }
  for (const RecordedEntry& entry : record.entries) {
    if (entry.action == RecordedAction::kSkippedMissingFile) return RunVerdict::kSucceededWithSkips;
  }
  return RunVerdict::kSucceeded;
}

bool RecordBelongsToRun(const std::wstring& recordStarted, const std::string& startStamp,
                        const std::string& endStamp) {
  // A record begins once the run has read its package, seconds at most after its first line.
  constexpr long kSlack = 2;
  SYSTEMTIME utc = {}, local = {};
  if (swscanf(recordStarted.c_str(), L"%4hu-%2hu-%2huT%2hu:%2hu:%2huZ", &utc.wYear, &utc.wMonth,
              &utc.wDay, &utc.wHour, &utc.wMinute, &utc.wSecond) != 6 ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    return false;
  }
  const long began = SecondOfYear(local.wMonth, local.wDay, local.wHour, local.wMinute,
                                  local.wSecond);
  const long start = StampSecond(startStamp), end = StampSecond(endStamp);
  if (began < 0 || start < 0) return false;
  return SecondsBetween(start, began) >= -kSlack &&
         (end < 0 || SecondsBetween(began, end) >= -kSlack);
}

const char* VerdictName(RunVerdict verdict) {
  switch (verdict) {
    case RunVerdict::kSucceeded:
      return "succeeded";
    case RunVerdict::kSucceededWithSkips:
      return "succeeded-with-skips";
    case RunVerdict::kFailed:
      return "failed";
    case RunVerdict::kIncomplete:
      return "incomplete";
    case RunVerdict::kUndone:
      return "undone";
    case RunVerdict::kNoRun:
      break;
  }
  return "no-run";
}

int VerdictExitCode(RunVerdict verdict) {
  switch (verdict) {
    case RunVerdict::kSucceeded:
    case RunVerdict::kSucceededWithSkips:
    case RunVerdict::kUndone:
      return kExitOk;
    case RunVerdict::kFailed:
      return kExitFailed;
    case RunVerdict::kIncomplete:
      return kExitIncomplete;
    case RunVerdict::kNoRun:
      break;
  }
  return kExitNoRun;
}

bool ReadRunEvidence(const std::wstring& path, RunEvidence& run, DWORD& error) {
  error = 0;
  // Shared for writing and deleting too: a run appends to the log and may rotate it meanwhile.
  const KernelHandle file =
      OpenFile(path, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
  if (!file.IsValid()) {
    error = GetLastError();
    return false;
  }
  std::vector<char> chunk;
  std::string pending;  // the start of a line whose LF has not been read yet: not yet written
  return ReadInChunks(
      file.Get(), chunk,
      [&](const char* data, DWORD read) {
        size_t start = 0;
        for (size_t i = 0; i < read; ++i) {
          if (data[i] != '\n') continue;
          pending.append(data + start, std::min(i - start, kLongestLine));
          AddLine(run, ParseLine(pending));
          pending.clear();
          start = i + 1;
        }
        pending.append(data + start, read - start);
        if (pending.size() > kLongestLine) pending.resize(kLongestLine);
        return true;
      },
      error);
}
