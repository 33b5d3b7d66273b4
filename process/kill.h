#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/handle.h"

// What it takes to start a terminated program again as it ran.
struct StoppedProgram {
  KernelHandle token;  // a primary token duplicated from it; none when it could not be taken
  DWORD sessionId = 0;
};

// Terminates every process whose executable file name is `imageName` and, when `folder` is
// not empty, whose executable is the file `folder`\`imageName` (compared as text first, then by
// file identity, so that a short or long spelling and a 64-bit process match too). True when at
// least one was terminated by this call. With `stopped`, one record per session that had a
// terminated instance is appended, taken before it was terminated, as far as the room the
// caller reserved goes (nothing is allocated after a kill).
bool KillProcessByName(const std::wstring& folder, const std::wstring& imageName,
                       std::vector<StoppedProgram>* stopped = nullptr);

// True when a process of `imageName` from `folder` (matched as KillProcessByName matches) runs
// in the session `sessionId`.
bool IsRunningFrom(const std::wstring& folder, const std::wstring& imageName, DWORD sessionId);
