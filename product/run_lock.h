#pragma once

#include <windows.h>

#include "platform/handle.h"

// A machine-wide lock held for the whole run: two runners started together (a deployment that
// retries) would both stop and both restart the product. The constructor waits for it a
// bounded time; the destructor lets it go.
//
// It lives in a private namespace that only a token holding the Administrators group can make,
// so that no ordinary user can make it first or hold it. Where the system makes no such
// namespace, it is the mutex kRunLockGlobalName, used only when whoever made it first passes the
// runner's owner rules.
class RunLock {
 public:
  enum class State { kHeld, kBusy, kUnavailable };
  explicit RunLock(DWORD waitMilliseconds);
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  State GetState() const { return state_; }
  // The platform's code when unavailable: ERROR_INVALID_OWNER for an object of that name whose
  // owner is not trusted, ERROR_INVALID_HANDLE for one that is no mutex.
  DWORD Error() const { return error_; }
  // How long another run kept this one waiting, in ms: 0 when the lock was free at once.
  DWORD Waited() const { return waited_; }
  // False where the lock fell back to kRunLockGlobalName.
  bool InPrivateNamespace() const { return namespace_.IsValid(); }

 private:
  NamespaceHandle namespace_;  // held open while the lock is: it lives as long as a handle does
  KernelHandle mutex_;
  State state_ = State::kUnavailable;
  DWORD error_ = 0;
  DWORD waited_ = 0;
};
inline constexpr DWORD kRunLockWaitMilliseconds = 60000;
inline constexpr wchar_t kRunLockGlobalName[] = L"Global\\Norvale.Wareden.PatchRun";
