#include <windows.h>

#include <exception>
#include <string>

#include "app/install.h"
#include "app/runner_seal.h"
#include "log/log.h"
#include "platform/mitigations.h"
#include "platform/text.h"

namespace {
// Before any library load of ours: the package folder may be a user's download folder, so DLLs
// must come from System32 only. The log's start-up step only reads the registry before this.
const bool kProcessHardened = (ApplyProcessMitigations(), true);

// One "Error" line for an error that escaped a step. Building it may fail for the same reason
// (no memory); then the run ends without it.
void ReportEscapedError() noexcept {
  try {
    throw;
  } catch (const std::exception& error) {
    try {
      LOG_FAILURE(L"[%s]Install stopped by an unexpected error: %s.", WidenUtf8(error.what()));
    } catch (...) {
    }
  } catch (...) {
    LOG_FAILURE(L"[%s]Install stopped by an unexpected error: %s.", L"unknown");
  }
}
}  // namespace

// The command line is ignored by design: the package layout says everything. The exit code is
// 0 on every path; success and failure show only in the log and the installation.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Taken before the log opens, so that runs that wait for each other write their lines one run
  // after the other.
  const RunLock lock(kRunLockWaitMilliseconds);
  // An error escaping a step (memory exhausted, an unreadable value) must still close the log.
  try {
    RunInstallSequence(lock, RunnerSeal());
  } catch (...) {
    ReportEscapedError();
  }
  LOG_CONSOLE::CloseLog();  // never throws
  return 0;
}
