#include "process/kill.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <string>

#include "platform/handle.h"
#include "tests/e2e/support.h"

namespace {

// A running copy of the stand-in; terminated at the end if it still runs.
class Running {
 public:
  explicit Running(const std::wstring& exePath) {
    std::wstring commandLine = L"\"" + exePath + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exePath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info)) {
      ADD_FAILURE() << "could not start " << NarrowToUtf8(exePath) << ": " << GetLastError();
      return;
    }
    process_ = KernelHandle(info.hProcess);
    KernelHandle thread(info.hThread);
    WaitUntilLoaded();
  }
  ~Running() {
    if (Alive()) {
      TerminateProcess(process_.Get(), 1);
      WaitForSingleObject(process_.Get(), 5000);
    }
  }
  bool Alive() const {
    return process_.IsValid() && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT;
  }

 private:
  // A process that has not finished loading has no main module path to compare yet.
  void WaitUntilLoaded() {
    for (int attempt = 0; attempt < 500; ++attempt) {
      wchar_t path[MAX_PATH + 1] = {};
      if (GetModuleFileNameExW(process_.Get(), nullptr, path, MAX_PATH) != 0) return;
      Sleep(10);
    }
    ADD_FAILURE() << "the stand-in's executable path never became readable";
  }
  KernelHandle process_;
};

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text;
}

TEST(EqualsIgnoringAsciiCaseTest, FoldsOnlyAToZOverTheWholeLength) {
  EXPECT_TRUE(EqualsIgnoringAsciiCase(L"PelliWareden.exe", L"PELLIWAREDEN.EXE"));
  EXPECT_TRUE(EqualsIgnoringAsciiCase(L"", L""));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"a.exe", L"a.exe "));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"a.exe", L"a.ex"));
  // Neighbours of the letters that a bit trick would fold too.
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"[", L"{"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"@", L"`"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"\u00C9", L"\u00E9"));
}

class KillProcessByNameTest : public ::testing::Test {
 protected:
  std::wstring Install(const std::wstring& relativePath) {
    const std::wstring path = dir_ / relativePath;
    e2e::InstallStandIn(path);
    return path;
  }
  e2e::TempDir dir_;
};

TEST_F(KillProcessByNameTest, KillsEveryCopyFromTheFolderAndSparesOtherFolders) {
  const std::wstring exe = Install(L"inst\\PelliWareden.exe");
  const std::wstring elsewhere = Install(L"other\\PelliWareden.exe");
  Running first(exe), second(exe), stranger(elsewhere);

  EXPECT_TRUE(KillProcessByName(dir_ / L"inst", L"PelliWareden.exe"));
  // Ended, not only told to end: its files must be free when the call returns.
  EXPECT_FALSE(first.Alive());
  EXPECT_FALSE(second.Alive());
  EXPECT_TRUE(stranger.Alive()) << "a copy in another folder must be left running";
}

TEST_F(KillProcessByNameTest, TrailingBackslashGivesTheSameMatch) {
  const std::wstring exe = Install(L"inst\\VyxDL.exe");
  Running copy(exe);
  EXPECT_TRUE(KillProcessByName(dir_ / L"inst\\", L"VyxDL.exe"));
  EXPECT_FALSE(copy.Alive());
}

TEST_F(KillProcessByNameTest, CaseDiffersOnlyInAToZMatches) {
  Running upper(Install(L"inst\\PELLIWAREDEN.EXE"));
  EXPECT_TRUE(KillProcessByName(Upper(dir_ / L"inst"), L"PelliWareden.exe"));
  EXPECT_FALSE(upper.Alive());

  Running accented(Install(L"inst\\Warend\u00C9n.exe"));
  EXPECT_FALSE(KillProcessByName(dir_ / L"inst", L"Warend\u00E9n.exe"));
  EXPECT_TRUE(accented.Alive()) << "case outside A to Z must not match";
}

TEST_F(KillProcessByNameTest, EmptyFolderMatchesAnywhere) {
  const std::wstring name = L"AnyFolder" + std::to_wstring(GetCurrentProcessId()) + L".exe";
  Running one(Install(L"a\\" + name)), two(Install(L"b\\" + name));
  EXPECT_TRUE(KillProcessByName(L"", name));
  EXPECT_FALSE(one.Alive());
  EXPECT_FALSE(two.Alive());
}

TEST_F(KillProcessByNameTest, NoSuchProcessIsFalse) {
  const std::wstring name = L"NotRunning" + std::to_wstring(GetCurrentProcessId()) + L".exe";
  EXPECT_FALSE(KillProcessByName(dir_.Path(), name));
  EXPECT_FALSE(KillProcessByName(L"", name));
}

}  // namespace
