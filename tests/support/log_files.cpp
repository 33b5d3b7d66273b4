#include "tests/support/log_files.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/paths.h"
#include "tests/support/files.h"

namespace testsupport {

std::wstring LogFolder() { return CommonAppDataFolder(false) + kLogFolderChain; }

std::wstring LogPath() { return LogFolder() + L"\\patch_patch.log"; }

void ClearLog() {
  for (const std::wstring& path : {LogPath(), LogPath() + L".old"}) {
    if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
        GetLastError() != ERROR_PATH_NOT_FOUND) {
      ADD_FAILURE() << LastErrorText("DeleteFileW", path);
    }
  }
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> ReadMessages(const std::wstring& path) {
  std::vector<std::string> messages;
  for (const std::string& line : SplitLines(ReadBytes(path))) {
    messages.push_back(HasLogStamp(line) ? line.substr(kLogStampLength) : "!" + line);
  }
  return messages;
}

std::string Banner(const char* banner) {
  std::string text = banner;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& part) {
  return static_cast<size_t>(
      std::count_if(lines.begin(), lines.end(),
                    [&](const std::string& line) { return line.find(part) != std::string::npos; }));
}

}  // namespace testsupport
