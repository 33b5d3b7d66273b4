#pragma once

#include <string>

#include "package/conf.h"

// The suffix of the name a replaced file is kept under.
inline constexpr wchar_t kBackupSuffix[] = L".220620.patch.bak";
// The suffix of the name a replacement is copied to before it takes the destination's name.
inline constexpr wchar_t kPartialSuffix[] = L".220620.patch.part";

// True when the last part of `dest` is a device (NUL, CON, COM1, ... with or without an
// extension) or `dest` holds a stream separator: writing there writes no file of that name.
bool NamesDeviceOrStream(const std::wstring& dest);

// True when `text` holds a character below U+0020 (or U+007F), which no Windows name can hold.
bool HoldsControlCharacter(const std::wstring& text);

// The paths one entry works on. Each base gets one backslash unless it has one or is empty;
// `src` and `dest` are appended as they come (empty, absolute or with "..").
struct EntryPaths {
  EntryKind kind = EntryKind::kCopy;
  std::wstring source;          // patch folder + src; empty for a removal or a folder
  std::wstring destination;     // install folder + dest
  std::wstring backup;          // destination + kBackupSuffix
  std::wstring partial;         // destination + kPartialSuffix
  std::wstring base;            // a difference's base: install folder + `base`, or destination
  bool deviceOrStream = false;    // see NamesDeviceOrStream
  bool controlCharacter = false;  // in src or dest: see HoldsControlCharacter
};
EntryPaths FormEntryPaths(const PatchEntry& entry, const std::wstring& patchFolder,
                          const std::wstring& installDir);
