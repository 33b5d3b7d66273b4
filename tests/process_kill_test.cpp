#include "process/kill.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/text.h"
#include "tests/support/files.h"
#include "tests/support/processes.h"

namespace {

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

class KillProcessByNameTest : public testsupport::TempFolderTest {};

TEST_F(KillProcessByNameTest, KillsEveryCopyFromTheFolderAndSparesOtherFolders) {
  const std::wstring exe = temp_ / L"inst\\PelliWareden.exe";
  testsupport::StandIn first(exe), second(exe), stranger(temp_ / L"other\\PelliWareden.exe");

  EXPECT_TRUE(KillProcessByName(temp_ / L"inst", L"PelliWareden.exe"));
  // Ended, not only told to end: its files must be free when the call returns.
  EXPECT_FALSE(first.Running());
  EXPECT_FALSE(second.Running());
  EXPECT_TRUE(stranger.Running()) << "a copy in another folder must be left running";
}

TEST_F(KillProcessByNameTest, TrailingBackslashGivesTheSameMatch) {
  testsupport::StandIn copy(temp_ / L"inst\\VyxDL.exe");
  EXPECT_TRUE(KillProcessByName(temp_ / L"inst\\", L"VyxDL.exe"));
  EXPECT_FALSE(copy.Running());
}

TEST_F(KillProcessByNameTest, CaseDiffersOnlyInAToZMatches) {
  testsupport::StandIn upper(temp_ / L"inst\\PELLIWAREDEN.EXE");
  EXPECT_TRUE(KillProcessByName(Upper(temp_ / L"inst"), L"PelliWareden.exe"));
  EXPECT_FALSE(upper.Running());

  testsupport::StandIn accented(temp_ / L"inst\\Warend\u00C9n.exe");
  EXPECT_FALSE(KillProcessByName(temp_ / L"inst", L"Warend\u00E9n.exe"));
  EXPECT_TRUE(accented.Running()) << "case outside A to Z must not match";
}

TEST_F(KillProcessByNameTest, EmptyFolderMatchesAnywhere) {
  const std::wstring name = L"AnyFolder" + std::to_wstring(GetCurrentProcessId()) + L".exe";
  testsupport::StandIn one(temp_ / (L"a\\" + name)), two(temp_ / (L"b\\" + name));
  EXPECT_TRUE(KillProcessByName(L"", name));
  EXPECT_FALSE(one.Running());
  EXPECT_FALSE(two.Running());
}

TEST_F(KillProcessByNameTest, NoSuchProcessIsFalse) {
  const std::wstring name = L"NotRunning" + std::to_wstring(GetCurrentProcessId()) + L".exe";
  EXPECT_FALSE(KillProcessByName(temp_.Path(), name));
  EXPECT_FALSE(KillProcessByName(L"", name));
}

}  // namespace
