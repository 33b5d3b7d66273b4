#include <windows.h>

#include <exception>
#include <string>

#include "app/entry_paths.h"
#include "app/install.h"
#include "log/log.h"
#include "platform/trust.h"

namespace {
// Before any library load of ours: the package folder may be a user's download folder, so DLLs
// must come from System32 only. The log's start-up step only reads the registry before this.
const bool kProcessHardened = (ApplyProcessMitigations(), true);
}  // namespace

// The command line is ignored by design: the package layout says everything. The exit code is
// 0 on every path; success and failure show only in the log and the installation.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // An error escaping a step (memory exhausted, an unreadable value) must still close the log.
  try {
    RunInstallSequence();
  } catch (const std::exception& error) {
    LOG_FAILURE(L"[%s]Install stopped by an unexpected error: %s.", WidenUtf8(error.what()));
  } catch (...) {
    LOG_FAILURE(L"[%s]Install stopped by an unexpected error: %s.", L"unknown");
  }
  LOG_CONSOLE::CloseLog();
  return 0;
}
