#include <gtest/gtest.h>

#include <shlobj.h>

#include "tests/log_hook_record.h"
#include "tests/log_test_support.h"

namespace {

using logtest::HookCall;
using logtest::ReadHookCalls;
using logtest::TempFolder;

constexpr wchar_t kHookModule[] = L"MossLogEx.dll";

std::wstring OwnFolder() {
  wchar_t path[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.find_last_of(L'\\'));
}

// Takes the machine's hook path for one test: whatever was installed there is put aside and
// restored at the end; Install() copies the stand-in library built beside the tests.
class HookInstallation {
 public:
  HookInstallation() : path_(GetAssertHookPath()) {
    EXPECT_FALSE(path_.empty()) << "no common application data folder";
    saved_ = path_ + L".saved-by-test";
    hadOne_ = MoveFileExW(path_.c_str(), saved_.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
  }
  ~HookInstallation() {
    DeleteFileW(path_.c_str());
    if (hadOne_) MoveFileW(saved_.c_str(), path_.c_str());
  }
  HookInstallation(const HookInstallation&) = delete;
  HookInstallation& operator=(const HookInstallation&) = delete;

  void Install() const {
    const std::wstring folder = path_.substr(0, path_.find_last_of(L'\\'));
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((OwnFolder() + L"\\" + kHookModule).c_str(), path_.c_str(), FALSE))
        << "cannot install the stand-in hook library, error " << GetLastError();
  }

 private:
  std::wstring path_;
  std::wstring saved_;
  bool hadOne_ = false;
};

// The stand-in records its calls in a file named by the environment.
class HookRecord {
 public:
  HookRecord() : path_(folder_ / L"calls.bin") {
    SetEnvironmentVariableW(L"MOSS_HOOK_RECORD", path_.c_str());
  }
  ~HookRecord() { SetEnvironmentVariableW(L"MOSS_HOOK_RECORD", nullptr); }
  std::vector<HookCall> Calls() const { return ReadHookCalls(path_); }

 private:
  TempFolder folder_;
  std::wstring path_;
};

TEST(LogHook, ErrorMessagesReachTheHookWithoutTimestampOrLineFeedProgressNever) {
  HookInstallation hook;
  hook.Install();
  HookRecord record;
  TempFolder folder;
  logtest::LogStateGuard state;
  const std::wstring logPath = folder / L"h.log";
  LOG_CONSOLE::InitLog(logPath.c_str());
  LOG_CONSOLE::WriteLog(L"[%s]progress", L"Common");
  LOG_CONSOLE::WriteErrorLog(L"[%s]ParseConf failed.", L"Error");
  LOG_CONSOLE::WriteErrorLog(L"[%s]Copy [%s] failed.", L"Error", L"C:\\\u00c4\u65e5");

  const std::wstring tag = L"log_machine_tests_log_machine_tests";
  EXPECT_EQ(AssertTag(), tag);
  const std::vector<HookCall> expected = {{L"[Error]ParseConf failed.", tag},
                                          {L"[Error]Copy [C:\\\u00c4\u65e5] failed.", tag}};
  EXPECT_EQ(record.Calls(), expected);
  const std::vector<std::string> lines = {"[Common]progress", "[Error]ParseConf failed.",
                                          "[Error]Copy [C:\\\xc3\x84\xe6\x97\xa5] failed."};
  EXPECT_EQ(logtest::ReadMessages(logPath), lines);

  EXPECT_NE(GetModuleHandleW(kHookModule), nullptr);
  LOG_CONSOLE::CloseLog();
  EXPECT_EQ(GetModuleHandleW(kHookModule), nullptr) << "CloseLog did not release the library";
}

TEST(LogHook, WithoutTheLibraryEachErrorLineProbesAgain) {
  HookInstallation hook;
  HookRecord record;
  TempFolder folder;
  logtest::LogStateGuard state;
  const std::wstring logPath = folder / L"p.log";
  LOG_CONSOLE::InitLog(logPath.c_str());
  LOG_CONSOLE::WriteErrorLog(L"[%s]before install", L"Error");
  EXPECT_EQ(GetModuleHandleW(kHookModule), nullptr);

  hook.Install();
  LOG_CONSOLE::WriteErrorLog(L"[%s]after install", L"Error");
  const auto calls = record.Calls();
  ASSERT_EQ(calls.size(), 1u) << "the installed library was not found by the next error line";
  EXPECT_EQ(calls[0].first, L"[Error]after install");
  const std::vector<std::string> lines = {"[Error]before install", "[Error]after install"};
  EXPECT_EQ(logtest::ReadMessages(logPath), lines);
  LOG_CONSOLE::CloseLog();
  EXPECT_EQ(GetModuleHandleW(kHookModule), nullptr);
}

TEST(LogHook, NoOpenLogMeansNoHookCall) {
  HookInstallation hook;
  hook.Install();
  HookRecord record;
  logtest::LogStateGuard state;
  LOG_CONSOLE::WriteErrorLog(L"[%s]log off", L"Error");
  EXPECT_TRUE(record.Calls().empty());
  EXPECT_EQ(GetModuleHandleW(kHookModule), nullptr) << "the library was loaded for a log that is off";
}

}  // namespace
