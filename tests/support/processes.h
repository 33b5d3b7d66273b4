#pragma once

// Programs started by tests as a user would start them: the built runner and tools, and
// stand-ins for the product's programs.

#include <windows.h>

#include <string>
#include <vector>

#include "platform/handle.h"

namespace testsupport {

// The exit code of a program that could not be run or did not end in time.
constexpr DWORD kNoExitCode = 0xFFFFFFFF;

// Starts `exe` with the command-line tail `args` and its own folder as the current folder, as a
// user starting it from Explorer would; its standard output and error go to the file `output`
// when one is named. Handles that are not valid after an ADD_FAILURE.
ProcessHandles StartProgram(const std::wstring& exe, const std::wstring& args = L"",
                            const std::wstring& output = L"");
// StartProgram, then waits for the program (ADD_FAILURE and kNoExitCode after a minute).
DWORD RunProgram(const std::wstring& exe, const std::wstring& args = L"",
                 const std::wstring& output = L"");

// A console tool's exit code and what it printed (standard output and error together).
struct ToolRun {
  DWORD exitCode = kNoExitCode;
  std::string output;
};
// RunProgram on a program built beside the tests, its output going through the file `output`.
ToolRun RunTool(const std::wstring& tool, const std::wstring& args, const std::wstring& output);

// A running stand-in product program (tests/e2e/standin.cpp): copied to `exePath` unless a
// file is there, started with `args`, terminated at the end if it still runs.
class StandIn {
 public:
  explicit StandIn(const std::wstring& exePath, const std::wstring& args = L"");
  ~StandIn();
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;
  bool Running() const;
  DWORD Pid() const { return program_.id; }

 private:
  ProcessHandles program_;
};
// Copies the stand-in program to `exePath` without starting it.
void InstallStandIn(const std::wstring& exePath);
// Terminates every process whose executable lies in `folder` (cleanup after a restart).
void KillProcessesIn(const std::wstring& folder);
// Ids of the running processes whose executable path equals `exePath` (case-insensitive).
std::vector<DWORD> ProcessesRunning(const std::wstring& exePath);

}  // namespace testsupport
