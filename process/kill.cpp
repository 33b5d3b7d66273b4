#include "process/kill.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "log/log.h"
#include "platform/handle.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

// SYNCHRONIZE lets us wait for the end: a dying process may still hold the files that the
// patch is about to move.
constexpr DWORD kProcessAccess =
    PROCESS_TERMINATE | PROCESS_VM_READ | PROCESS_QUERY_INFORMATION | SYNCHRONIZE;
constexpr DWORD kExitWaitMilliseconds = 5000;

// True when the process's main executable is `expectedPath`. A path cut at the capacity
// never equals a full one.
bool RunsFrom(HANDLE process, const std::wstring& expectedPath) {
  wchar_t modulePath[kPathCapacity + 1] = {};
  if (GetModuleFileNameExW(process, nullptr, modulePath, kPathCapacity) == 0) return false;
  return EqualsIgnoringAsciiCase(modulePath, expectedPath);
}

// True when the process was terminated.
bool TerminateMatchingProcess(const PROCESSENTRY32W& entry, const std::wstring& expectedPath) {
  LOG_PROGRESS(L"[%s]process name:%s, id:%u.", entry.szExeFile, entry.th32ProcessID);
  KernelHandle process(OpenProcess(kProcessAccess, FALSE, entry.th32ProcessID));
  if (!process.IsValid()) return false;
  if (!expectedPath.empty() && !RunsFrom(process.Get(), expectedPath)) return false;

  if (!TerminateProcess(process.Get(), 0)) {
    LOG_FAILURE(L"[%s]failed to TerminateProcess, name:%s, processid:%u", entry.szExeFile,
                entry.th32ProcessID);
    return false;
  }
  LOG_PROGRESS(L"[%s]succeed in kill process.");
  const DWORD wait = WaitForSingleObject(process.Get(), kExitWaitMilliseconds);
  if (wait != WAIT_OBJECT_0) {
    const DWORD error = GetLastError();
    LOG_FAILURE(L"[%s]process id:%u has not ended after %u ms, waitcode:%u, lasterr:%u.",
                entry.th32ProcessID, kExitWaitMilliseconds, wait, error);
  }
  return true;
}

}  // namespace

bool KillProcessByName(const std::wstring& folder, const std::wstring& imageName) {
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
        TerminateMatchingProcess(entry, expectedPath)) {
      killed = true;
    }
  } while (Process32NextW(snapshot.Get(), &entry));
  return killed;
}
