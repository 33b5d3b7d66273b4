// The run lock against what another program may have made under its name first.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include "product/run_lock.h"

namespace {

// What any user may make first under the global name: an object of another type, a mutex of
// their own. In the private namespace neither matters; under the global name neither is taken
// for the lock, and the run is told why.
TEST(RunLockTest, OnlyAMutexOfATrustedOwnerIsTheLock) {
  const bool inNamespace = RunLock(0).InPrivateNamespace();
  LocalMemory everyone;
  ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-1-0", reinterpret_cast<PSID*>(everyone.Put())));
  for (const bool mutex : {false, true}) {
    SCOPED_TRACE(mutex ? "a mutex of another owner" : "an event");
    const KernelHandle planted(mutex ? CreateMutexW(nullptr, FALSE, kRunLockGlobalName)
                                     : CreateEventW(nullptr, TRUE, FALSE, kRunLockGlobalName));
    ASSERT_TRUE(planted.IsValid()) << GetLastError();
    if (mutex && !inNamespace) {
      ASSERT_EQ(SetSecurityInfo(planted.Get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                                everyone.Get(), nullptr, nullptr, nullptr),
                DWORD{ERROR_SUCCESS});
    }
    const RunLock lock(0);
    if (inNamespace) {
      EXPECT_EQ(lock.GetState(), RunLock::State::kHeld) << lock.Error();
    } else {
      EXPECT_EQ(lock.GetState(), RunLock::State::kUnavailable);
      EXPECT_EQ(lock.Error(), mutex ? DWORD{ERROR_INVALID_OWNER} : DWORD{ERROR_INVALID_HANDLE});
    }
  }
}

}  // namespace
