#include "platform/paths.h"

#include <shlobj.h>
#include <shlwapi.h>

std::wstring GetModuleDirectory() {
  wchar_t buffer[kPathCapacity + 1] = {};
  GetModuleFileNameW(nullptr, buffer, kPathCapacity);
  PathRemoveFileSpecW(buffer);
  PathAddBackslashW(buffer);
  return CanonicalizePath(buffer);
}

std::wstring CanonicalizePath(const std::wstring& path) {
  // Some implementations of PathCanonicalizeW write past MAX_PATH for a longer source.
  if (path.size() >= kPathCapacity) return std::wstring();
  wchar_t buffer[kPathCapacity + 1] = {};
  PathCanonicalizeW(buffer, path.c_str());
  return buffer;
}

void AppendBackslashIfMissing(std::wstring& path) {
  if (!path.empty() && path.back() != L'\\') path.push_back(L'\\');
}

std::wstring ParentFolder(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
  std::wstring joined = folder;
  AppendBackslashIfMissing(joined);
  return joined + name;
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring LongPathForm(const std::wstring& path) {
  if (path.size() < kPathCapacity || path.compare(0, 4, L"\\\\?\\") == 0) return path;
  std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
  const DWORD length =
      full.empty() ? 0 : GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0],
                                          nullptr);
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::wstring CommonAppDataFolder(bool create) {
  wchar_t folder[kPathCapacity + 1] = {};
  if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, create ? TRUE : FALSE) ||
      folder[0] == L'\0') {
    return std::wstring();
  }
  std::wstring base = folder;
  AppendBackslashIfMissing(base);
  return base;
}
