#pragma once

#include <windows.h>

#include <string>

// Scanners, indexers and exiting processes hold files briefly; a move or copy that meets such
// a hold is tried again before it counts as failed.
constexpr int kFileOperationTries = 10;
constexpr DWORD kFileOperationRetryDelayMs = 100;

// True for the errors that a brief hold produces: sharing violation, lock violation, access
// denied.
inline bool IsTransientFileError(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

// Runs `operation` (returning BOOL, setting the last error) up to kFileOperationTries times,
// kFileOperationRetryDelayMs apart, while it fails with a transient error. Returns the last
// result; the last error is that of the last try.
template <typename Operation>
BOOL RetryWhileHeld(Operation operation) {
  for (int attempt = 1;; ++attempt) {
    if (operation()) return TRUE;
    const DWORD error = GetLastError();
    if (attempt == kFileOperationTries || !IsTransientFileError(error)) return FALSE;
    Sleep(kFileOperationRetryDelayMs);
  }
}

// One move that replaces whatever is at `to`, tried again while the file is held.
inline BOOL MoveReplacingWhileHeld(const std::wstring& from, const std::wstring& to) {
  return RetryWhileHeld(
      [&] { return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING); });
}
