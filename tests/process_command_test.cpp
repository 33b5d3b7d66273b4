#include "process/command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/log_test_fixture.h"
#include "tests/support/processes.h"

namespace {

DWORD RunCommand(const std::wstring& commandLine) {
  std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
  writable.push_back(L'\0');
  return CreateProcessWaitCmd(writable.data());
}

class CreateProcessWaitCmdTest : public LogTest {};

TEST_F(CreateProcessWaitCmdTest, ReturnsTheExitCodeOfAProgramThatEndsInTime) {
  const std::wstring exe = temp_ / L"quick.exe";
  testsupport::InstallStandIn(exe);
  EXPECT_EQ(RunCommand(L"\"" + exe + L"\" --exit 3"), 3u);
  EXPECT_EQ(RunCommand(L"\"" + exe + L"\" --sleep 200"), 0u);
}

TEST_F(CreateProcessWaitCmdTest, ProgramStillRunningAfterTheWaitKeepsRunning) {
  const std::wstring exe = temp_ / L"stays.exe";
  testsupport::InstallStandIn(exe);
  EXPECT_EQ(RunCommand(L"\"" + exe + L"\" "), 0xFFFFFFFFu);
  EXPECT_EQ(testsupport::ProcessesRunning(exe).size(), 1u) << "the program must not be ended";
  testsupport::KillProcessesIn(temp_.Path());
}

// A program stopped for the patch starts again with its own token; without one it still starts,
// with the runner's rights, and one line says so. Nothing of either way is left open.
TEST_F(CreateProcessWaitCmdTest, StartsWithTheTokenGivenOrFallsBackAndLeaksNothing) {
  const std::wstring exe = temp_ / L"as.exe";
  testsupport::InstallStandIn(exe);
  HANDLE raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &raw));
  const KernelHandle own(raw);
  HANDLE primary = nullptr;
  ASSERT_TRUE(DuplicateTokenEx(own.Get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation,
                               TokenPrimary, &primary));
  const KernelHandle token(primary);
  LogEnabled = 1;
  LOG_CONSOLE::InitLog((temp_ / L"as.log").c_str());
  const auto start = [&](HANDLE as) {
    std::wstring commandLine = L"\"" + exe + L"\" --exit 7";
    return CreateProcessWaitCmdAs(&commandLine[0], as, temp_.Path().c_str());
  };
  EXPECT_EQ(start(token.Get()), 7u);  // the first call also loads what later calls reuse
  DWORD before = 0, after = 0;
  GetProcessHandleCount(GetCurrentProcess(), &before);
  EXPECT_EQ(start(token.Get()), 7u);
  EXPECT_EQ(start(nullptr), 7u);
  GetProcessHandleCount(GetCurrentProcess(), &after);
  EXPECT_EQ(after, before) << "handles left open";
  const auto lines = testsupport::ReadMessages(temp_ / L"as.log");
  EXPECT_EQ(testsupport::CountContaining(lines, "started with this run's rights"), 1u)
      << testsupport::Join(lines);
}

TEST_F(CreateProcessWaitCmdTest, MissingProgramHasNoExitCode) {
  EXPECT_EQ(RunCommand(L"\"" + (temp_ / L"missing.exe") + L"\" "), 0xFFFFFFFFu);
}

}  // namespace
