#pragma once

#include <windows.h>

#include <string>

// SHA-256 with the platform's own provider: the CryptoAPI in advapi32, which the runner imports
// anyway, so no library is loaded for it.

// The hash of the file at `path` as 64 lower-case hex digits, read in chunks (constant memory,
// whatever the size). False, with the platform's code in `error`, when the file cannot be
// opened or read or the provider is missing. The file is opened without write sharing, so that
// nobody changes it while it is read.
bool HashFileSha256(const std::wstring& path, std::string& hex, DWORD& error) noexcept;
