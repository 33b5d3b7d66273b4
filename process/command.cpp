#include "process/command.h"

#include "log/log.h"
#include "platform/handle.h"

namespace {
constexpr DWORD kWaitMilliseconds = 2000;
constexpr DWORD kNoExitCode = 0xFFFFFFFFu;
// The interactive desktop of the token's session; without it a program started from a
// service lands on an invisible one.
wchar_t kUserDesktop[] = L"winsta0\\default";

STARTUPINFOW HiddenStartup() {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  return startup;
}

// Waits for a started program and returns its exit code, or kNoExitCode after an "Error" line.
DWORD WaitForExitCode(const ProcessHandles& handles) {
  // A program still running after the wait goes on by itself; only its handles are closed.
  // A time-out sets no last error: the line then shows 0, not what an earlier call left.
  SetLastError(NO_ERROR);
  const DWORD wait = WaitForSingleObject(handles.process.Get(), kWaitMilliseconds);
  if (wait != WAIT_OBJECT_0) {
    const DWORD error = GetLastError();
    LOG_FAILURE(L"[%s]failed to call WaitForSingleObject, waitcode:%u, lasterr:%u.", wait, error);
    return kNoExitCode;
  }
  DWORD exitCode = kNoExitCode;
  if (!GetExitCodeProcess(handles.process.Get(), &exitCode)) {
    const DWORD error = GetLastError();
    LOG_FAILURE(L"[%s]failed to call GetExitCodeProcess, lasterr:%u.", error);
    return kNoExitCode;
  }
  return exitCode;
}

// The caller's standard handles are none from construction to destruction.
class StandardHandlesHidden {
 public:
  explicit StandardHandlesHidden(StandardHandles handles)
      : hide_(handles == StandardHandles::kNone) {
    for (int i = 0; hide_ && i < 3; ++i) {
      saved_[i] = GetStdHandle(kKinds[i]);
      SetStdHandle(kKinds[i], nullptr);
    }
  }
  ~StandardHandlesHidden() {
    const DWORD error = GetLastError();  // the start's, for its line
    for (int i = 0; hide_ && i < 3; ++i) SetStdHandle(kKinds[i], saved_[i]);
    SetLastError(error);
  }
  StandardHandlesHidden(const StandardHandlesHidden&) = delete;
  StandardHandlesHidden& operator=(const StandardHandlesHidden&) = delete;

 private:
  static constexpr DWORD kKinds[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  bool hide_;
  HANDLE saved_[3] = {};
};

DWORD StartAndWait(wchar_t* commandLine, const wchar_t* folder,
                   StandardHandles handles = StandardHandles::kInherited) {
  STARTUPINFOW startup = HiddenStartup();
  PROCESS_INFORMATION info = {};
  BOOL started = FALSE;
  {
    const StandardHandlesHidden hidden(handles);
    started = CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, folder,
                             &startup, &info);
  }
  if (!started) {
    const DWORD error = GetLastError();
    LOG_FAILURE(L"[%s]failed to execute cmdline:%s, err:%u.", commandLine, error);
    return kNoExitCode;
  }
  return WaitForExitCode(ProcessHandles(info));
}

// Turns on a privilege the process holds but has off, for its own lifetime; silently nothing
// where the process lacks it. The rest of the run, the hook library's calls among it, runs
// with the privileges as they were.
class EnabledPrivilege {
 public:
  explicit EnabledPrivilege(const wchar_t* name) {
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                          token_.Put())) {
      return;
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD size = sizeof(before_);
    // A privilege that was on already comes back with a count of 0 in `before_`: nothing to undo.
    if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) ||
        !AdjustTokenPrivileges(token_.Get(), FALSE, &privileges, sizeof(before_), &before_,
                               &size) ||
        GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
      before_.PrivilegeCount = 0;
    }
  }
  ~EnabledPrivilege() {
    if (before_.PrivilegeCount != 0)
      AdjustTokenPrivileges(token_.Get(), FALSE, &before_, 0, nullptr, nullptr);
  }
  EnabledPrivilege(const EnabledPrivilege&) = delete;
  EnabledPrivilege& operator=(const EnabledPrivilege&) = delete;

 private:
  KernelHandle token_;
  TOKEN_PRIVILEGES before_ = {};
};

using CreateBlock = BOOL(WINAPI*)(LPVOID*, HANDLE, BOOL);
using DestroyBlock = BOOL(WINAPI*)(LPVOID);

// The environment a user's own programs get. It lives in userenv.dll, which Windows does not
// always map from System32: it is loaded at run time with System32 as the only place searched,
// never imported, so that a copy planted in the package folder cannot load.
class UserEnvironment {
 public:
  explicit UserEnvironment(HANDLE token)
      : library_(LoadLibraryExW(L"userenv.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    if (!library_.IsValid()) return;
    const auto create = FindExport<CreateBlock>(library_.Get(), "CreateEnvironmentBlock");
    destroy_ = FindExport<DestroyBlock>(library_.Get(), "DestroyEnvironmentBlock");
    if (create == nullptr || destroy_ == nullptr || !create(&block_, token, FALSE))
      block_ = nullptr;
  }
  ~UserEnvironment() {
    if (block_ != nullptr) destroy_(block_);
  }
  UserEnvironment(const UserEnvironment&) = delete;
  UserEnvironment& operator=(const UserEnvironment&) = delete;

  void* Block() const { return block_; }

 private:
  LibraryHandle library_;
  DestroyBlock destroy_ = nullptr;
  void* block_ = nullptr;
};

// Starts the program with `token`: CreateProcessAsUserW where the runner may assign a primary
// token (a service), else CreateProcessWithTokenW (an elevated administrator). False with the
// last error of the second try when neither works.
bool StartAsUser(wchar_t* commandLine, HANDLE token, const wchar_t* folder,
                 PROCESS_INFORMATION& info) {
  const EnabledPrivilege assignToken(SE_ASSIGNPRIMARYTOKEN_NAME);
  const EnabledPrivilege increaseQuota(SE_INCREASE_QUOTA_NAME);
  const UserEnvironment environment(token);
  const DWORD flags = environment.Block() != nullptr ? CREATE_UNICODE_ENVIRONMENT : 0;
  STARTUPINFOW startup = HiddenStartup();
  startup.lpDesktop = kUserDesktop;
  if (CreateProcessAsUserW(token, nullptr, commandLine, nullptr, nullptr, FALSE, flags,
                           environment.Block(), folder, &startup, &info)) {
    return true;
  }
  return CreateProcessWithTokenW(token, 0, nullptr, commandLine, flags, environment.Block(), folder,
                                 &startup, &info) != FALSE;
}
}  // namespace

DWORD CreateProcessWaitCmd(wchar_t* commandLine) { return StartAndWait(commandLine, nullptr); }

DWORD CreateProcessWaitCmdAs(wchar_t* commandLine, HANDLE token, const wchar_t* folder,
                             StandardHandles handles) {
  if (token == nullptr) {
    LOG_PROGRESS(L"[%s]no token of the stopped program, started with this run's rights.");
    return StartAndWait(commandLine, folder, handles);
  }
  PROCESS_INFORMATION info = {};
  bool started = false;
  {
    const StandardHandlesHidden hidden(handles);
    started = StartAsUser(commandLine, token, folder, info);
  }
  if (!started) {
    const DWORD error = GetLastError();
    LOG_PROGRESS(
        L"[%s]cannot start as the user who ran it, err:%u, started with this run's rights.", error);
    return StartAndWait(commandLine, folder, handles);
  }
  return WaitForExitCode(ProcessHandles(info));
}
