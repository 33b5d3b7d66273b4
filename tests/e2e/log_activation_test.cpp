#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>

#include "log/log_internal.h"
#include "tests/e2e/support.h"
#include "tests/log_hook_record.h"
#include "tools/flag_block.h"

namespace {

const std::string kMagicLine = "LOG_CONSOLE::MagicInitLog Magic debuge open  ";
const std::string kBegin = "**************************BEGAIN***********************";
const std::string kEnd = "**************************END******************************";

size_t CountOf(const std::string& bytes, const std::string& what) {
  size_t count = 0;
  for (size_t at = bytes.find(what); at != std::string::npos; at = bytes.find(what, at + 1))
    ++count;
  return count;
}

// Sets the flag bytes of a copied runner the way a package author does: with patchflags.
void SetFlags(const std::wstring& exe, const std::wstring& options) {
  wchar_t self[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring tool = self;
  tool = tool.substr(0, tool.find_last_of(L'\\')) + L"\\patchflags.exe";
  ASSERT_EQ(e2e::RunProgram(tool, L"\"" + exe + L"\" " + options), 0u)
      << "patchflags " << NarrowToUtf8(options);
}

// The machine's hook path holds the stand-in library for the test, which records its calls.
class StandInHook {
 public:
  StandInHook() : path_(GetAssertHookPath()), record_(folder_ / L"calls.bin") {
    e2e::MakeFolders(path_.substr(0, path_.find_last_of(L'\\')));
    wchar_t self[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring built = self;
    built = built.substr(0, built.find_last_of(L'\\')) + L"\\MossLogEx.dll";
    EXPECT_TRUE(CopyFileW(built.c_str(), path_.c_str(), FALSE)) << "cannot install the hook";
    SetEnvironmentVariableW(L"MOSS_HOOK_RECORD", record_.c_str());
  }
  ~StandInHook() {
    SetEnvironmentVariableW(L"MOSS_HOOK_RECORD", nullptr);
    DeleteFileW(path_.c_str());
  }
  std::vector<logtest::HookCall> Calls() const { return logtest::ReadHookCalls(record_); }
  bool Called() const { return e2e::Exists(record_); }

 private:
  e2e::TempDir folder_;
  std::wstring path_;
  std::wstring record_;
};

// Each test starts and leaves without "EnableLogToView" and without a log file.
struct LogStateGuard {
  LogStateGuard() {
    e2e::SetEnableLogToView(nullptr);
    e2e::ClearLog();
  }
  ~LogStateGuard() {
    e2e::SetEnableLogToView(nullptr);
    e2e::ClearLog();
  }
};

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

TEST(LogActivation, TheBuiltFileHoldsOneFlagBlockLogOffForcedOn) {
  std::string bytes;
  ASSERT_TRUE(e2e::ReadFileBytes(e2e::BuiltPatchExe(), bytes));
  ASSERT_EQ(CountOf(bytes, LogEnabledMarker()), 1u);
  ASSERT_EQ(CountOf(bytes, MagicDebugMarker()), 1u);
  const size_t block = bytes.find(LogEnabledMarker());
  EXPECT_EQ(bytes.find(MagicDebugMarker()), block + 15) << "the flag block is not contiguous";
  EXPECT_EQ(bytes[block + 13], '\0');
  EXPECT_EQ(bytes[block + 14], 0) << "LogEnabled as built";
  EXPECT_EQ(bytes[block + 28], '\0');
  EXPECT_EQ(bytes[block + 29], 1) << "MagicDebug as built";
}

TEST(LogActivation, AsBuiltTheLogOpensAtEntryBetweenBeginAndEnd) {
  LogStateGuard machine;
  StandInHook hook;
  e2e::TempDir root;
  // No patch folder: the run ends early with an error line, which the hook must see.
  const e2e::Package package = e2e::MakePackage(root / L"P\u00e4ck\u65e5", false);
  EXPECT_EQ(e2e::RunProgram(package.exe), 0u);

  const auto messages = e2e::ReadLogMessages();
  ASSERT_GE(messages.size(), 2u) << e2e::ReadLog();
  EXPECT_EQ(messages.front(), kBegin) << e2e::ReadLog();
  EXPECT_EQ(messages.back(), kEnd) << e2e::ReadLog();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), kMagicLine), 0) << e2e::ReadLog();
  const std::string utf8Dir = NarrowToUtf8(package.dir);
  EXPECT_NE(e2e::ReadLog().find("PackageDir[" + utf8Dir), std::string::npos)
      << "the non-ASCII package folder is not in the log as UTF-8:\n"
      << e2e::ReadLog();

  const auto calls = hook.Calls();
  ASSERT_FALSE(calls.empty()) << "no error line reached the hook";
  for (const auto& call : calls) {
    EXPECT_EQ(call.second, L"Patch_Patch");
    EXPECT_EQ(call.first.rfind(L"[Error]", 0), 0u) << NarrowToUtf8(call.first);
    EXPECT_EQ(call.first.find(L'\n'), std::wstring::npos) << NarrowToUtf8(call.first);
    const std::string line = NarrowToUtf8(call.first);
    EXPECT_NE(std::find(messages.begin(), messages.end(), line), messages.end())
        << "hook message not in the log: " << line;
  }
}

void ExpectLazilyOpenedLog() {
  const auto messages = e2e::ReadLogMessages();
  ASSERT_GE(messages.size(), 2u) << e2e::ReadLog();
  EXPECT_EQ(messages.front(), kMagicLine) << e2e::ReadLog();
  EXPECT_EQ(messages.back(), kEnd) << e2e::ReadLog();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), kBegin), 0)
      << "a lazily opened log got a BEGAIN line:\n"
      << Join(messages);
}

// A run of a copied runner with its flags set by `options` and "EnableLogToView" at `value`.
void RunWithSwitches(DWORD value, const wchar_t* options) {
  e2e::SetEnableLogToView(&value);
  e2e::TempDir root;
  const e2e::Package package = e2e::MakePackage(root / L"pkg");
  SetFlags(package.exe, options);
  EXPECT_EQ(e2e::RunProgram(package.exe), 0u);
}

TEST(LogActivation, LogEnabledInTheFileOpensOnTheFirstLineEvenWithTheSwitchAtZero) {
  LogStateGuard machine;
  RunWithSwitches(0, L"--magic-debug=0 --log-enabled=1");
  ExpectLazilyOpenedLog();
}

TEST(LogActivation, TheRegistrySwitchOpensALogThatTheFileLeavesOff) {
  LogStateGuard machine;
  RunWithSwitches(1, L"--magic-debug=0");
  ExpectLazilyOpenedLog();
}

TEST(LogActivation, WithEverySwitchOffNothingIsCreatedAndNoHookLoaded) {
  LogStateGuard machine;
  e2e::RemoveTree(e2e::LogFolder());
  ASSERT_FALSE(e2e::Exists(e2e::LogFolder()));
  StandInHook hook;
  e2e::TempDir root;
  // Without a patch folder the run has an error line to hand to a hook.
  const e2e::Package package = e2e::MakePackage(root / L"pkg", false);
  SetFlags(package.exe, L"--magic-debug=0");
  EXPECT_EQ(e2e::RunProgram(package.exe), 0u);
  EXPECT_FALSE(e2e::Exists(e2e::LogFolder())) << "the log folder was created";
  EXPECT_FALSE(e2e::Exists(e2e::LogPath())) << "a log file was created";
  EXPECT_FALSE(hook.Called()) << "the hook library was called with the log off";
}

}  // namespace
