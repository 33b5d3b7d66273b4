#pragma once

#include <windows.h>

#include "platform/handle.h"

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
