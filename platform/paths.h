#pragma once

#include <windows.h>

#include <cwchar>
#include <string>

#include "platform/handle.h"

// Fixed path buffers hold 260 characters told to the platform plus one unit it never writes, so
// that the text is always terminated, also when the platform cuts a path at the capacity.
constexpr DWORD kPathCapacity = MAX_PATH;

// Folder of the running executable, canonical, ending in a backslash (C:\Pkg\ for
// C:\Pkg\setup.exe, C:\ for C:\setup.exe). Never fails loudly: on failure the text is empty
// or names no folder of the executable, and the caller tests it.
std::wstring GetModuleDirectory();

// The path with its "." and ".." segments resolved; a trailing backslash is kept. Empty when
// the platform writes nothing.
std::wstring CanonicalizePath(const std::wstring& path);

// Appends one backslash unless the text is empty or already ends in one.
void AppendBackslashIfMissing(std::wstring& path);

// The path without its last part and that part's separator ("C:\a\b" gives "C:\a"); empty
// when there is no separator. A trailing separator counts as the last one.
std::wstring ParentFolder(const std::wstring& path);

// `folder` and `name` with one backslash between them (none added after an empty folder or one
// that ends in a backslash).
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);

// Calls `visit(const WIN32_FIND_DATAW&)` for each entry that `pattern` (wildcards in its last
// part only) matches, "." and ".." left out. True when the listing ran to its end, also when
// nothing matched; false with the platform's code in `error` otherwise.
template <typename Visit>
bool ForEachMatch(const std::wstring& pattern, Visit visit, DWORD& error) {
  error = 0;
  WIN32_FIND_DATAW found;
  const FindHandle search(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
  if (!search.IsValid()) {
    error = GetLastError();
    // Nothing matched, or an empty drive root.
    return error == ERROR_FILE_NOT_FOUND;
  }
  do {
    if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0)
      visit(static_cast<const WIN32_FIND_DATAW&>(found));
  } while (FindNextFileW(search.Get(), &found));
  error = GetLastError();
  if (error != ERROR_NO_MORE_FILES) return false;
  error = 0;
  return true;
}

// True for an existing folder (a link to one included).
bool IsFolder(const std::wstring& path);

// The path as the platform's file calls take it whatever its length: one of 260 characters or
// more in its "\\?\" form, made absolute with its separators and dots resolved first (the
// platform takes that form as it is); a shorter one unchanged.
std::wstring LongPathForm(const std::wstring& path);

// The machine's common application-data folder with its backslash, created when `create` and
// missing. Empty when the platform has none: callers must never fall back to a relative path.
std::wstring CommonAppDataFolder(bool create);
