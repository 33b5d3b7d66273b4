#include "platform/file.h"

#include <utility>

#include "platform/paths.h"
#include "platform/text.h"

FileResult ResultFromLastError() {
  const auto error = static_cast<int32_t>(GetLastError());
  if (error > 0)
    return static_cast<int32_t>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFFu));
  return error;
}

KernelHandle OpenFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flags) {
  return KernelHandle(CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL | flags, nullptr));
}

FileResult FileHandle::Open(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                            DWORD flags) {
  KernelHandle opened = OpenFile(path, access, share, disposition, flags);
  if (!opened.IsValid()) return ResultFromLastError();
  handle_ = std::move(opened);
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

std::wstring UniqueSiblingName(const std::wstring& path, const wchar_t* kind, int attempt) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  const auto two = [](unsigned value) {
    return std::wstring{static_cast<wchar_t>(L'0' + value / 10 % 10),
                        static_cast<wchar_t>(L'0' + value % 10)};
  };
  std::wstring name = path + L"." + kind + L"-" + std::to_wstring(now.wYear) + two(now.wMonth) +
                      two(now.wDay) + L"T" + two(now.wHour) + two(now.wMinute) + two(now.wSecond) +
                      L"-" + std::to_wstring(GetCurrentProcessId());
  if (attempt > 0) name += L"-" + std::to_wstring(attempt + 1);
  return name;
}

bool IsUniqueSiblingName(const std::wstring& name, const std::wstring& namedAfter,
                         const wchar_t* kind) {
  const std::wstring head = namedAfter + L"." + kind + L"-";
  if (name.size() <= head.size() || CompareAsFileNames(name.substr(0, head.size()), head) != 0)
    return false;
  // yyyymmddThhmmss-<pid>, then -<try> after the first.
  const std::wstring rest = name.substr(head.size());
  const auto digits = [&rest](size_t from, size_t count) {
    if (from + count > rest.size() || count == 0) return false;
    for (size_t i = from; i < from + count; ++i) {
      if (rest[i] < L'0' || rest[i] > L'9') return false;
    }
    return true;
  };
  if (!digits(0, 8) || rest.size() < 16 || rest[8] != L'T' || !digits(9, 6) || rest[15] != L'-')
    return false;
  const size_t dash = rest.find(L'-', 16);
  const size_t end = dash == std::wstring::npos ? rest.size() : dash;
  return digits(16, end - 16) &&
         (dash == std::wstring::npos || digits(dash + 1, rest.size() - dash - 1));
}

bool MoveToUniqueName(const std::wstring& from, const std::wstring& namedAfter,
                      const wchar_t* kind) {
  for (int attempt = 0; attempt < kUniqueNameTries; ++attempt) {
    if (MoveFileW(from.c_str(), UniqueSiblingName(namedAfter, kind, attempt).c_str())) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

std::wstring FinalPath(HANDLE handle) {
  std::wstring path(kPathCapacity, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                           FILE_NAME_NORMALIZED);
  if (length >= path.size()) {
    path.resize(length + 1);
    length = GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                       FILE_NAME_NORMALIZED);
  }
  path.resize(length < path.size() ? length : 0);
  return path;
}

namespace {
KernelHandle OpenForQuery(const std::wstring& path) {
  return OpenFile(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
}
}  // namespace

bool IsAtItsOwnName(const std::wstring& path) {
  const KernelHandle file = OpenForQuery(path), folder = OpenForQuery(ParentFolder(path));
  if (!file.IsValid() || !folder.IsValid()) return false;
  const std::wstring filePath = FinalPath(file.Get()), folderPath = FinalPath(folder.Get());
  const size_t slash = path.find_last_of(L"\\/");
  return !filePath.empty() && !folderPath.empty() && slash != std::wstring::npos &&
         CompareAsFileNames(filePath, JoinPath(folderPath, path.substr(slash + 1))) == 0;
}

bool ClearReadOnly(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) return true;
  return !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsAtItsOwnName(path) &&
         SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

bool ClearName(const std::wstring& path, const wchar_t* kind) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsAtItsOwnName(path)) return false;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return MoveToUniqueName(path, path, kind);
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  return DeleteFileW(path.c_str()) != FALSE;
}

bool IsLinkAt(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
         (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsAtItsOwnName(path));
}
