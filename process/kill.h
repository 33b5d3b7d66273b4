#pragma once

#include <string>

// Terminates every process whose executable file name is `imageName` and, when `folder` is
// not empty, whose executable lies in exactly that folder. True when at least one was
// terminated by this call.
bool KillProcessByName(const std::wstring& folder, const std::wstring& imageName);

// Equal over the whole length with only A to Z folded to a to z.
bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b);
