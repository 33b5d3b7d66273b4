#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "product/run_record.h"

// The runner's log read back: the last run in it and what that run came to.

// One line as the log holds it. `stamp` is "MM-DD hh:mm:ss:mmm", empty for a line without one.
struct LogRecord {
  std::string stamp;
  std::string message;  // UTF-8, without the stamp's ": " and the LF
};

// What the lines of one run say, gathered line by line; a start line (BEGAIN, or the first line
// of a log opened lazily) begins it anew, so that only the last run is kept.
struct RunEvidence {
  bool started = false;
  LogRecord start;
  std::string packageDir;         // named by the run's first "PackageDir[...]" line
  std::vector<LogRecord> errors;  // every "[Error]" line, in order, but for `expected`
  std::vector<LogRecord> expected;  // a restarted program that outlived the runner's wait
  size_t skipped = 0;             // of those, missing patch files: a run goes on past them
  bool succeeded = false;         // "[Common]Patch successful."
  LogRecord success;
  bool ended = false;
  LogRecord end;
};
void AddLine(RunEvidence& run, const LogRecord& line);

// A file without a start line of its own continues the run that `earlier` (the previous
// generation) holds; a file with one stands alone.
RunEvidence ContinueRun(RunEvidence earlier, const RunEvidence& later);

enum class RunVerdict { kSucceeded, kSucceededWithSkips, kFailed, kIncomplete, kNoRun, kUndone };
RunVerdict JudgeRun(const RunEvidence& run);

// A log stamp ("MM-DD hh:mm:ss:mmm", local time without a year) in ISO form,
// "yyyy-mm-ddThh:mm:ss.mmm", its year that of the file's last write (the year before for a
// month after that write's); empty for a stamp of another shape.
std::string IsoStamp(const std::string& stamp, unsigned fileYear, unsigned fileMonth);
// The verdict a run's record gives (see product/run_record.h): what the run did, whatever lines
// a log may hold.
RunVerdict JudgeRecord(const RunRecord& record);
const char* VerdictName(RunVerdict verdict);  // "succeeded", "succeeded-with-skips", ...
int VerdictExitCode(RunVerdict verdict);      // 0, 0, 1, 3, 4, 0

// True when a record that started at `recordStarted` (UTC, as the record holds it) belongs to
// the run whose lines began at local `startStamp` and, when it has one, ended at `endStamp`
// ("MM-DD hh:mm:ss:mmm", local time, the year unknown).
bool RecordBelongsToRun(const std::wstring& recordStarted, const std::string& startStamp,
                        const std::string& endStamp);

// Reads the log at `path` in chunks (constant memory whatever its size), sharing it with a run
// that appends to it or rotates it. A last line without its LF is not yet written and is left
// out. False with the platform's code in `error` when the file cannot be opened or read.
bool ReadRunEvidence(const std::wstring& path, RunEvidence& run, DWORD& error);
