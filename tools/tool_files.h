#pragma once

#include <string>

// Whole-file reading and all-or-nothing replacement for the package tools.

// False with a sentence in `error` when the file cannot be read whole.
bool ReadWholeFile(const std::wstring& path, std::string& bytes, std::string& error);

// Writes a temporary file beside `path` and renames it over `path`, so that a failure never
// leaves a partial file.
bool ReplaceWholeFile(const std::wstring& path, const std::string& bytes, std::string& error);
