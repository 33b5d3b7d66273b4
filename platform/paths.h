#pragma once

#include <string>

// Folder of the running executable, canonical, ending in a backslash (C:\Pkg\ for
// C:\Pkg\setup.exe, C:\ for C:\setup.exe). Never fails loudly: on failure the text is empty
// or names no folder of the executable, and the caller tests it.
std::wstring GetModuleDirectory();

// The path with its "." and ".." segments resolved; a trailing backslash is kept. Empty when
// the platform writes nothing.
std::wstring CanonicalizePath(const std::wstring& path);

// Appends one backslash unless the text is empty or already ends in one.
void AppendBackslashIfMissing(std::wstring& path);
