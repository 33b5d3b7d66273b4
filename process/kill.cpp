#include "process/kill.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "log/log.h"
#include "platform/file_identity.h"
#include "platform/handle.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

// SYNCHRONIZE lets us wait for the end: a dying process may still hold the files that the
// patch is about to move. Querying also covers opening its token.
constexpr DWORD kProcessAccess =
    PROCESS_TERMINATE | PROCESS_VM_READ | PROCESS_QUERY_INFORMATION | SYNCHRONIZE;
constexpr DWORD kExitWaitMilliseconds = 5000;
// What starting a program with the duplicate in its owner's session needs.
constexpr DWORD kTokenAccess = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY |
                               TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID;
constexpr DWORD kLongPathCapacity = 32768;

enum class Origin { kExpected, kElsewhere, kUnknown };

// Where the process's main executable lies: first the path it reports as text (a path cut at
// the capacity never equals a full one), then, when that differs or cannot be read, the file
// itself through the image path, which every process reports whatever its bitness or the
// path's length.
// `error` is the platform's code when the path cannot be read.
Origin FindOrigin(HANDLE process, const std::wstring& expectedPath, DWORD& error) {
  wchar_t modulePath[kPathCapacity + 1] = {};
  if (GetModuleFileNameExW(process, nullptr, modulePath, kPathCapacity) != 0 &&
      EqualsIgnoringAsciiCase(modulePath, expectedPath)) {
    return Origin::kExpected;
  }
  std::wstring image(kLongPathCapacity, L'\0');
  DWORD size = kLongPathCapacity;
  if (!QueryFullProcessImageNameW(process, 0, &image[0], &size)) {
    error = GetLastError();
    return Origin::kUnknown;
  }
  image.resize(size);
  return IsSameFile(image, expectedPath) ? Origin::kExpected : Origin::kElsewhere;
}

// A primary token of the process and its session, so that it can be started again as it ran;
// no token when its owner's token is closed to us.
StoppedProgram TakeIdentity(HANDLE process) {
  StoppedProgram program;
  KernelHandle token;
  if (OpenProcessToken(process, TOKEN_DUPLICATE | TOKEN_QUERY, token.Put())) {
    DuplicateTokenEx(token.Get(), kTokenAccess, nullptr, SecurityImpersonation, TokenPrimary,
                     program.token.Put());
  }
  ProcessIdToSessionId(GetProcessId(process), &program.sessionId);
  return program;
}

// One restart per session: several instances in one session are one user's program. Only into
// the room the caller reserved: nothing is allocated once a program is stopped.
void Remember(StoppedProgram program, std::vector<StoppedProgram>& stopped) {
  for (StoppedProgram& known : stopped) {
    if (known.sessionId != program.sessionId) continue;
    if (!known.token.IsValid()) known = std::move(program);
    return;
  }
  if (stopped.size() < stopped.capacity()) stopped.push_back(std::move(program));
}

// True when the process was terminated.
bool TerminateMatchingProcess(const PROCESSENTRY32W& entry, const std::wstring& expectedPath,
                              std::vector<StoppedProgram>* stopped) {
  LOG_PROGRESS(L"[%s]process name:%s, id:%u.", entry.szExeFile, entry.th32ProcessID);
  KernelHandle process(OpenProcess(kProcessAccess, FALSE, entry.th32ProcessID));
  if (!process.IsValid()) {
    // It may be the product: passing it over silently would replace files under it.
    const DWORD error = GetLastError();
    LOG_FAILURE(L"[%s]failed to OpenProcess, name:%s, processid:%u, lasterr:%u.", entry.szExeFile,
                entry.th32ProcessID, error);
    return false;
  }
  if (!expectedPath.empty()) {
    DWORD error = 0;
    const Origin origin = FindOrigin(process.Get(), expectedPath, error);
    if (origin == Origin::kUnknown) {
      LOG_FAILURE(L"[%s]failed to read the image path, name:%s, processid:%u, lasterr:%u.",
                  entry.szExeFile, entry.th32ProcessID, error);
    }
    if (origin != Origin::kExpected) return false;
  }

  StoppedProgram program = stopped != nullptr ? TakeIdentity(process.Get()) : StoppedProgram();
  if (!TerminateProcess(process.Get(), 0)) {
    LOG_FAILURE(L"[%s]failed to TerminateProcess, name:%s, processid:%u", entry.szExeFile,
                entry.th32ProcessID);
    return false;
  }
  LOG_PROGRESS(L"[%s]succeed in kill process.");
  if (stopped != nullptr) Remember(std::move(program), *stopped);
  const DWORD wait = WaitForSingleObject(process.Get(), kExitWaitMilliseconds);
  if (wait != WAIT_OBJECT_0) {
    const DWORD error = GetLastError();
    LOG_FAILURE(L"[%s]process id:%u has not ended after %u ms, waitcode:%u, lasterr:%u.",
                entry.th32ProcessID, kExitWaitMilliseconds, wait, error);
  }
  return true;
}

}  // namespace

bool KillProcessByName(const std::wstring& folder, const std::wstring& imageName,
                       std::vector<StoppedProgram>* stopped) {
  bool killed = false;
  std::wstring expectedPath;
  if (!folder.empty()) {
    expectedPath = folder;
    AppendBackslashIfMissing(expectedPath);
    expectedPath += imageName;
  }

  KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.IsValid()) return false;

  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  if (!Process32FirstW(snapshot.Get(), &entry)) {
    LOG_FAILURE(L"[%s]failed to call Process32First, processName:%s.", imageName);
    return false;
  }
  do {
    if (EqualsIgnoringAsciiCase(entry.szExeFile, imageName) &&
        TerminateMatchingProcess(entry, expectedPath, stopped)) {
      killed = true;
    }
  } while (Process32NextW(snapshot.Get(), &entry));
  return killed;
}

bool IsRunningFrom(const std::wstring& folder, const std::wstring& imageName, DWORD sessionId) {
  std::wstring expectedPath = folder;
  AppendBackslashIfMissing(expectedPath);
  expectedPath += imageName;
  KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  if (!snapshot.IsValid() || !Process32FirstW(snapshot.Get(), &entry)) return false;
  do {
    DWORD session = 0;
    if (!EqualsIgnoringAsciiCase(entry.szExeFile, imageName) ||
        !ProcessIdToSessionId(entry.th32ProcessID, &session) || session != sessionId) {
      continue;
    }
    KernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                     entry.th32ProcessID));
    DWORD error = 0;
    if (process.IsValid() && FindOrigin(process.Get(), expectedPath, error) == Origin::kExpected)
      return true;
  } while (Process32NextW(snapshot.Get(), &entry));
  return false;
}
