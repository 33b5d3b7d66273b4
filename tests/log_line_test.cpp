#include <gtest/gtest.h>

#include "log/log_internal.h"
#include "platform/text.h"

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
  EXPECT_EQ(NarrowToUtf8(message),
            "[Common]PackageDir[C:\\P\xc3\xa4"
            "ck\xe6\x97\xa5\\].");
  // A character outside the basic plane is one surrogate pair in UTF-16, four bytes in UTF-8.
  EXPECT_EQ(NarrowToUtf8(L"\U0001F600"), "\xf0\x9f\x98\x80");
}

TEST(LogMessage, NumbersAndLongTextAreFormattedWhole) {
  EXPECT_EQ(Format(L"[%s]code %u.", L"Error", 4294967295u), L"[Error]code 4294967295.");
  EXPECT_EQ(Format(L"%02u|%-3x|%*d|%.2s|%I64u|%5.1f|%%", 5u, 255u, 4, -7, L"abc", 1ull << 40, 2.0),
            L"05|ff |  -7|ab|1099511627776|  2.0|%");
  const std::wstring longText(100000, L'\u00fc');
  const std::wstring message = Format(L"<%s>", longText.c_str());
  ASSERT_EQ(message.size(), longText.size() + 2);
  EXPECT_EQ(message, L"<" + longText + L">");
  EXPECT_EQ(NarrowToUtf8(message).size(), 2 * longText.size() + 2);
}

// The direct UTF-8 formatter against the general path (printf, then WideCharToMultiByte).
struct Direct {
  bool fitted;
  std::string text;
};
Direct FormatDirect(size_t capacity, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out(capacity, '?');
  size_t length = 0;
  const bool fitted = FormatLogUtf8(format, args, &out[0], capacity, length);
  va_end(args);
  out.resize(fitted ? length : 0);
  return {fitted, out};
}

TEST(LogMessage, DirectUtf8FormattingGivesTheBytesOfTheGeneralPath) {
  const wchar_t kPair[] = L"x\U0001F600y";
  const wchar_t kLoneHigh[] = {L'a', 0xD83D, L'b', 0};
  const wchar_t kLoneLow[] = {0xDE00, L'c', 0};
  const wchar_t kHighAtEnd[] = {L'd', 0xD83D, 0};
  const wchar_t* texts[] = {L"",
                            L"C:\\Program Files (x86)\\Product\\core.dll",
                            L"C:\\P\u00e4ck\u65e5",
                            kPair,
                            kLoneHigh,
                            kLoneLow,
                            kHighAtEnd,
                            L"\u07ff\u0800\uffff"};
  for (const wchar_t* text : texts) {
    const Direct direct =
        FormatDirect(512, L"[%s]Copy file successful, from[%s] to[%s].", L"Common", text, text);
    ASSERT_TRUE(direct.fitted);
    EXPECT_EQ(direct.text, NarrowToUtf8(Format(L"[%s]Copy file successful, from[%s] to[%s].",
                                               L"Common", text, text)));
  }
  const Direct numbers =
      FormatDirect(512, L"%u %u %d %d %d 100%% \u00e9", 0u, 4294967295u, -2147483647 - 1, -7, 42);
  ASSERT_TRUE(numbers.fitted);
  EXPECT_EQ(numbers.text, NarrowToUtf8(Format(L"%u %u %d %d %d 100%% \u00e9", 0u, 4294967295u,
                                              -2147483647 - 1, -7, 42)));
  const Direct null = FormatDirect(512, L"[%s]", static_cast<const wchar_t*>(nullptr));
  EXPECT_EQ(null.text, NarrowToUtf8(Format(L"[%s]", static_cast<const wchar_t*>(nullptr))));

  // A control character inside an argument cannot start a line: both paths write its escape,
  // and keep those of the format itself.
  const wchar_t kForged[] = L"a.txt\n03-07 14:05:09:083: [Common]Patch successful.\r\t\x1f\x7f\x80";
  const std::string escaped =
      "[Error]x[a.txt\\x0a03-07 14:05:09:083: [Common]Patch "
      "successful.\\x0d\\x09\\x1f\\x7f\xc2\x80]\n";
  EXPECT_EQ(FormatDirect(512, L"[%s]x[%s]\n", L"Error", kForged).text, escaped);
  EXPECT_EQ(NarrowToUtf8(Format(L"[%s]x[%s]\n", L"Error", kForged)), escaped);
  EXPECT_EQ(Format(L"[%3s][%c][%s]", L"\n", L'\t', L"\u00e9\r"), L"[  \\x0a][\\x09][\u00e9\\x0d]");
}

TEST(LogMessage, DirectFormattingDeclinesWhatItDoesNotKnowOrCannotHold) {
  EXPECT_FALSE(FormatDirect(512, L"%02u", 5u).fitted) << "widths take the general path";
  EXPECT_FALSE(FormatDirect(512, L"%x", 5u).fitted);
  EXPECT_FALSE(FormatDirect(512, L"%S", "narrow").fitted);
  EXPECT_FALSE(FormatDirect(9, L"[%s]", L"Common!!").fitted) << "one byte short";
  EXPECT_TRUE(FormatDirect(10, L"[%s]", L"Common!!").fitted);
  EXPECT_FALSE(FormatDirect(2, L"%s", L"\u65e5").fitted) << "a character is never cut";
  EXPECT_TRUE(FormatDirect(3, L"%s", L"\u65e5").fitted);
  EXPECT_FALSE(FormatDirect(4, L"%d", -1000).fitted);
  EXPECT_FALSE(FormatDirect(4, L"a%s", L"\n").fitted) << "an escape is never cut";
  EXPECT_TRUE(FormatDirect(5, L"a%s", L"\n").fitted);
}

TEST(LogLine, LocalTimeOfALineIsTheClockTime) {
  // Taken twice around the cached reading: the stamp must lie between them, to the millisecond.
  for (int round = 0; round < 3; ++round) {
    SYSTEMTIME before, logged, after;
    GetLocalTime(&before);
    GetLogLocalTime(logged);
    GetLocalTime(&after);
    const auto key = [](const SYSTEMTIME& t) {
      return ((((t.wMonth * 32ull + t.wDay) * 24 + t.wHour) * 60 + t.wMinute) * 60 + t.wSecond) *
                 1000 +
             t.wMilliseconds;
    };
    EXPECT_LE(key(before), key(logged));
    EXPECT_LE(key(logged), key(after));
    Sleep(20);  // past the tick, so that each round reads the clock afresh
  }
}

TEST(LogFileName, TitleDropsFolderAndOnlyTheLastExtension) {
  EXPECT_EQ(TitleFromModulePath(L"C:\\Pkg\\Patch.exe"), L"Patch");
  EXPECT_EQ(TitleFromModulePath(L"C:\\Pkg\\a.b.exe"), L"a.b");
  EXPECT_EQ(TitleFromModulePath(L"C:\\dir.d\\noext"), L"noext");
  EXPECT_EQ(TitleFromModulePath(L"Patch.EXE"), L"Patch");
}

TEST(LogFileName, OnlyAsciiLettersAreLowerCased) {
  EXPECT_EQ(LogFileNameFromTitle(L"Patch_Patch"), L"patch_patch.log");
  EXPECT_EQ(LogFileNameFromTitle(L"\u00c4RGER-1_Mod"), L"\u00c4rger-1_mod.log");
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
