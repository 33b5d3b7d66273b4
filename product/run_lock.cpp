#include "product/run_lock.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>

#include "platform/trust.h"

namespace {
// A private namespace is found by its name and its boundary. Only a token that holds every SID
// of the boundary may make it: with Administrators there, an elevated administrator or SYSTEM.
constexpr wchar_t kNamespaceName[] = L"Norvale.Wareden";
constexpr wchar_t kPrivateLockName[] = L"Norvale.Wareden\\PatchRun";
// Only SYSTEM and Administrators: an ordinary user can neither take the lock nor hold it open.
constexpr wchar_t kRunLockRights[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
// Two runs may meet here: the namespace one saw at its create may be gone at its open.
constexpr int kNamespaceTries = 3;

// The lock's namespace, made or opened; none where the system makes none (a compatibility
// layer without them, a token without the Administrators group).
NamespaceHandle OpenLockNamespace(SECURITY_ATTRIBUTES& attributes) {
  // Looked up, not imported: a compatibility layer may export them as stubs that end the
  // process when called (Wine does).
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const auto create =
      FindExport<decltype(&CreatePrivateNamespaceW)>(kernel, "CreatePrivateNamespaceW");
  const auto open = FindExport<decltype(&OpenPrivateNamespaceW)>(kernel, "OpenPrivateNamespaceW");
  if (create == nullptr || open == nullptr) return NamespaceHandle();
  BoundaryHandle boundary(CreateBoundaryDescriptorW(kNamespaceName, 0));
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(administrators);
  if (!boundary.IsValid() ||
      !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) {
    return NamespaceHandle();
  }
  HANDLE grown = boundary.Release();  // the call may move the descriptor
  const BOOL added = AddSIDToBoundaryDescriptor(&grown, administrators);
  boundary.Reset(grown);
  if (!added) return NamespaceHandle();
  for (int attempt = 0; attempt < kNamespaceTries; ++attempt) {
    NamespaceHandle made(create(&attributes, boundary.Get(), kNamespaceName));
    if (made.IsValid() || GetLastError() != ERROR_ALREADY_EXISTS) return made;
    NamespaceHandle opened(open(boundary.Get(), kNamespaceName));
    if (opened.IsValid()) return opened;
  }
  return NamespaceHandle();
}

// 0 when the owner of the lock object `mutex` passes the runner's owner rules; otherwise
// ERROR_INVALID_OWNER, or the error of reading it.
DWORD CheckLockOwner(HANDLE mutex) {
  LocalMemory descriptor;
  const DWORD read = GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, nullptr,
                                     nullptr, nullptr, nullptr, descriptor.Put());
  if (read != ERROR_SUCCESS) return read;
  return CheckDescriptor(descriptor.Get(), CurrentTokenFacts(), false) == TrustRefusal::kNone
             ? ERROR_SUCCESS
             : ERROR_INVALID_OWNER;
}
}  // namespace

RunLock::RunLock(DWORD waitMilliseconds) {
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
  LocalMemory descriptor;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kRunLockRights, SDDL_REVISION_1,
                                                           descriptor.Put(), nullptr)) {
    attributes.lpSecurityDescriptor = descriptor.Get();
  }
  namespace_ = OpenLockNamespace(attributes);
  const HANDLE mutex = CreateMutexW(&attributes, FALSE,
                                    namespace_.IsValid() ? kPrivateLockName : kRunLockGlobalName);
  const DWORD created = GetLastError();
  mutex_.Reset(mutex);
  if (!mutex_.IsValid()) {
    error_ = created;
    return;
  }
  // Whoever made it first, and under the global name that may be any user: it is the lock only
  // when its owner is one the runner trusts, or the runner would wait on a stranger's mutex.
  if (created == ERROR_ALREADY_EXISTS && (error_ = CheckLockOwner(mutex_.Get())) != 0) {
    mutex_.Reset();
    return;
  }
  // An abandoned lock belonged to a run that ended without letting go: it is ours now.
  DWORD wait = WaitForSingleObject(mutex_.Get(), 0);
  if (wait == WAIT_TIMEOUT && waitMilliseconds != 0) {
    const DWORD start = GetTickCount();
    wait = WaitForSingleObject(mutex_.Get(), waitMilliseconds);
    waited_ = std::max<DWORD>(GetTickCount() - start, 1);
  }
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
