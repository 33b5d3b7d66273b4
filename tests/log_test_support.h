#pragma once

// Shared by the logger's in-process tests: a temporary folder, whole-file reads and a guard
// that puts the logger's static state back the way a fresh process has it.

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log/log_internal.h"

namespace logtest {

// A fresh folder under the temp folder, removed with its content at the end.
class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, base);
    static int sequence = 0;
    path_ = std::wstring(base) + L"logtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++sequence);
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~TempFolder() { RemoveTree(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }
  const std::wstring& Path() const { return path_; }

  static void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = path + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTree(child);
        } else {
          SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileW(child.c_str());
        }
      } while (FindNextFileW(find, &entry));
      FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
  }

 private:
  std::wstring path_;
};

inline std::string ReadBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
  CloseHandle(file);
  return bytes;
}

inline void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot create the test file";
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

// Makes `path` a file of `size` bytes: `head` followed by zeros, extended without writing them.
inline void MakeFileOfSize(const std::wstring& path, const std::string& head, uint64_t size) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot create the test file";
  DWORD written = 0;
  WriteFile(file, head.data(), static_cast<DWORD>(head.size()), &written, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  const bool extended = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  ASSERT_TRUE(extended) << "cannot extend the test file to " << size << " bytes";
}

inline bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The file's lines, each with its LF removed; a last part without LF is kept as it is, so a
// torn end shows up as a line of its own.
inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// True when `line` starts with "MM-DD hh:mm:ss:mmm: ".
inline bool HasTimestamp(const std::string& line) {
  static const char kShape[] = "00-00 00:00:00:000: ";
  if (line.size() < sizeof(kShape) - 1) return false;
  for (size_t i = 0; i + 1 < sizeof(kShape); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (kShape[i] == '0' ? !digit : line[i] != kShape[i]) return false;
  }
  return true;
}

// The messages of a log file: each line without timestamp and LF. A line without a timestamp is
// kept whole and prefixed with "!" so that comparisons show it.
inline std::vector<std::string> ReadMessages(const std::wstring& path) {
  std::vector<std::string> messages;
  for (const std::string& line : SplitLines(ReadBytes(path)))
    messages.push_back(HasTimestamp(line) ? line.substr(20) : "!" + line);
  return messages;
}

inline std::string Banner(const char* banner) {
  std::string text = banner;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// Puts the logger back into its process-start state, at the start and at the end of a test.
class LogStateGuard {
 public:
  LogStateGuard() { Reset(); }
  ~LogStateGuard() {
    while (LOG_CONSOLE::InitCount > 0) LOG_CONSOLE::CloseLog();
    Reset();
  }
  LogStateGuard(const LogStateGuard&) = delete;
  LogStateGuard& operator=(const LogStateGuard&) = delete;

 private:
  static void Reset() {
    LOG_CONSOLE::InitCount = 0;
    LOG_CONSOLE::WriterCount = 0;
    LOG_CONSOLE::SizeLimit = 0;
    LOG_CONSOLE::LastSizeCheckTick = GetTickCount();
    LOG_CONSOLE::BannerEnabled = 0;
    LOG_CONSOLE::LazyOpenGuard = 0;
    LogEnabled = 0;
  }
};

// Makes the next line's size check due at once.
inline void MakeSizeCheckDue() {
  LOG_CONSOLE::LastSizeCheckTick = GetTickCount() - LOG_CONSOLE::kSizeCheckIntervalMs - 1;
}

}  // namespace logtest
