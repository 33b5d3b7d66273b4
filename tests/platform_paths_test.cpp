#include "platform/paths.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

TEST(CanonicalizePathTest, ResolvesDotSegmentsAndKeepsTheTrailingBackslash) {
  EXPECT_EQ(CanonicalizePath(L"C:\\Pkg\\sub\\..\\"), L"C:\\Pkg\\");
  EXPECT_EQ(CanonicalizePath(L"C:\\Pkg\\.\\"), L"C:\\Pkg\\");
  EXPECT_EQ(CanonicalizePath(L"C:\\a\\b\\..\\..\\c\\file.txt"), L"C:\\c\\file.txt");
  EXPECT_EQ(CanonicalizePath(L"C:\\Program Files\\App"), L"C:\\Program Files\\App");
  EXPECT_EQ(CanonicalizePath(L"C:\\"), L"C:\\");
}

TEST(CanonicalizePathTest, KeepsA259CharacterPathAndGivesNoTextForOneTooLong) {
  const std::wstring fits = L"C:\\" + std::wstring(256, L'a');
  EXPECT_EQ(CanonicalizePath(fits), fits);
  // Longer than the buffer: empty, never cut and never written past the buffer.
  const std::wstring tooLong = L"C:\\" + std::wstring(300, L'a');
  EXPECT_EQ(CanonicalizePath(tooLong), L"");
}

TEST(AppendBackslashIfMissingTest, AddsExactlyOneBackslashOnlyWhereMissing) {
  std::wstring folder = L"C:\\Program Files\\App";
  AppendBackslashIfMissing(folder);
  EXPECT_EQ(folder, L"C:\\Program Files\\App\\");
  AppendBackslashIfMissing(folder);
  EXPECT_EQ(folder, L"C:\\Program Files\\App\\");

  std::wstring empty;
  AppendBackslashIfMissing(empty);
  EXPECT_EQ(empty, L"");

  std::wstring slash = L"C:/data/";  // a forward slash is not a backslash
  AppendBackslashIfMissing(slash);
  EXPECT_EQ(slash, L"C:/data/\\");
}

}  // namespace
