#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "process/kill.h"

// The product's programs, as the runner and the deployment tools stop and start them.
inline constexpr wchar_t kMainProgram[] = L"PelliWareden.exe";
inline constexpr wchar_t kDownloader[] = L"VyxDL.exe";

// Stops the main program and the downloader whose executables lie in `installBase` (ending in a
// backslash), each waited for. `stopped` gets what starting the main program again needs: one
// record per session it ran in. The downloader is never started again. True when anything was
// stopped.
bool StopProduct(const std::wstring& installBase, std::vector<StoppedProgram>& stopped);
// The sessions whose main program StopProduct keeps a record of; more are stopped, not restarted.
inline constexpr size_t kMostSessions = 64;

// Starts the main program again, hidden, once per record of `stopped`, as the user who ran it
// and in the installation folder, each with a wait of up to 2 s and one log line. Returns the
// exit codes in order (4294967295: still running after the wait, or not started).
std::vector<DWORD> RestartMainProgram(const std::wstring& installBase,
                                      const std::vector<StoppedProgram>& stopped);
