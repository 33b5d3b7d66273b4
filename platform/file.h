#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/handle.h"

// File results: 0 success, negative failure (0x8007xxxx made from the last error).
using FileResult = int32_t;

// The platform's last error as a file result; a last error of 0 gives 0. Call it right
// after the failing call, on the same thread.
FileResult ResultFromLastError();

// Files are read in pieces of this size (hashing, comparing, scanning, copying), so that memory
// stays the same whatever a file's size.
constexpr DWORD kFileChunkBytes = 1 << 20;

// Reads `file` from its position to its end in pieces of `buffer`'s size (kFileChunkBytes when
// it is empty), handing each to `take(const char* data, DWORD size)`; `take` returns false to
// stop early. False with the platform's code in `error` when a read fails.
template <typename Take>
bool ReadInChunks(HANDLE file, std::vector<char>& buffer, Take take, DWORD& error) {
  error = 0;
  if (buffer.empty()) buffer.resize(kFileChunkBytes);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
      error = GetLastError();
      return false;
    }
    if (read == 0 || !take(static_cast<const char*>(buffer.data()), read)) return true;
  }
}

// Every kind of sharing: for a reader that must hold up neither the product nor a run.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The one way to open a file or folder: CreateFileW with no security attributes, no template,
// FILE_ATTRIBUTE_NORMAL and `flags` (FILE_FLAG_*). Invalid on failure, with the last error set.
KernelHandle OpenFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flags = 0);

// How often a unique name is tried before a move to one counts as failed.
constexpr int kUniqueNameTries = 16;

// "<path>.<kind>-<UTC yyyymmddThhmmss>-<process id>", with "-<n>" after the first try: a name
// that no earlier run made and that says what it holds.
std::wstring UniqueSiblingName(const std::wstring& path, const wchar_t* kind, int attempt);

// True when `name` is a name UniqueSiblingName makes from `namedAfter` and `kind` (any time,
// process id and try), compared as the file system compares names.
bool IsUniqueSiblingName(const std::wstring& name, const std::wstring& namedAfter,
                         const wchar_t* kind);

// Renames whatever is at `from` (a file, a folder, a link itself) to a unique name made from
// `namedAfter` and `kind`. False with the last error of the last try.
bool MoveToUniqueName(const std::wstring& from, const std::wstring& namedAfter,
                      const wchar_t* kind);

// The path the platform reports for what is open behind `handle`, in one form for every file
// ("\\?\C:\..."): long names, the case on the disk, links resolved. Empty on failure.
std::wstring FinalPath(HANDLE handle);

// True when what opens at `path` lies in the folder of `path` under the same name: not a link,
// also where the platform reports a link to a file as the file it points to.
bool IsAtItsOwnName(const std::wstring& path);

// True when something at `path` is a link: a reparse point, or a file that is not at its own
// name (IsAtItsOwnName).
bool IsLinkAt(const std::wstring& path);

// Clears the read-only attribute of the file at `path`, never through a link. True when the
// file is writable now, or missing.
bool ClearReadOnly(const std::wstring& path);

// Frees the name `path` without following a link: a file that is what its name says loses its
// read-only attribute and goes, a folder is moved aside to a unique name of `kind`. A link of
// any kind, also one the platform does not report as a link, is left alone: some platforms
// delete or rename what a link points to when asked to delete or rename the link. True when
// nothing is left at the name.
bool ClearName(const std::wstring& path, const wchar_t* kind);

// Owns one open file handle. The vocabulary of platform/handle.h, under the names the runner
// has always used for two of its verbs: Detach is Release, Close is Reset().
class FileHandle {
 public:
  // CreateFileW with FILE_ATTRIBUTE_NORMAL and `flags` (FILE_FLAG_*). On success a handle held
  // before is closed; on failure the wrapper is unchanged and the result comes from the last
  // error.
  FileResult Open(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags = 0);

  // The 64-bit size; `size` is untouched on failure.
  FileResult GetSize(uint64_t& size);

  // One ReadFile from the current position; `read` is what the platform stored.
  FileResult Read(void* buffer, DWORD count, DWORD& read);

  FileResult SeekToEnd();

  // Hands the handle over without closing it; the wrapper is empty afterwards.
  [[nodiscard]] HANDLE Detach() { return handle_.Release(); }

  void Close() { handle_.Reset(); }

  bool IsValid() const { return handle_.IsValid(); }
  HANDLE Get() const { return handle_.Get(); }

 private:
  KernelHandle handle_;
};
