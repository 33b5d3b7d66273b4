#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// All-or-nothing replacement and comparison of files for the package tools.

// "<what> <path> (error <code>)", the code given by the caller: read it right after the call
// that failed, or pass the one that call reported.
std::string ErrorText(const char* what, const std::wstring& path, DWORD code);

// Writes a temporary file beside `path` and renames it over `path`, so that a failure never
// leaves a partial file.
bool ReplaceWholeFile(const std::wstring& path, const std::string& bytes, std::string& error);

// `target` becomes a copy of `source` with the bytes at the given offsets changed (`target` may
// be `source`): the copy is made beside `target`, changed, flushed and renamed over it, so that
// neither file is ever half written and `source` is never read whole.
using ByteChanges = std::vector<std::pair<uint64_t, std::string>>;
bool WriteChangedCopy(const std::wstring& source, const std::wstring& target,
                      const ByteChanges& changes, std::string& error);

// What a file holds, compared with a reference file.
enum class Comparison {
  kSame,        // the same bytes
  kDifferent,   // other bytes, another size, or a folder
  kMissing,     // nothing at the path
  kUnreadable,  // either file cannot be read; `error` holds the platform's code
};
// Byte for byte, in chunks of constant size whatever the files' sizes. Both are read with every
// kind of sharing, so that neither the product nor a run is held up by it.
Comparison CompareWithFile(const std::wstring& path, const std::wstring& reference, DWORD& error);
// The same against a SHA-256 (64 lower-case hex digits) in place of a reference file.
Comparison CompareWithHash(const std::wstring& path, const std::string& sha256, DWORD& error);
