#pragma once

#include <windows.h>

#include <cstdint>

// File results: 0 success, negative failure (0x8007xxxx made from the last error).
using FileResult = int32_t;

// The platform's last error as a file result; a last error of 0 gives 0. Call it right
// after the failing call, on the same thread.
FileResult ResultFromLastError();

// Owns one open file handle.
class FileHandle {
 public:
  FileHandle() = default;
  ~FileHandle();
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;

  // CreateFileW with FILE_ATTRIBUTE_NORMAL and `flags` (FILE_FLAG_*). Call on an empty wrapper;
  // on failure it stays empty and the result comes from the last error.
  FileResult Open(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0);

  // The 64-bit size; `size` is untouched on failure.
  FileResult GetSize(uint64_t& size);

  // One ReadFile from the current position; `read` is what the platform stored.
  FileResult Read(void* buffer, DWORD count, DWORD& read);

  FileResult SeekToEnd();

  // Hands the handle over without closing it; the wrapper is empty afterwards.
  HANDLE Detach();

  void Close();

  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};
