#pragma once

#include <windows.h>

#include <string>

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

// True for an existing folder (a link to one included).
bool IsFolder(const std::wstring& path);

// The machine's common application-data folder with its backslash, created when `create` and
// missing. Empty when the platform has none: callers must never fall back to a relative path.
std::wstring CommonAppDataFolder(bool create);
