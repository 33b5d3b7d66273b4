#pragma once

#include <windows.h>

#include <cstdint>
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
