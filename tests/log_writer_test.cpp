#include <gtest/gtest.h>

#include "tests/log_test_fixture.h"

namespace {

class LogWriter : public LogTest {};

TEST_F(LogWriter, WritesUtf8LinesWithTimestampAndOneLineFeed) {
  const std::wstring path = temp_ / L"w.log";
  LOG_CONSOLE::InitLog(path.c_str());
  ASSERT_NE(CurrentLogState().LogFile, nullptr) << "the log did not open";
  LOG_CONSOLE::WriteLog(L"[%s]PackageDir[%s].", L"Common", L"C:\\\u00dcber\u65e5");
  LOG_CONSOLE::WriteErrorLog(L"[%s]code %u.", L"Error", 5u);
  LOG_CONSOLE::WriteLog(L"[%s]ends in LF\n", L"Common");

  const std::string text = testsupport::ReadBytes(path);
  const auto lines = testsupport::SplitLines(text);
  ASSERT_EQ(lines.size(), 3u) << text;
  for (const auto& line : lines) EXPECT_TRUE(HasLogStamp(line)) << line;
  EXPECT_EQ(lines[0].substr(kLogStampLength),
            "[Common]PackageDir[C:\\\xc3\x9c"
            "ber\xe6\x97\xa5].");
  EXPECT_EQ(lines[1].substr(kLogStampLength), "[Error]code 5.");
  EXPECT_EQ(lines[2].substr(kLogStampLength), "[Common]ends in LF");
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find("\n\n"), std::string::npos) << "a line got a second LF:\n" << text;
}

TEST_F(LogWriter, CountedOpenAndCloseWriteTheBannersOnce) {
  const std::wstring path = temp_ / L"c.log";
  LogEnabled = 1;
  LOG_CONSOLE::EnableBanners();
  LOG_CONSOLE::InitLog(path.c_str());
  LOG_CONSOLE::InitLog(path.c_str());
  EXPECT_EQ(CurrentLogState().InitCount, 2);
  LOG_CONSOLE::WriteLog(L"[%s]one", L"Common");

  LOG_CONSOLE::CloseLog();
  EXPECT_EQ(LogEnabled, 0) << "CloseLog must switch the log off";
  EXPECT_NE(CurrentLogState().LogFile, nullptr)
      << "the first of two counted closes closed the file";
  LOG_CONSOLE::CloseLog();
  EXPECT_EQ(CurrentLogState().LogFile, nullptr) << "the last close left the file open";
  EXPECT_EQ(CurrentLogState().InitCount, 0);

  // Nothing reaches the file once it is closed.
  LOG_CONSOLE::WriteLog(L"[%s]after close", L"Common");
  const std::vector<std::string> expected = {testsupport::Banner(kBeginBanner), "[Common]one",
                                             testsupport::Banner(kEndBanner),
                                             testsupport::Banner(kEndBanner)};
  EXPECT_EQ(testsupport::ReadMessages(path), expected);
}

TEST_F(LogWriter, ALaterRunAppendsToTheFile) {
  const std::wstring path = temp_ / L"a.log";
  LOG_CONSOLE::InitLog(path.c_str());
  LOG_CONSOLE::WriteLog(L"[%s]first run", L"Common");
  LOG_CONSOLE::CloseLog();
  LOG_CONSOLE::InitLog(path.c_str());
  LOG_CONSOLE::WriteLog(L"[%s]second run", L"Common");
  LOG_CONSOLE::CloseLog();
  const std::vector<std::string> expected = {"[Common]first run", "[Common]second run"};
  EXPECT_EQ(testsupport::ReadMessages(path), expected);
}

TEST_F(LogWriter, APathThatDoesNotFitIsAnOpenFailureNotACutPath) {
  const std::wstring base = temp_.Path() + L"\\";
  ASSERT_LT(base.size(), 200u);
  const std::wstring fits = base + std::wstring(259 - base.size() - 4, L'f') + L".log";
  const std::wstring tooLong = base + std::wstring(260 - base.size() - 4, L'g') + L".log";
  ASSERT_EQ(fits.size(), 259u);
  ASSERT_EQ(tooLong.size(), 260u);

  LOG_CONSOLE::InitLog(tooLong.c_str());
  EXPECT_EQ(CurrentLogState().LogFile, nullptr) << "a 260-character path was opened";
  EXPECT_EQ(CurrentLogState().InitCount, 1);
  LOG_CONSOLE::WriteLog(L"[%s]dropped", L"Common");
  EXPECT_FALSE(testsupport::Exists(tooLong.substr(0, 259))) << "the path was cut and opened";
  LOG_CONSOLE::CloseLog();

  LOG_CONSOLE::InitLog(fits.c_str());
  EXPECT_NE(CurrentLogState().LogFile, nullptr) << "a 259-character path did not open";
  LOG_CONSOLE::WriteLog(L"[%s]kept", L"Common");
  LOG_CONSOLE::CloseLog();
  EXPECT_EQ(testsupport::ReadMessages(fits), std::vector<std::string>{"[Common]kept"});
}

}  // namespace
