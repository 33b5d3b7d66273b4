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
    if (!planted_.empty()) DeleteFileW(planted_.c_str());
  }
  HookInstallation(const HookInstallation&) = delete;
  HookInstallation& operator=(const HookInstallation&) = delete;

  // Installs the stand-in library built as `built`; `dependency` is put beside it, as any user
  // could, when given.
  void Install(const wchar_t* built = kHookModule, const wchar_t* dependency = nullptr) {
    const std::wstring folder = path_.substr(0, path_.find_last_of(L'\\'));
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((OwnFolder() + L"\\" + built).c_str(), path_.c_str(), FALSE))
        << "cannot install the stand-in hook library, error " << GetLastError();
    if (dependency == nullptr) return;
    planted_ = folder + L"\\" + dependency;
    ASSERT_TRUE(CopyFileW((OwnFolder() + L"\\" + dependency).c_str(), planted_.c_str(), FALSE));
  }

 private:
  std::wstring path_;
  std::wstring planted_;
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

// Also through a library that exports a stdcall function under the undecorated name: it pops
// its own arguments, which must not unbalance the caller's stack.
TEST(LogHook, ErrorMessagesReachTheHookWithoutTimestampOrLineFeedProgressNever) {
  for (const wchar_t* built : {kHookModule, L"MossLogExStdcall.dll"}) {
    SCOPED_TRACE(NarrowToUtf8(built));
    HookInstallation hook;
    hook.Install(built);
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
}

// A hold keeps the calls back, in order, until the holder lets go. Any user may add files to the
// hook's folder: the library's dependencies come from System32 only.
TEST(LogHook, HeldCallsComeLaterAndAPlantedDependencyIsNeverLoaded) {
  HookInstallation hook;
  hook.Install();
  HookRecord record;
  TempFolder folder;
  logtest::LogStateGuard state;
  LOG_CONSOLE::InitLog((folder / L"d.log").c_str());
  {
    const AssertHookHold hold;
    LOG_CONSOLE::WriteErrorLog(L"[%s]one", L"Error");
    LOG_CONSOLE::WriteErrorLog(L"[%s]two", L"Error");
    EXPECT_TRUE(record.Calls().empty()) << "the hook ran during a hold";
  }
  const auto calls = record.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].first, L"[Error]two");
  LOG_CONSOLE::CloseLog();

  hook.Install(L"MossLogExNeedsDep.dll", L"MossDep.dll");
  LOG_CONSOLE::InitLog((folder / L"d.log").c_str());
  LOG_CONSOLE::WriteErrorLog(L"[%s]planted", L"Error");
  EXPECT_EQ(record.Calls().size(), 2u) << "the library or its planted dependency was loaded";
  EXPECT_EQ(GetModuleHandleW(L"MossDep.dll"), nullptr);
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
  EXPECT_EQ(GetModuleHandleW(kHookModule), nullptr)
      << "the library was loaded for a log that is off";
}

}  // namespace
