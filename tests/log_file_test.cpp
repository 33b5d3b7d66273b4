#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "platform/paths.h"
#include "tests/log_test_fixture.h"

namespace {

constexpr uint64_t kLimit = LOG_CONSOLE::kDefaultSizeLimit;
// A reader that does not share deletion keeps a file from being renamed or deleted.
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

class LogRotationAtOpen : public LogTest {};
class LogRotationPeriodic : public LogTest {};

void OpenAndWrite(const std::wstring& path, const wchar_t* text) {
  LOG_CONSOLE::InitLog(path.c_str());
  ASSERT_NE(CurrentLogState().LogFile, nullptr) << "the log did not open";
  LOG_CONSOLE::WriteLog(L"[%s]%s", L"Common", text);
  LOG_CONSOLE::CloseLog();
}

TEST_F(LogRotationAtOpen, AFileAtTheLimitIsMovedAsideOneByteLessIsAppendedTo) {
  const std::wstring path = temp_ / L"r.log";

  testsupport::MakeFileOfSize(path, "below", kLimit - 1);
  OpenAndWrite(path, L"appended");
  EXPECT_FALSE(testsupport::Exists(path + L".old")) << "a log one byte below the limit was rotated";
  const std::string appended = "[Common]appended\n";
  EXPECT_EQ(ReadFileSizeByPath(path.c_str()), kLimit - 1 + kLogStampLength + appended.size());

  testsupport::MakeFileOfSize(path, "at", kLimit);
  OpenAndWrite(path, L"fresh");
  EXPECT_EQ(ReadFileSizeByPath((path + L".old").c_str()), kLimit) << "the full log was not kept";
  EXPECT_EQ(testsupport::ReadMessages(path), std::vector<std::string>{"[Common]fresh"});
}

TEST_F(LogRotationAtOpen, AfterTwoRotationsOnlyTheNewerOldGenerationRemains) {
  const std::wstring path = temp_ / L"g.log";
  testsupport::MakeFileOfSize(path, "first generation", kLimit);
  OpenAndWrite(path, L"x");
  testsupport::MakeFileOfSize(path, "second generation", kLimit);
  OpenAndWrite(path, L"y");

  EXPECT_EQ(testsupport::ReadBytes(path + L".old").compare(0, 17, "second generation"), 0)
      << "the .old file is not the generation rotated last";
  EXPECT_FALSE(testsupport::Exists(path + L".old.old"));
  EXPECT_EQ(testsupport::ReadMessages(path), std::vector<std::string>{"[Common]y"});
}

// The names in `path`'s folder that start with `path`'s name followed by `tail`.
std::vector<std::wstring> Siblings(const std::wstring& path, const std::wstring& tail) {
  std::vector<std::wstring> names;
  for (const WIN32_FIND_DATAW& found : testsupport::FindEntries(path + tail + L"*")) {
    names.push_back(ParentFolder(path) + L"\\" + found.cFileName);
  }
  return names;
}

TEST_F(LogRotationAtOpen, AFailedMoveAppendsToTheFullLogInsteadOfTruncatingIt) {
  const std::wstring path = temp_ / L"m.log";
  testsupport::MakeFileOfSize(path, "precious", kLimit);
  KernelHandle reader = testsupport::HoldOpen(path, kShareReadWrite);
  OpenAndWrite(path, L"after");
  reader.Reset();
  const std::string line = "[Common]after\n";
  EXPECT_EQ(ReadFileSizeByPath(path.c_str()), kLimit + kLogStampLength + line.size())
      << "the full log was not appended to";
  EXPECT_EQ(testsupport::ReadBytes(path).compare(0, 8, "precious"), 0)
      << "the full log lost its content";
}

// Any user may make folders in the log folder and read its files: nothing left at the old
// generation's name may switch the size limit off, and nothing of theirs is deleted.
TEST_F(LogRotationAtOpen, WhatAUserLeavesAtTheOldNameDoesNotStopTheRotation) {
  const std::wstring path = temp_ / L"u.log";
  const std::wstring oldPath = path + L".old";
  ASSERT_TRUE(CreateDirectoryW(oldPath.c_str(), nullptr));
  testsupport::WriteBytes(oldPath + L"\\keep", "k");
  testsupport::MakeFileOfSize(path, "first", kLimit);
  OpenAndWrite(path, L"one");
  EXPECT_EQ(testsupport::ReadBytes(oldPath).compare(0, 5, "first"), 0)
      << "the full log is not the old generation";
  const auto blocked = Siblings(oldPath, L".blocked-");
  ASSERT_EQ(blocked.size(), 1u) << "the folder was not moved aside";
  EXPECT_EQ(testsupport::ReadBytes(blocked[0] + L"\\keep"), "k");

  // A reader holds the old generation: the next ones take a unique name, one at a time.
  KernelHandle reader = testsupport::HoldOpen(oldPath, kShareReadWrite);
  for (const char* generation : {"second", "third"}) {
    testsupport::MakeFileOfSize(path, generation, kLimit);
    OpenAndWrite(path, L"next");
  }
  reader.Reset();
  EXPECT_EQ(testsupport::ReadBytes(oldPath).compare(0, 5, "first"), 0);
  const auto unique = Siblings(oldPath, L".gen-");
  ASSERT_EQ(unique.size(), 1u) << "more than two generations are kept";
  EXPECT_EQ(testsupport::ReadBytes(unique[0]).compare(0, 5, "third"), 0);
  EXPECT_EQ(testsupport::ReadMessages(path), std::vector<std::string>{"[Common]next"});
}

// A second hard link at the log's name is renamed (which touches only that name) and a new log
// started; only a name that cannot be moved, held without delete sharing, keeps the log off.
TEST_F(LogRotationAtOpen, ALinkedLogIsMovedAsideUnlessItCannotBe) {
  const std::wstring base = temp_.Path() + L"\\", victim = temp_ / L"victim.txt";
  const std::wstring path = base + kLogFolderChain + L"\\l.log";
  testsupport::WriteBytes(victim, "victim\n");
  testsupport::MakeFolders(ParentFolder(path));
  ASSERT_TRUE(CreateHardLinkW(path.c_str(), victim.c_str(), nullptr)) << GetLastError();
  {
    KernelHandle reader = testsupport::HoldOpen(path, kShareReadWrite);
    EXPECT_EQ(CheckLogLocation(base, path).state, LogLocationState::kFileRefused);
    LOG_CONSOLE::InitLog(path.c_str());
    EXPECT_EQ(CurrentLogState().LogFile, nullptr) << "a linked log that cannot be moved was opened";
    LOG_CONSOLE::CloseLog();
  }
  const LogLocation location = CheckLogLocation(base, path);
  EXPECT_EQ(location.state, LogLocationState::kFileMovedAside);
  EXPECT_EQ(location.concerned.refusal, TrustRefusal::kSecondLink);
  OpenAndWrite(path, L"fresh");
  EXPECT_EQ(testsupport::ReadBytes(victim), "victim\n");
  EXPECT_EQ(testsupport::ReadMessages(path), std::vector<std::string>{"[Common]fresh"});
  const auto linked = Siblings(path, L".linked-");
  ASSERT_EQ(linked.size(), 1u) << "the linked name was not moved aside";
  EXPECT_EQ(testsupport::ReadBytes(linked[0]), "victim\n");
}

TEST_F(LogRotationPeriodic, TheNewFileStartsWithTheNewFileLine) {
  const std::wstring path = temp_ / L"p.log";
  LogEnabled = 1;
  LOG_CONSOLE::EnableBanners();
  LOG_CONSOLE::InitLog(path.c_str());
  LOG_CONSOLE::WriteLog(L"[%s]before", L"Common");
  // Not yet due: a small limit alone does not rotate.
  LogTestSeam::SetSizeLimit(1);
  LOG_CONSOLE::WriteLog(L"[%s]still before", L"Common");
  EXPECT_FALSE(testsupport::Exists(path + L".old")) << "rotated before the interval passed";

  LogTestSeam::MakeSizeCheckDue();
  LOG_CONSOLE::WriteLog(L"[%s]after", L"Common");
  const std::vector<std::string> old = {testsupport::Banner(kBeginBanner), "[Common]before",
                                        "[Common]still before"};
  EXPECT_EQ(testsupport::ReadMessages(path + L".old"), old);
  const std::vector<std::string> fresh = {testsupport::Banner(kNewFileBanner), "[Common]after"};
  EXPECT_EQ(testsupport::ReadMessages(path), fresh);
  EXPECT_EQ(CurrentLogState().WriterCount, 0);
}

TEST_F(LogRotationPeriodic, AFailedMoveKeepsTheCurrentLogAndRetriesAtTheNextCheck) {
  const std::wstring path = temp_ / L"f.log";
  const std::wstring oldPath = path + L".old";

  LOG_CONSOLE::InitLog(path.c_str());
  LOG_CONSOLE::WriteLog(L"[%s]one", L"Common");
  KernelHandle reader = testsupport::HoldOpen(path, kShareReadWrite);
  LogTestSeam::SetSizeLimit(1);
  LogTestSeam::MakeSizeCheckDue();
  LOG_CONSOLE::WriteLog(L"[%s]two", L"Common");
  ASSERT_NE(CurrentLogState().LogFile, nullptr) << "the log went silent after a failed rotation";
  LOG_CONSOLE::WriteLog(L"[%s]three", L"Common");
  const std::vector<std::string> kept = {"[Common]one", "[Common]two", "[Common]three"};
  EXPECT_EQ(testsupport::ReadMessages(path), kept);

  // Once the obstacle is gone the next due check rotates.
  reader.Reset();
  LogTestSeam::MakeSizeCheckDue();
  LOG_CONSOLE::WriteLog(L"[%s]four", L"Common");
  EXPECT_EQ(testsupport::ReadMessages(oldPath), kept);
  EXPECT_EQ(testsupport::ReadMessages(path), std::vector<std::string>{"[Common]four"});
}

// Lines "T<thread>L<index>:<padding>" of varying length from several threads while one rotation
// runs: each must be whole in one of the files, or dropped while a mark stood, and never twice.
TEST_F(LogRotationPeriodic, ConcurrentWritersNeitherTearNorInterleaveLines) {
  const std::wstring path = temp_ / L"t.log";
  // A filler well above what the threads write, so that the new file never reaches the limit and
  // exactly one rotation happens.
  std::string filler;
  while (filler.size() < 2000000) filler += "00-00 00:00:00:000: filler line\n";
  testsupport::WriteBytes(path, filler);

  LOG_CONSOLE::EnableBanners();
  LOG_CONSOLE::InitLog(path.c_str());
  ASSERT_NE(CurrentLogState().LogFile, nullptr);
  LogTestSeam::SetSizeLimit(static_cast<uint32_t>(filler.size()));

  constexpr int kThreads = 8;
  constexpr int kLinesPerThread = 800;
  std::atomic<int> written{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &written] {
      for (int i = 0; i < kLinesPerThread; ++i) {
        const std::wstring padding(static_cast<size_t>((i * 7 + t) % 90), L'a' + t);
        LOG_CONSOLE::WriteLog(L"T%uL%u:%s", static_cast<unsigned>(t), static_cast<unsigned>(i),
                              padding.c_str());
        ++written;
      }
    });
  }
  while (written < kThreads * kLinesPerThread / 3) Sleep(0);
  LogTestSeam::MakeSizeCheckDue();
  for (auto& thread : threads) thread.join();
  // A pending mark set by the last check stays until the next line's check clears it.
  LOG_CONSOLE::WriteLog(L"closing");
  EXPECT_EQ(CurrentLogState().WriterCount, 0);
  LOG_CONSOLE::CloseLog();

  const std::vector<std::string> oldLines = testsupport::ReadMessages(path + L".old");
  const std::vector<std::string> newLines = testsupport::ReadMessages(path);
  ASSERT_FALSE(newLines.empty());
  EXPECT_EQ(newLines.front(), testsupport::Banner(kNewFileBanner))
      << "no rotation ran, or not first";

  std::set<std::pair<unsigned, unsigned>> seen;
  auto check = [&seen](const std::string& message) {
    if (message == "filler line" || message == testsupport::Banner(kBeginBanner) ||
        message == testsupport::Banner(kNewFileBanner) || message == "closing" ||
        message == testsupport::Banner(kEndBanner))
      return;
    unsigned t = 0, i = 0;
    int consumed = 0;
    ASSERT_EQ(sscanf(message.c_str(), "T%uL%u:%n", &t, &i, &consumed), 2) << "torn: " << message;
    ASSERT_LT(t, static_cast<unsigned>(kThreads)) << message;
    const std::string padding(static_cast<size_t>((i * 7 + t) % 90), static_cast<char>('a' + t));
    EXPECT_EQ(message.substr(static_cast<size_t>(consumed)), padding) << "torn: " << message;
    EXPECT_TRUE(seen.insert({t, i}).second) << "written twice: " << message;
  };
  for (const auto& message : oldLines) check(message);
  for (const auto& message : newLines) check(message);
  EXPECT_GT(seen.size(), 0u);
  EXPECT_LE(seen.size(), static_cast<size_t>(kThreads * kLinesPerThread));
}

}  // namespace
