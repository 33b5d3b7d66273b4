#include "process/command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/processes.h"

namespace {

DWORD RunCommand(const std::wstring& commandLine) {
  std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
  writable.push_back(L'\0');
  return CreateProcessWaitCmd(writable.data());
}

class CreateProcessWaitCmdTest : public testsupport::TempFolderTest {};

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

TEST_F(CreateProcessWaitCmdTest, MissingProgramHasNoExitCode) {
  EXPECT_EQ(RunCommand(L"\"" + (temp_ / L"missing.exe") + L"\" "), 0xFFFFFFFFu);
}

}  // namespace
