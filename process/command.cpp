#include "process/command.h"

#include "log/log.h"
#include "platform/handle.h"

namespace {
constexpr DWORD kWaitMilliseconds = 2000;
constexpr DWORD kNoExitCode = 0xFFFFFFFFu;
}  // namespace

DWORD CreateProcessWaitCmd(wchar_t* commandLine) {
  DWORD exitCode = kNoExitCode;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    const DWORD error = GetLastError();
    LOG_FAILURE(L"[%s]failed to execute cmdline:%s, err:%u.", commandLine, error);
    return exitCode;
  }
  const ProcessHandles handles(info);

  // A program still running after the wait goes on by itself; only its handles are closed.
  const DWORD wait = WaitForSingleObject(handles.process.Get(), kWaitMilliseconds);
  if (wait != WAIT_OBJECT_0) {
    const DWORD error = GetLastError();
    LOG_FAILURE(L"[%s]failed to call WaitForSingleObject, waitcode:%u, lasterr:%u.", wait, error);
    return exitCode;
  }
  if (!GetExitCodeProcess(handles.process.Get(), &exitCode)) {
    const DWORD error = GetLastError();
    exitCode = kNoExitCode;
    LOG_FAILURE(L"[%s]failed to call GetExitCodeProcess, lasterr:%u.", error);
  }
  return exitCode;
}
