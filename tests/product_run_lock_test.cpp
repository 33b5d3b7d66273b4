// The run lock against what another program may have made under its name first.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <thread>

#include "product/run_lock.h"

namespace {

// Gives `object` an owner that the runner does not trust (Everyone).
bool GiveUntrustedOwner(HANDLE object) {
  LocalMemory everyone;
  return ConvertStringSidToSidW(L"S-1-1-0", reinterpret_cast<PSID*>(everyone.Put())) &&
         SetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, everyone.Get(),
                         nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

TEST(RunLockTest, OnlyATrustedMutexIsTheLock) {
  bool inNamespace = false;
  {
    const RunLock held(0);
    ASSERT_EQ(held.GetState(), RunLock::State::kHeld) << held.Error();
    inNamespace = held.InPrivateNamespace();
    RunLock::State other = RunLock::State::kHeld;
    std::thread([&other] { other = RunLock(10).GetState(); }).join();
    EXPECT_EQ(other, RunLock::State::kBusy) << "a second run went past the held lock";
  }
  // What any user may make first under the global name: an object of another type, a mutex of
  // their own. In the private namespace neither matters.
  for (const bool mutex : {false, true}) {
    SCOPED_TRACE(mutex ? "a mutex of another owner" : "an event");
    const KernelHandle planted(mutex ? CreateMutexW(nullptr, FALSE, kRunLockGlobalName)
                                     : CreateEventW(nullptr, TRUE, FALSE, kRunLockGlobalName));
    ASSERT_TRUE(planted.IsValid()) << GetLastError();
    if (mutex && !inNamespace) {
      ASSERT_TRUE(GiveUntrustedOwner(planted.Get())) << GetLastError();
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
