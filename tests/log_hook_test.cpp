#include <gtest/gtest.h>

#include "platform/text.h"
#include "tests/log_test_fixture.h"
#include "tests/support/machine.h"

namespace {

class LogHook : public LogTest {
 protected:
  testsupport::HookFixture hook_;  // goes after TearDown has released the library
};

// Also through a library that exports a stdcall function under the undecorated name: it pops
// its own arguments, which must not unbalance the caller's stack.
TEST_F(LogHook, ErrorMessagesReachTheHookWithoutTimestampOrLineFeedProgressNever) {
  for (const wchar_t* built : {kHookFileName, L"MossLogExStdcall.dll"}) {
    SCOPED_TRACE(NarrowToUtf8(built));
    LogTestSeam::Reset();
    hook_.Install(built);
    hook_.ForgetCalls();
    const std::wstring logPath = temp_ / (built + std::wstring(L".log"));
    LOG_CONSOLE::InitLog(logPath.c_str());
    LOG_CONSOLE::WriteLog(L"[%s]progress", L"Common");
    LOG_CONSOLE::WriteErrorLog(L"[%s]ParseConf failed.", L"Error");
    LOG_CONSOLE::WriteErrorLog(L"[%s]Copy [%s] failed.", L"Error", L"C:\\\u00c4\u65e5");
    LOG_CONSOLE::WriteErrorLog(L"[%s]Copy [%s] failed.", L"Error", L"a\r\nb");

    const std::wstring tag = L"log_machine_tests_log_machine_tests";
    EXPECT_EQ(AssertTag(), tag);
    const std::vector<testsupport::HookCall> expected = {
        {L"[Error]ParseConf failed.", tag},
        {L"[Error]Copy [C:\\\u00c4\u65e5] failed.", tag},
        {L"[Error]Copy [a\\x0d\\x0ab] failed.", tag}};
    EXPECT_EQ(hook_.Calls(), expected);
    const std::vector<std::string> lines = {"[Common]progress", "[Error]ParseConf failed.",
                                            "[Error]Copy [C:\\\xc3\x84\xe6\x97\xa5] failed.",
                                            "[Error]Copy [a\\x0d\\x0ab] failed."};
    EXPECT_EQ(testsupport::ReadMessages(logPath), lines);

    EXPECT_NE(GetModuleHandleW(kHookFileName), nullptr);
    LOG_CONSOLE::CloseLog();
    EXPECT_EQ(GetModuleHandleW(kHookFileName), nullptr) << "CloseLog did not release the library";
  }
}

// A hold keeps the calls back, in order, until the holder lets go. Any user may add files to the
// hook's folder: the library's dependencies come from System32 only.
TEST_F(LogHook, HeldCallsComeLaterInOrder) {
  hook_.Install();
  LOG_CONSOLE::InitLog((temp_ / L"d.log").c_str());
  {
    const AssertHookHold hold;
    LOG_CONSOLE::WriteErrorLog(L"[%s]one", L"Error");
    LOG_CONSOLE::WriteErrorLog(L"[%s]two", L"Error");
    EXPECT_TRUE(hook_.Calls().empty()) << "the hook ran during a hold";
  }
  const auto calls = hook_.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].first, L"[Error]two");
}

TEST_F(LogHook, WithoutTheLibraryEachErrorLineProbesAgain) {
  const std::wstring logPath = temp_ / L"p.log";
  LOG_CONSOLE::InitLog(logPath.c_str());
  LOG_CONSOLE::WriteErrorLog(L"[%s]before install", L"Error");
  EXPECT_EQ(GetModuleHandleW(kHookFileName), nullptr);

  hook_.Install();
  LOG_CONSOLE::WriteErrorLog(L"[%s]after install", L"Error");
  const auto calls = hook_.Calls();
  ASSERT_EQ(calls.size(), 1u) << "the installed library was not found by the next error line";
  EXPECT_EQ(calls[0].first, L"[Error]after install");
  const std::vector<std::string> lines = {"[Error]before install", "[Error]after install"};
  EXPECT_EQ(testsupport::ReadMessages(logPath), lines);
  LOG_CONSOLE::CloseLog();
  EXPECT_EQ(GetModuleHandleW(kHookFileName), nullptr);
}

TEST_F(LogHook, NoOpenLogMeansNoHookCall) {
  hook_.Install();
  LOG_CONSOLE::WriteErrorLog(L"[%s]log off", L"Error");
  EXPECT_TRUE(hook_.Calls().empty());
  EXPECT_EQ(GetModuleHandleW(kHookFileName), nullptr)
      << "the library was loaded for a log that is off";
}

}  // namespace
