#pragma once

#include <windows.h>

#include <string>

// A patch file, or a copy of one, against the sha256 that conf.json records for its entry: the
// one check of a package's integrity, made by the runner and reported by patchcheck.
enum class HashState {
  kNotRecorded,  // the entry records no hash
  kMissing,      // no file at the path
  kMatches,
  kDiffers,
  kUnreadable,  // cannot be opened or read (a folder among others); `error` says why
};
struct HashVerdict {
  HashState state = HashState::kNotRecorded;
  std::string actual;  // the file's hash when it was read
  DWORD error = 0;     // the platform's code when kUnreadable
};
// Never throws: the runner checks a copy while its destination's original is moved aside.
// `share` as HashFileSha256 takes it: an installed file read as a difference's base is shared
// with the product, which runs on meanwhile.
HashVerdict CheckRecordedHash(const std::wstring& path, const std::string& recorded,
                              DWORD share = FILE_SHARE_READ) noexcept;
