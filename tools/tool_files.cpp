#include "tools/tool_files.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/file.h"
#include "platform/handle.h"
#include "platform/text.h"

namespace {
constexpr DWORD kCompareChunkBytes = 1 << 20;

KernelHandle OpenShared(const std::wstring& path) {
  return KernelHandle(CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

Comparison Unreadable(DWORD& error) {
  error = GetLastError();
  return Comparison::kUnreadable;
}
}  // namespace

std::string ErrorText(const char* what, const std::wstring& path) {
  return std::string(what) + " " + NarrowToUtf8(path) + " (error " +
         std::to_string(GetLastError()) + ")";
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes, std::string& error) {
  FileHandle file;
  uint64_t size = 0;
  if (file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING) < 0) {
    error = ErrorText("cannot open", path);
    return false;
  }
  if (file.GetSize(size) < 0 || size > 0x7FFFFFFF) {
    error = ErrorText("cannot size", path);
    return false;
  }
  bytes.assign(static_cast<size_t>(size), '\0');
  DWORD read = 0;
  if (size > 0 && (file.Read(&bytes[0], static_cast<DWORD>(size), read) < 0 || read != size)) {
    error = ErrorText("cannot read", path);
    return false;
  }
  return true;
}

bool ReplaceWholeFile(const std::wstring& path, const std::string& bytes, std::string& error) {
  const std::wstring temp = path + L".patchtool.tmp";
  FileHandle file;
  if (file.Open(temp.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS) < 0) {
    error = ErrorText("cannot create", temp);
    return false;
  }
  DWORD written = 0;
  const BOOL wrote =
      WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size() && FlushFileBuffers(file.Get());
  file.Close();
  if (!wrote || !MoveFileExW(temp.c_str(), path.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = ErrorText("cannot write", path);
    DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

Comparison CompareWithFile(const std::wstring& path, const std::wstring& reference, DWORD& error) {
  error = 0;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Comparison::kMissing;
    return Comparison::kUnreadable;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Comparison::kDifferent;
  const KernelHandle file = OpenShared(path);
  if (!file.IsValid()) return Unreadable(error);
  const KernelHandle other = OpenShared(reference);
  if (!other.IsValid()) return Unreadable(error);
  LARGE_INTEGER size = {}, otherSize = {};
  if (!GetFileSizeEx(file.Get(), &size) || !GetFileSizeEx(other.Get(), &otherSize))
    return Unreadable(error);
  if (size.QuadPart != otherSize.QuadPart) return Comparison::kDifferent;
  std::vector<char> chunk(kCompareChunkBytes), otherChunk(kCompareChunkBytes);
  for (;;) {
    DWORD read = 0, otherRead = 0;
    if (!ReadFile(file.Get(), chunk.data(), kCompareChunkBytes, &read, nullptr) ||
        !ReadFile(other.Get(), otherChunk.data(), kCompareChunkBytes, &otherRead, nullptr)) {
      return Unreadable(error);
    }
    // A file that changes while it is read differs from what it was compared with.
    if (read != otherRead || !std::equal(chunk.begin(), chunk.begin() + read, otherChunk.begin()))
      return Comparison::kDifferent;
    if (read == 0) return Comparison::kSame;
  }
}
