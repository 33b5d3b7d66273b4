#include "product/run_lock.h"

#include <sddl.h>

namespace {
constexpr wchar_t kRunLockName[] = L"Global\\Norvale.Wareden.PatchRun";
// Only SYSTEM and Administrators: an ordinary user can neither take the lock nor hold it open.
constexpr wchar_t kRunLockRights[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
}  // namespace

RunLock::RunLock(DWORD waitMilliseconds) {
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
  LocalMemory descriptor;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kRunLockRights, SDDL_REVISION_1,
                                                           descriptor.Put(), nullptr)) {
    attributes.lpSecurityDescriptor = descriptor.Get();
  }
  mutex_.Reset(CreateMutexW(&attributes, FALSE, kRunLockName));
  if (!mutex_.IsValid()) {
    error_ = GetLastError();
    return;
  }
  // An abandoned lock belonged to a run that ended without letting go: it is ours now.
  const DWORD wait = WaitForSingleObject(mutex_.Get(), waitMilliseconds);
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
    state_ = State::kHeld;
  } else if (wait == WAIT_TIMEOUT) {
    state_ = State::kBusy;
  } else {
    error_ = GetLastError();
  }
}

RunLock::~RunLock() {
  if (state_ == State::kHeld) ReleaseMutex(mutex_.Get());
}
