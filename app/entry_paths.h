#pragma once

#include <string>

#include "app/conf.h"

// The suffix of the name a replaced file is kept under.
inline constexpr wchar_t kBackupSuffix[] = L".220620.patch.bak";

// The UTF-8 text up to its first zero as UTF-16 (code page 65001, no flags); invalid sequences
// become U+FFFD.
std::wstring WidenUtf8(const std::string& utf8);

// The paths one entry works on. Each base gets one backslash unless it has one or is empty;
// `src` and `dest` are appended as they come (empty, absolute or with "..").
struct EntryPaths {
  std::wstring source;       // patch folder + src
  std::wstring destination;  // install folder + dest
  std::wstring backup;       // destination + kBackupSuffix
};
EntryPaths FormEntryPaths(const PatchEntry& entry, const std::wstring& patchFolder,
                          const std::wstring& installDir);
