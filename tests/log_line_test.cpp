#include <gtest/gtest.h>

#include "log/log_internal.h"

namespace {

SYSTEMTIME Time(WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD millisecond) {
  SYSTEMTIME time = {};
  time.wYear = 2024;
  time.wMonth = month;
  time.wDay = day;
  time.wHour = hour;
  time.wMinute = minute;
  time.wSecond = second;
  time.wMilliseconds = millisecond;
  return time;
}

std::wstring Format(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = FormatLogMessage(format, args);
  va_end(args);
  return text;
}

TEST(LogLine, TimestampIsMonthDayTimeWithMillisecondsPaddedThenColonSpace) {
  EXPECT_EQ(BuildLogLine(Time(3, 7, 9, 5, 2, 4), "[Common]x"), "03-07 09:05:02:004: [Common]x\n");
  EXPECT_EQ(BuildLogLine(Time(12, 31, 23, 59, 59, 999), "m"), "12-31 23:59:59:999: m\n");
}

TEST(LogLine, EndsInExactlyOneLineFeed) {
  const SYSTEMTIME time = Time(1, 2, 3, 4, 5, 6);
  EXPECT_EQ(BuildLogLine(time, "a\n"), "01-02 03:04:05:006: a\n");
  EXPECT_EQ(BuildLogLine(time, "a\nb"), "01-02 03:04:05:006: a\nb\n");
  // An empty message must not leave the next line glued to this one.
  EXPECT_EQ(BuildLogLine(time, ""), "01-02 03:04:05:006: \n");
}

TEST(LogLine, BannersKeepTheirTextAndGetOneLineFeed) {
  const SYSTEMTIME time = Time(1, 2, 3, 4, 5, 6);
  EXPECT_EQ(BuildLogLine(time, kBeginBanner),
            "01-02 03:04:05:006: **************************BEGAIN***********************\n");
  EXPECT_EQ(BuildLogLine(time, kEndBanner),
            "01-02 03:04:05:006: **************************END******************************\n");
  EXPECT_EQ(BuildLogLine(time, kNewFileBanner), "01-02 03:04:05:006: *******NewFile***********\n");
}

TEST(LogMessage, WideStringArgumentsBecomeUtf8) {
  const std::wstring message = Format(L"[%s]PackageDir[%s].", L"Common", L"C:\\P\u00e4ck\u65e5\\");
  EXPECT_EQ(message, L"[Common]PackageDir[C:\\P\u00e4ck\u65e5\\].");
  EXPECT_EQ(ToUtf8(message), "[Common]PackageDir[C:\\P\xc3\xa4" "ck\xe6\x97\xa5\\].");
  // A character outside the basic plane is one surrogate pair in UTF-16, four bytes in UTF-8.
  EXPECT_EQ(ToUtf8(L"\U0001F600"), "\xf0\x9f\x98\x80");
}

TEST(LogMessage, NumbersAndLongTextAreFormattedWhole) {
  EXPECT_EQ(Format(L"[%s]code %u.", L"Error", 4294967295u), L"[Error]code 4294967295.");
  const std::wstring longText(100000, L'\u00fc');
  const std::wstring message = Format(L"<%s>", longText.c_str());
  ASSERT_EQ(message.size(), longText.size() + 2);
  EXPECT_EQ(message, L"<" + longText + L">");
  EXPECT_EQ(ToUtf8(message).size(), 2 * longText.size() + 2);
}

TEST(LogFileName, TitleDropsFolderAndOnlyTheLastExtension) {
  EXPECT_EQ(TitleFromModulePath(L"C:\\Pkg\\Patch.exe"), L"Patch");
  EXPECT_EQ(TitleFromModulePath(L"C:\\Pkg\\a.b.exe"), L"a.b");
  EXPECT_EQ(TitleFromModulePath(L"C:\\dir.d\\noext"), L"noext");
  EXPECT_EQ(TitleFromModulePath(L"Patch.EXE"), L"Patch");
}

TEST(LogFileName, OnlyAsciiLettersAreLowerCased) {
  EXPECT_EQ(LogFileNameFromTitles(L"Patch", L"Patch"), L"patch_patch.log");
  EXPECT_EQ(LogFileNameFromTitles(L"\u00c4RGER-1", L"Mod"), L"\u00c4rger-1_mod.log");
}

TEST(LogSizeCheck, IntervalIsMeasuredAcrossTheTickCounterWrap) {
  EXPECT_FALSE(SizeCheckDue(1000, 1000));
  EXPECT_FALSE(SizeCheckDue(600999, 1000));
  EXPECT_TRUE(SizeCheckDue(601000, 1000));
  EXPECT_FALSE(SizeCheckDue(100, 0xFFFFFF00u));
  EXPECT_TRUE(SizeCheckDue(600000 - 0x100, 0xFFFFFF00u));
}

TEST(LogSizeCheck, OnlyAnIdleOrMerelyPendingCounterLetsARotationRun) {
  EXPECT_EQ(ClassifyRotationClaim(0), RotationClaim::kOwned);
  EXPECT_EQ(ClassifyRotationClaim(LOG_CONSOLE::kPendingMark), RotationClaim::kOwned);
  EXPECT_EQ(ClassifyRotationClaim(1), RotationClaim::kWritersActive);
  EXPECT_EQ(ClassifyRotationClaim(LOG_CONSOLE::kPendingMark - 1), RotationClaim::kWritersActive);
  EXPECT_EQ(ClassifyRotationClaim(LOG_CONSOLE::kPendingMark + 1), RotationClaim::kOtherRotation);
  EXPECT_EQ(ClassifyRotationClaim(LOG_CONSOLE::kInProgressMark), RotationClaim::kOtherRotation);
}

}  // namespace
