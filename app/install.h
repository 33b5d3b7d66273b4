#pragma once

#include <windows.h>

#include <string>

#include "platform/handle.h"

// The product's key under HKLM, read in the process's default registry view (the 32-bit view
// for this 32-bit program on 64-bit Windows).
inline constexpr wchar_t kProductKey[] = L"SOFTWARE\\Norvale\\Wareden";
inline constexpr wchar_t kInstallDirValue[] = L"InstallDir";

// Reads InstallDir as the run does: a string of at most 259 characters stored with its NUL, of
// type REG_SZ or REG_EXPAND_SZ (unexpanded). The key is closed before it returns. `installDir`
// is set only on kOk; an empty stored value is kOk with empty text.
enum class InstallDirRead { kOk, kOpenFailed, kQueryFailed };
InstallDirRead ReadInstallDir(std::wstring& installDir);

// A machine-wide lock held for the whole run: two runners started together (a deployment that
// retries) would both stop and both restart the product. The constructor waits for it a
// bounded time; the destructor lets it go.
class RunLock {
 public:
  enum class State { kHeld, kBusy, kUnavailable };
  explicit RunLock(DWORD waitMilliseconds);
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  State GetState() const { return state_; }
  DWORD Error() const { return error_; }  // the platform's code when unavailable

 private:
  KernelHandle mutex_;
  State state_ = State::kUnavailable;
  DWORD error_ = 0;
};
inline constexpr DWORD kRunLockWaitMilliseconds = 60000;

// The install sequence up to, not including, the closing of the log: the entry point closes
// the log on every path, also after an exception escaped from here. A run whose lock is busy
// stops after its first line; one whose lock is unavailable goes on as before the lock existed.
void RunInstallSequence(const RunLock& lock);
