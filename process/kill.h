#pragma once

#include <string>

// Terminates every process whose executable file name is `imageName` and, when `folder` is
// not empty, whose executable lies in exactly that folder. True when at least one was
// terminated by this call.
bool KillProcessByName(const std::wstring& folder, const std::wstring& imageName);
