// What an elevated run must refuse (links and planted files where it writes or loads) and what
// it must survive (files held for a moment), run through the real Patch.exe.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "log/log_internal.h"
#include "tests/e2e/support.h"
#include "tests/log_hook_record.h"

namespace {

// The with-links emulator turns the folder under test into a link to this folder.
const std::wstring kLinkTarget = L"C:\\patchtest-links\\target";

size_t CountContaining(const std::vector<std::string>& lines, const std::string& part) {
  return static_cast<size_t>(
      std::count_if(lines.begin(), lines.end(),
                    [&](const std::string& line) { return line.find(part) != std::string::npos; }));
}

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

std::wstring BuiltBeside(const wchar_t* name) {
  wchar_t self[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

bool IsLink(const std::wstring& folder) {
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::wstring HookFolder() {
  const std::wstring path = GetAssertHookPath();
  return path.substr(0, path.find_last_of(L'\\'));
}

// The stand-in library records its calls in a file of the test's own.
struct HookRecord {
  explicit HookRecord(const e2e::TempDir& temp) : path(temp / L"calls.bin") {
    SetEnvironmentVariableW(L"MOSS_HOOK_RECORD", path.c_str());
  }
  ~HookRecord() { SetEnvironmentVariableW(L"MOSS_HOOK_RECORD", nullptr); }
  std::wstring path;
};

// Runs the runner from a package without a "patchfile" folder: it logs an error line and ends.
DWORD RunFailingPackage(const e2e::TempDir& temp) {
  const e2e::Package package = e2e::MakePackage(temp / L"pkg", false);
  return e2e::RunProgram(package.exe);
}

struct CleanLog {
  CleanLog() { e2e::ClearLog(); }
  ~CleanLog() { e2e::ClearLog(); }
};

TEST(ElevatedRun, LogFolderIsALinkSoNothingIsWrittenThroughIt) {
  CleanLog clean;
  e2e::TempDir temp;
  ASSERT_TRUE(IsLink(e2e::LogFolder()))
      << "the log folder is no link: run this test through ctest (with-links)";
  EXPECT_EQ(RunFailingPackage(temp), 0u);
  EXPECT_FALSE(e2e::Exists(kLinkTarget + L"\\patch_patch.log"))
      << "the log was written through a folder link";
}

TEST(ElevatedRun, LogParentIsALinkSoNoFolderIsCreatedThroughIt) {
  e2e::TempDir temp;
  const std::wstring parent = e2e::LogFolder().substr(0, e2e::LogFolder().find_last_of(L'\\'));
  ASSERT_TRUE(IsLink(parent))
      << "the log's parent folder is no link: run this test through ctest (with-links)";
  EXPECT_EQ(RunFailingPackage(temp), 0u);
  EXPECT_FALSE(e2e::Exists(kLinkTarget + L"\\MossLog"))
      << "the log folder was created through a link";
}

TEST(ElevatedRun, LogInARealFolderIsWritten) {
  CleanLog clean;
  e2e::TempDir temp;
  ASSERT_FALSE(IsLink(e2e::LogFolder()));
  EXPECT_EQ(RunFailingPackage(temp), 0u);
  const auto lines = e2e::ReadLogMessages();
  EXPECT_EQ(CountContaining(lines, "[Error]PackageDir["), 1u) << Join(lines);
}

TEST(ElevatedRun, HookFolderIsALinkSoTheLibraryIsNotLoaded) {
  CleanLog clean;
  e2e::TempDir temp;
  HookRecord record(temp);
  ASSERT_TRUE(IsLink(HookFolder()))
      << "the hook folder is no link: run this test through ctest (with-links)";
  ASSERT_TRUE(CopyFileW(BuiltBeside(L"MossLogEx.dll").c_str(),
                        (kLinkTarget + L"\\MossLogEx.dll").c_str(), FALSE));
  ASSERT_TRUE(e2e::Exists(GetAssertHookPath())) << "the library is reachable through the link";
  EXPECT_EQ(RunFailingPackage(temp), 0u);
  EXPECT_FALSE(e2e::Exists(record.path)) << "a library reached through a folder link was loaded";
  EXPECT_EQ(CountContaining(e2e::ReadLogMessages(), "[Error]PackageDir["), 1u)
      << "the log itself goes on";
}

TEST(ElevatedRun, HookInARealFolderIsCalled) {
  CleanLog clean;
  e2e::TempDir temp;
  HookRecord record(temp);
  ASSERT_FALSE(IsLink(HookFolder()));
  e2e::MakeFolders(HookFolder());
  ASSERT_TRUE(CopyFileW(BuiltBeside(L"MossLogEx.dll").c_str(), GetAssertHookPath().c_str(), FALSE));
  EXPECT_EQ(RunFailingPackage(temp), 0u);
  EXPECT_EQ(logtest::ReadHookCalls(record.path).size(), 1u)
      << "the trusted library gets the one error line";
  DeleteFileW(GetAssertHookPath().c_str());
}

TEST(ElevatedRun, LogFileWithASecondHardLinkIsLeftUntouched) {
  CleanLog clean;
  e2e::TempDir temp;
  const std::wstring victim = temp / L"victim.txt";
  e2e::WriteFileBytes(victim, "must stay as it is\n");
  e2e::MakeFolders(e2e::LogFolder());
  ASSERT_TRUE(CreateHardLinkW(e2e::LogPath().c_str(), victim.c_str(), nullptr)) << GetLastError();
  EXPECT_EQ(RunFailingPackage(temp), 0u);
  EXPECT_EQ(e2e::ReadFileOrEmpty(victim), "must stay as it is\n");
  EXPECT_EQ(e2e::ReadLog(), "must stay as it is\n") << "the log path still names the same file";
}

// --- files held for a moment --------------------------------------------------------------

struct HeldInstallation {
  e2e::TempDir temp;
  e2e::ProductKeyGuard key;
  e2e::Package package = e2e::MakePackage(temp / L"pkg");
  std::wstring install = temp / L"install";
  std::wstring dest = install + L"\\bin\\held.dll";
  HeldInstallation() {
    e2e::WriteFileBytes(dest, "original");
    package.AddPatchFile(L"held.dll", "replacement");
    package.WriteConf(R"({"patch_list":[{"src":"held.dll","dest":"bin\\held.dll"}]})");
    key.SetInstallDir(install);
  }
};

// True once `path` cannot be opened for deletion, that is, once the holder has it open.
bool WaitUntilHeld(const std::wstring& path) {
  for (int i = 0; i < 200; ++i) {
    HANDLE probe =
        CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(probe);
    Sleep(10);
  }
  return false;
}

TEST(HeldFiles, ADestinationHeldBrieflyIsReplacedAfterRetries) {
  CleanLog clean;
  HeldInstallation setup;
  e2e::StandIn holder(setup.temp / L"holder\\holder.exe", L"--hold \"" + setup.dest + L"\" 300");
  ASSERT_TRUE(WaitUntilHeld(setup.dest)) << "the holder did not open the file";
  EXPECT_EQ(e2e::RunProgram(setup.package.exe), 0u);
  EXPECT_EQ(e2e::ReadFileOrEmpty(setup.dest), "replacement");
  EXPECT_EQ(e2e::ReadFileOrEmpty(setup.dest + L".220620.patch.bak"), "original");
  const auto lines = e2e::ReadLogMessages();
  EXPECT_EQ(CountContaining(lines, "failed"), 0u) << Join(lines);
  EXPECT_EQ(CountContaining(lines, "[Common]Patch successful."), 1u) << Join(lines);
}

TEST(HeldFiles, ADestinationHeldThroughoutFailsOnceAndNothingIsLost) {
  CleanLog clean;
  HeldInstallation setup;
  e2e::StandIn product(setup.install + L"\\PelliWareden.exe");
  e2e::StandIn holder(setup.temp / L"holder\\holder.exe", L"--hold \"" + setup.dest + L"\" 60000");
  ASSERT_TRUE(WaitUntilHeld(setup.dest)) << "the holder did not open the file";
  EXPECT_EQ(e2e::RunProgram(setup.package.exe), 0u);

  EXPECT_EQ(e2e::ReadFileOrEmpty(setup.dest), "original") << "the held file must stay as it was";
  EXPECT_FALSE(e2e::Exists(setup.dest + L".220620.patch.bak"));
  const auto lines = e2e::ReadLogMessages();
  EXPECT_EQ(CountContaining(lines, "[Error]Move file failed, from["), 1u)
      << "one line for the final outcome:\n"
      << Join(lines);
  EXPECT_EQ(CountContaining(lines, "[Error]Start Patch failed."), 1u) << Join(lines);
  EXPECT_EQ(CountContaining(lines, "[Common]CreateProcessWaitCmd["), 1u)
      << "the product is started again:\n"
      << Join(lines);
  EXPECT_EQ(e2e::ProcessesRunning(setup.install + L"\\PelliWareden.exe").size(), 1u);
  e2e::KillProcessesIn(setup.install);
}

}  // namespace
