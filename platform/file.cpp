#include "platform/file.h"

FileResult ResultFromLastError() {
  const auto error = static_cast<int32_t>(GetLastError());
  if (error > 0)
    return static_cast<int32_t>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFFu));
  return error;
}

FileResult FileHandle::Open(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                            DWORD flags) {
  HANDLE opened = CreateFileW(path, access, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL | flags, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return ResultFromLastError();
  handle_.Reset(opened);
  return 0;
}

FileResult FileHandle::GetSize(uint64_t& size) {
  DWORD high = 0;
  SetLastError(NO_ERROR);  // so that a real size of all ones is not taken for a stale error
  const DWORD low = GetFileSize(handle_.Get(), &high);
  if (low == INVALID_FILE_SIZE) {
    // All ones with a last error of 0 is a real size.
    const FileResult result = ResultFromLastError();
    if (result < 0) return result;
  }
  size = (static_cast<uint64_t>(high) << 32) | low;
  return 0;
}

FileResult FileHandle::Read(void* buffer, DWORD count, DWORD& read) {
  read = 0;
  if (!ReadFile(handle_.Get(), buffer, count, &read, nullptr)) return ResultFromLastError();
  return 0;
}

FileResult FileHandle::SeekToEnd() {
  LONG high = 0;
  SetLastError(NO_ERROR);
  if (SetFilePointer(handle_.Get(), 0, &high, FILE_END) == INVALID_SET_FILE_POINTER) {
    const FileResult result = ResultFromLastError();
    if (result < 0) return result;
  }
  return 0;
}
