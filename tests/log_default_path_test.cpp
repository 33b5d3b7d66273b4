#include <gtest/gtest.h>

#include <shlobj.h>
#include <shlwapi.h>

#include "tests/log_test_support.h"

namespace {

std::wstring CommonAppData() {
  wchar_t folder[MAX_PATH + 1] = {};
  SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE);
  return folder;
}

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
  std::wstring expected = CommonAppData();
  if (!expected.empty() && expected.back() != L'\\') expected += L'\\';
  expected += L"Norvale\\PelliMgr\\MossLog\\";
  EXPECT_EQ(dir, expected) << "the folder part must keep its case";
  EXPECT_TRUE(PathFileExistsW(dir.c_str()) != FALSE) << "GetLogDir did not create the folder";
  EXPECT_EQ(GetLogFileName(), L"log_machine_tests_log_machine_tests.log");
}

TEST(LogDefaultPath, ALogSwitchedOnOpensOnItsFirstLineWithTheMagicLine) {
  DefaultLogFile file;
  logtest::LogStateGuard state;
  LogEnabled = 1;
  LOG_CONSOLE::WriteErrorLog(L"[%s]first", L"Error");
  EXPECT_EQ(std::wstring(LOG_CONSOLE::LogFilePath), file.Path());
  EXPECT_EQ(LOG_CONSOLE::BannerEnabled, 1);
  LOG_CONSOLE::CloseLog();
  const std::vector<std::string> expected = {"LOG_CONSOLE::MagicInitLog Magic debuge open  ",
                                             "[Error]first", logtest::Banner(kEndBanner)};
  EXPECT_EQ(logtest::ReadMessages(file.Path()), expected);
}

TEST(LogDefaultPath, AFailedLazyOpenIsNotTriedAgain) {
  DefaultLogFile file;
  logtest::LogStateGuard state;
  // Held without sharing, the file cannot be opened by the log.
  HANDLE blocker = CreateFileW(file.Path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
  LogEnabled = 1;
  LOG_CONSOLE::WriteLog(L"[%s]lost", L"Common");
  CloseHandle(blocker);
  EXPECT_EQ(LOG_CONSOLE::LogFile, nullptr);
  LOG_CONSOLE::WriteLog(L"[%s]also lost", L"Common");
  EXPECT_EQ(LOG_CONSOLE::LogFile, nullptr) << "the lazy open was tried again";
  EXPECT_EQ(logtest::ReadBytes(file.Path()), "");
}

}  // namespace
