#pragma once

#include <string>

#include "product/run_record.h"
#include "tools/patchcheck/verify.h"
#include "tools/patchundo/take_back.h"

// What a deployment system is told about this package: the return codes its evaluators know
// (0 success, 1603 fatal, 1618 retry later) and detection's one line.

enum DeployExit : int { kDeployOk = 0, kDeployFailed = 1603, kDeployRetry = 1618 };

enum class InstallVerdict {
  kApplied,     // the record of this run says applied
  kNotApplied,  // the run went through, but an entry does not hold the package's file
  kFailed,      // the run stopped at an entry
  kCutOff,      // the record still says applying: the run ended before it could finish
  kKeptOut,     // another run held the lock for the whole wait; nothing was touched
  kNoRecord,    // the run wrote no record of this package (see the log)
};

// The verdict on the run of this package that began at or after `startedAfter` (a record time,
// "yyyy-mm-ddThh:mm:ssZ"): from its record when that run wrote one, else kKeptOut when the log
// of the run says the lock kept it out (`keptOut`), else kNoRecord. A record of an earlier run
// never counts: one that started before, or, within the same second, one as it was before the
// run (`unchanged`) when the log says the run was kept out, since such a run writes none.
InstallVerdict JudgeInstall(RecordRead read, const RunRecord& record,
                            const std::wstring& startedAfter, bool unchanged, bool keptOut);
// True when `before` and `after` are the same record as far as a run's start and end tell.
bool SameRun(RecordRead before, const RunRecord& earlier, RecordRead after,
             const RunRecord& later);
int InstallExitCode(InstallVerdict verdict);
const char* InstallVerdictText(InstallVerdict verdict);  // "applied", "not applied: ...", ...

// True when `lines` (what the log got while the run ran) hold the lock wait of the run of
// `packageDir` (as the runner names it, with its backslash) and, after it, the line of a run
// that gave up waiting.
bool LogSaysKeptOut(const std::string& lines, const std::wstring& packageDir);

// 0 when everything is back, 1618 when another run held the lock, 1603 otherwise.
int UninstallExitCode(const TakeBack& outcome);

// The line detection prints when the package is applied here (its record says applied and
// every entry holds what the package installs); empty otherwise.
std::string DetectionLine(const VerifyReport& report);
