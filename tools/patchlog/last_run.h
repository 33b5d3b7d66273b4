#pragma once

#include <json/json.h>

#include <windows.h>

#include <string>
#include <vector>

#include "product/run_record.h"
#include "tools/patchlog/run_log.h"

// The last run of the runner: which files of the log hold it, what its record says, and why a
// run would write no log here.

// A file the runner may have written, with its time of last write.
struct FoundFile {
  std::wstring path;
  FILETIME written;
};

// Which files hold the last run, and what they say.
struct LastRun {
  std::wstring logPath;                 // the log the runner writes
  std::vector<FoundFile> heldRunFiles;  // runs that found the log held wrote these instead
  std::vector<std::wstring> read;       // in order: the previous generation first when needed
  std::vector<std::string> passedOver;  // files not read, and why
  RunEvidence evidence;
  std::string error;  // a file that exists but cannot be read
};

// The log at `logPath`, or the newest file of a run that found it held when that one is newer; a
// run that has no start in it began in the previous generation (".old", or ".old.gen-..." when
// ".old" was held at the rotation). Any user may create files in the log's folder: only a name
// the runner makes, on a file that passes the log's own checks (no link, a single link, a trusted
// owner), is read; the others are listed in `passedOver` with the reason.
LastRun FindLastRun(const std::wstring& logPath);

// The verdict on the last run, and where it comes from: the newest record of the run's package
// folder that began while its lines were written, or, without one, the lines themselves. No line
// in a file any user may write to can make a failed run a success.
struct Verdict {
  RunVerdict verdict = RunVerdict::kNoRun;
  bool recorded = false;
  std::string id;
  RunRecord record;
};
Verdict JudgeLastRun(const RunEvidence& run);

// Why a run would write no log on this machine, as the runner decides it: the flag bytes of the
// runner `exe` (when given), the registry switch, the log's folder and file.
std::vector<std::string> WhyNoLog(const std::wstring& base, const std::wstring& logPath,
                                  const std::wstring& exe);

// The hook library as a run would find it, in a few words, and the same in `json`.
std::string DescribeHook(Json::Value& json);

// "the last run succeeded (the run's record)", ...
std::string ResultText(const Verdict& verdict, const RunEvidence& evidence);
