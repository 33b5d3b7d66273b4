#pragma once

#include <string>

// The product's key under HKLM, read in the process's default registry view (the 32-bit view
// for this 32-bit program on 64-bit Windows).
inline constexpr wchar_t kProductKey[] = L"SOFTWARE\\Norvale\\Wareden";
inline constexpr wchar_t kInstallDirValue[] = L"InstallDir";

// Reads InstallDir as the run does: a string of at most 259 characters stored with its NUL, of
// type REG_SZ or REG_EXPAND_SZ (unexpanded). The key is closed before it returns. `installDir`
// is set only on kOk; an empty stored value is kOk with empty text.
enum class InstallDirRead { kOk, kOpenFailed, kQueryFailed };
InstallDirRead ReadInstallDir(std::wstring& installDir);
