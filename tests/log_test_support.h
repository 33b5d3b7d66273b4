#pragma once

// Shared by the logger's in-process tests: log file reading and a guard that puts the logger's
// static state back the way a fresh process has it.

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log/log_internal.h"
#include "tests/e2e/support.h"

namespace logtest {

using TempFolder = e2e::TempDir;
using e2e::Exists;
using e2e::RemoveTree;

inline std::string ReadBytes(const std::wstring& path) { return e2e::ReadFileOrEmpty(path); }
inline void WriteBytes(const std::wstring& path, const std::string& bytes) {
  e2e::WriteFileBytes(path, bytes);
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

using e2e::HasTimestampPrefix;
// The messages of a log file: each line without timestamp and LF. A line without a timestamp is
// kept whole and prefixed with "!" so that comparisons show it.
inline std::vector<std::string> ReadMessages(const std::wstring& path) {
  std::vector<std::string> messages;
  for (const std::string& line : SplitLines(ReadBytes(path)))
    messages.push_back(HasTimestampPrefix(line) ? line.substr(20) : "!" + line);
  return messages;
}

inline std::string Banner(const char* banner) {
  std::string text = banner;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// Puts the logger back into its process-start state, at the start and at the end of a test.
// Declare it after the folders and files it has to close the log and the library in.
class LogStateGuard {
 public:
  LogStateGuard() { LogTestSeam::Reset(); }
  ~LogStateGuard() { LogTestSeam::Reset(); }
  LogStateGuard(const LogStateGuard&) = delete;
  LogStateGuard& operator=(const LogStateGuard&) = delete;
};

}  // namespace logtest
