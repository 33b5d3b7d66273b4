#include "process/command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/support.h"

namespace {

DWORD RunCommand(const std::wstring& commandLine) {
  std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
  writable.push_back(L'\0');
  return CreateProcessWaitCmd(writable.data());
}

class CreateProcessWaitCmdTest : public ::testing::Test {
 protected:
  e2e::TempDir dir_;
};

TEST_F(CreateProcessWaitCmdTest, ReturnsTheExitCodeOfAProgramThatEndsInTime) {
  const std::wstring exe = dir_ / L"quick.exe";
  e2e::InstallStandIn(exe);
  EXPECT_EQ(RunCommand(L"\"" + exe + L"\" --exit 3"), 3u);
  EXPECT_EQ(RunCommand(L"\"" + exe + L"\" --sleep 200"), 0u);
}

TEST_F(CreateProcessWaitCmdTest, ProgramStillRunningAfterTheWaitKeepsRunning) {
  const std::wstring exe = dir_ / L"stays.exe";
  e2e::InstallStandIn(exe);
  EXPECT_EQ(RunCommand(L"\"" + exe + L"\" "), 0xFFFFFFFFu);
  EXPECT_EQ(e2e::ProcessesRunning(exe).size(), 1u) << "the program must not be ended";
  e2e::KillProcessesIn(dir_.Path());
}

TEST_F(CreateProcessWaitCmdTest, MissingProgramHasNoExitCode) {
  EXPECT_EQ(RunCommand(L"\"" + (dir_ / L"missing.exe") + L"\" "), 0xFFFFFFFFu);
}

}  // namespace
