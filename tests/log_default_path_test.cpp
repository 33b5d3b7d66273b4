#include <gtest/gtest.h>

#include "platform/paths.h"
#include "platform/text.h"
#include "tests/log_test_fixture.h"

namespace {

// The default log file of this test program, named here without the logger's help; removed
// before and after each test.
class LogDefaultPath : public LogTest {
 protected:
  LogDefaultPath() { Remove(); }
  ~LogDefaultPath() override { Remove(); }
  void Remove() const {
    DeleteFileW(path_.c_str());
    DeleteFileW((path_ + L".old").c_str());
  }
  const std::wstring path_ = CommonAppDataFolder(false) +
                             L"Norvale\\PelliMgr\\MossLog\\log_machine_tests_log_machine_tests.log";
};

// The folders keep their case; only the file's name, made of the program's titles, is
// lower-cased.
TEST_F(LogDefaultPath, ALogSwitchedOnOpensOnItsFirstLineWithTheMagicLine) {
  LogEnabled = 1;
  LOG_CONSOLE::WriteErrorLog(L"[%s]first", L"Error");
  EXPECT_EQ(std::wstring(CurrentLogState().LogFilePath), path_);
  EXPECT_EQ(RunnerLogPath(CommonAppDataFolder(false), L"C:\\x\\log_machine_tests.exe"), path_)
      << "the readers' name for it";
  EXPECT_EQ(CurrentLogState().BannerEnabled, 1);
  LOG_CONSOLE::CloseLog();
  const std::vector<std::string> expected = {testsupport::kMagicOpenMessage, "[Error]first",
                                             testsupport::Banner(kEndBanner)};
  EXPECT_EQ(testsupport::ReadMessages(path_), expected) << "the log folder was not created";
}

TEST(LogActivation, TheForcedFlagOpensAtEntryEitherSwitchAtTheFirstLine) {
  EXPECT_EQ(ActivationOf(1, 0, false), LogActivation::kAtEntry);
  EXPECT_EQ(ActivationOf(2, 1, true), LogActivation::kAtEntry);
  EXPECT_EQ(ActivationOf(0, 1, false), LogActivation::kAtFirstLine);
  EXPECT_EQ(ActivationOf(0, 0, true), LogActivation::kAtFirstLine);
  EXPECT_EQ(ActivationOf(0, 0, false), LogActivation::kOff);
}

TEST_F(LogDefaultPath, AFailedLazyOpenIsNotTriedAgain) {
  // A folder at the log's name that someone holds can neither be opened nor moved aside.
  ASSERT_TRUE(CreateDirectoryW(path_.c_str(), nullptr));
  KernelHandle blocker = testsupport::HoldOpen(path_, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_TRUE(blocker.IsValid());
  LogEnabled = 1;
  LOG_CONSOLE::WriteLog(L"[%s]lost", L"Common");
  blocker.Reset();
  EXPECT_EQ(CurrentLogState().LogFile, nullptr);
  LOG_CONSOLE::WriteLog(L"[%s]also lost", L"Common");
  EXPECT_EQ(CurrentLogState().LogFile, nullptr) << "the lazy open was tried again";
  EXPECT_TRUE(RemoveDirectoryW(path_.c_str())) << "the folder was moved or filled";
}

// Any user may read the log; one who holds it without sharing writes must not silence a run.
TEST_F(LogDefaultPath, AHeldLogSendsTheRunsLinesToAFileOfItsOwnBesideIt) {
  testsupport::WriteBytes(path_, "earlier run\n");
  KernelHandle reader = testsupport::HoldOpen(path_, FILE_SHARE_READ);
  ASSERT_TRUE(reader.IsValid());
  LogEnabled = 1;
  LOG_CONSOLE::WriteLog(L"[%s]kept", L"Common");
  const std::wstring side = CurrentLogState().LogFilePath;
  LOG_CONSOLE::CloseLog();
  reader.Reset();
  EXPECT_EQ(side.rfind(path_ + L".run-", 0), 0u) << NarrowToUtf8(side);
  const std::vector<std::string> expected = {testsupport::kMagicOpenMessage, "[Common]kept",
                                             testsupport::Banner(kEndBanner)};
  EXPECT_EQ(testsupport::ReadMessages(side), expected);
  EXPECT_EQ(testsupport::ReadBytes(path_), "earlier run\n");
  DeleteFileW(side.c_str());
}

}  // namespace
