#include <gtest/gtest.h>

#include <shlobj.h>
#include <shlwapi.h>

#include "tests/log_test_support.h"

namespace {

// The default file of this test program; removed before and after each test.
class DefaultLogFile {
 public:
  DefaultLogFile() : path_(GetLogDir() + GetLogFileName()) { Remove(); }
  ~DefaultLogFile() { Remove(); }
  const std::wstring& Path() const { return path_; }

 private:
  void Remove() const {
    DeleteFileW(path_.c_str());
    DeleteFileW((path_ + L".old").c_str());
  }
  std::wstring path_;
};

TEST(LogDefaultPath, FolderUnderCommonAppDataAndLowerCasedName) {
  const std::wstring dir = GetLogDir();
  wchar_t appData[MAX_PATH + 1] = {};
  SHGetSpecialFolderPathW(nullptr, appData, CSIDL_COMMON_APPDATA, FALSE);
  const std::wstring expected = std::wstring(appData) + L"\\Norvale\\PelliMgr\\MossLog\\";
  EXPECT_EQ(dir, expected) << "the folder part must keep its case";
  EXPECT_TRUE(PathFileExistsW(dir.c_str()) != FALSE) << "GetLogDir did not create the folder";
  EXPECT_EQ(GetLogFileName(), L"log_machine_tests_log_machine_tests.log");
}

TEST(LogDefaultPath, ALogSwitchedOnOpensOnItsFirstLineWithTheMagicLine) {
  DefaultLogFile file;
  logtest::LogStateGuard state;
  LogEnabled = 1;
  LOG_CONSOLE::WriteErrorLog(L"[%s]first", L"Error");
  EXPECT_EQ(std::wstring(CurrentLogState().LogFilePath), file.Path());
  EXPECT_EQ(CurrentLogState().BannerEnabled, 1);
  LOG_CONSOLE::CloseLog();
  const std::vector<std::string> expected = {"LOG_CONSOLE::MagicInitLog Magic debuge open  ",
                                             "[Error]first", logtest::Banner(kEndBanner)};
  EXPECT_EQ(logtest::ReadMessages(file.Path()), expected);
}

TEST(LogDefaultPath, AFailedLazyOpenIsNotTriedAgain) {
  DefaultLogFile file;
  logtest::LogStateGuard state;
  // A folder at the log's name that someone holds can neither be opened nor moved aside.
  ASSERT_TRUE(CreateDirectoryW(file.Path().c_str(), nullptr));
  HANDLE blocker =
      CreateFileW(file.Path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
  LogEnabled = 1;
  LOG_CONSOLE::WriteLog(L"[%s]lost", L"Common");
  CloseHandle(blocker);
  EXPECT_EQ(CurrentLogState().LogFile, nullptr);
  LOG_CONSOLE::WriteLog(L"[%s]also lost", L"Common");
  EXPECT_EQ(CurrentLogState().LogFile, nullptr) << "the lazy open was tried again";
  EXPECT_TRUE(RemoveDirectoryW(file.Path().c_str())) << "the folder was moved or filled";
}

// Any user may read the log; one who holds it without sharing writes must not silence a run.
TEST(LogDefaultPath, AHeldLogSendsTheRunsLinesToAFileOfItsOwnBesideIt) {
  DefaultLogFile file;
  logtest::LogStateGuard state;
  logtest::WriteBytes(file.Path(), "earlier run\n");
  HANDLE reader = CreateFileW(file.Path().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  LogEnabled = 1;
  LOG_CONSOLE::WriteLog(L"[%s]kept", L"Common");
  const std::wstring side = CurrentLogState().LogFilePath;
  LOG_CONSOLE::CloseLog();
  CloseHandle(reader);
  EXPECT_EQ(side.rfind(file.Path() + L".run-", 0), 0u) << NarrowToUtf8(side);
  const std::vector<std::string> expected = {"LOG_CONSOLE::MagicInitLog Magic debuge open  ",
                                             "[Common]kept", logtest::Banner(kEndBanner)};
  EXPECT_EQ(logtest::ReadMessages(side), expected);
  EXPECT_EQ(logtest::ReadBytes(file.Path()), "earlier run\n");
  DeleteFileW(side.c_str());
}

}  // namespace
