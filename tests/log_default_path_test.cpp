#include <gtest/gtest.h>

#include <shlobj.h>
#include <shlwapi.h>

#include "platform/text.h"
#include "tests/log_test_fixture.h"

namespace {

// The default file of this test program; removed before and after each test.
class LogDefaultPath : public LogTest {
 protected:
  LogDefaultPath() { Remove(); }
  ~LogDefaultPath() override { Remove(); }
  void Remove() const {
    DeleteFileW(path_.c_str());
    DeleteFileW((path_ + L".old").c_str());
  }
  const std::wstring path_ = GetLogDir() + GetLogFileName();
};

TEST_F(LogDefaultPath, FolderUnderCommonAppDataAndLowerCasedName) {
  const std::wstring dir = GetLogDir();
  wchar_t appData[MAX_PATH + 1] = {};
  SHGetSpecialFolderPathW(nullptr, appData, CSIDL_COMMON_APPDATA, FALSE);
  const std::wstring expected = std::wstring(appData) + L"\\Norvale\\PelliMgr\\MossLog\\";
  EXPECT_EQ(dir, expected) << "the folder part must keep its case";
  EXPECT_TRUE(PathFileExistsW(dir.c_str()) != FALSE) << "GetLogDir did not create the folder";
  EXPECT_EQ(GetLogFileName(), L"log_machine_tests_log_machine_tests.log");
}

TEST_F(LogDefaultPath, ALogSwitchedOnOpensOnItsFirstLineWithTheMagicLine) {
  LogEnabled = 1;
  LOG_CONSOLE::WriteErrorLog(L"[%s]first", L"Error");
  EXPECT_EQ(std::wstring(CurrentLogState().LogFilePath), path_);
  EXPECT_EQ(CurrentLogState().BannerEnabled, 1);
  LOG_CONSOLE::CloseLog();
  const std::vector<std::string> expected = {testsupport::kMagicOpenMessage, "[Error]first",
                                             testsupport::Banner(kEndBanner)};
  EXPECT_EQ(testsupport::ReadMessages(path_), expected);
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
