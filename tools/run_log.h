#pragma once

#include <windows.h>

#include <string>
#include <vector>

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
  std::vector<LogRecord> errors;  // every "[Error]" line, in order
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

enum class RunVerdict { kSucceeded, kSucceededWithSkips, kFailed, kIncomplete, kNoRun };
RunVerdict JudgeRun(const RunEvidence& run);
const char* VerdictName(RunVerdict verdict);  // "succeeded", "succeeded-with-skips", ...
int VerdictExitCode(RunVerdict verdict);      // 0, 0, 1, 3, 4

// Reads the log at `path` in chunks (constant memory whatever its size), sharing it with a run
// that appends to it or rotates it. A last line without its LF is not yet written and is left
// out. False with the platform's code in `error` when the file cannot be opened or read.
bool ReadRunEvidence(const std::wstring& path, RunEvidence& run, DWORD& error);
