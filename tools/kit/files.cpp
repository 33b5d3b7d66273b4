#include "tools/kit/files.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/file.h"
#include "platform/handle.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "platform/text.h"

namespace {
constexpr wchar_t kTempSuffix[] = L".patchtool.tmp";

KernelHandle OpenShared(const std::wstring& path) {
  return OpenFile(path, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
}

Comparison Unreadable(DWORD& error) {
  error = GetLastError();
  return Comparison::kUnreadable;
}

// Flushes the temporary file `temp`, closes it and renames it over `path`; removes it on failure.
bool CommitTemp(FileHandle& file, const std::wstring& temp, const std::wstring& path,
                std::string& error) {
  if (!FlushFileBuffers(file.Get())) {
    error = ErrorText("cannot write", temp, GetLastError());
  } else {
    file.Close();
    if (MoveFileExW(temp.c_str(), path.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    error = ErrorText("cannot write", path, GetLastError());
  }
  file.Close();
  DeleteFileW(temp.c_str());
  return false;
}
}  // namespace

std::string ErrorText(const char* what, const std::wstring& path, DWORD code) {
  return std::string(what) + " " + NarrowToUtf8(path) + " (error " + std::to_string(code) + ")";
}

bool ReplaceWholeFile(const std::wstring& path, const std::string& bytes, std::string& error) {
  const std::wstring temp = path + kTempSuffix;
  FileHandle file;
  if (file.Open(temp.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS) < 0) {
    error = ErrorText("cannot create", temp, GetLastError());
    return false;
  }
  DWORD written = 0;
  if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size()) {
    error = ErrorText("cannot write", temp, GetLastError());
    file.Close();
    DeleteFileW(temp.c_str());
    return false;
  }
  return CommitTemp(file, temp, path, error);
}

bool WriteChangedCopy(const std::wstring& source, const std::wstring& target,
                      const ByteChanges& changes, std::string& error) {
  const std::wstring temp = target + kTempSuffix;
  if (!CopyFileW(source.c_str(), temp.c_str(), FALSE)) {
    error = ErrorText("cannot copy to", temp, GetLastError());
    return false;
  }
  FileHandle file;
  if (file.Open(temp.c_str(), GENERIC_WRITE, 0, OPEN_EXISTING) < 0) {
    error = ErrorText("cannot open", temp, GetLastError());
    SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(temp.c_str());
    return false;
  }
  for (const auto& change : changes) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(change.first);
    DWORD written = 0;
    if (!SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN) ||
        !WriteFile(file.Get(), change.second.data(), static_cast<DWORD>(change.second.size()),
                   &written, nullptr) ||
        written != change.second.size()) {
      error = ErrorText("cannot write", temp, GetLastError());
      file.Close();
      DeleteFileW(temp.c_str());
      return false;
    }
  }
  return CommitTemp(file, temp, target, error);
}

Comparison CompareWithHash(const std::wstring& path, const std::string& sha256, DWORD& error) {
  error = 0;
  if (IsFolder(path)) return Comparison::kDifferent;
  std::string actual;
  if (HashFileSha256(path, actual, error)) {
    return actual == sha256 ? Comparison::kSame : Comparison::kDifferent;
  }
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Comparison::kMissing
                                                                        : Comparison::kUnreadable;
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
  std::vector<char> chunk, otherChunk(kFileChunkBytes);
  bool same = true, otherRead = true;
  const bool read = ReadInChunks(
      file.Get(), chunk,
      [&](const char* data, DWORD count) {
        DWORD got = 0;
        otherRead = ReadFile(other.Get(), otherChunk.data(), count, &got, nullptr) != FALSE;
        // A file that changes while it is read differs from what it was compared with.
        same = otherRead && got == count && std::equal(data, data + count, otherChunk.data());
        return same;
      },
      error);
  if (!read || !otherRead) return otherRead ? Comparison::kUnreadable : Unreadable(error);
  return same ? Comparison::kSame : Comparison::kDifferent;
}
