#pragma once

// Reads what the stand-in hook library recorded: one (message, tag) pair per call.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace logtest {

using HookCall = std::pair<std::wstring, std::wstring>;

inline std::vector<HookCall> ReadHookCalls(const std::wstring& recordPath) {
  std::vector<HookCall> calls;
  HANDLE file = CreateFileW(recordPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return calls;
  std::wstring text;
  wchar_t buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
    text.append(buffer, read / sizeof(wchar_t));
  CloseHandle(file);
  size_t start = 0;
  for (size_t end; (end = text.find(wchar_t(0x1E), start)) != std::wstring::npos; start = end + 1) {
    const std::wstring record = text.substr(start, end - start);
    const size_t split = record.find(wchar_t(0x1F));
    calls.emplace_back(record.substr(0, split),
                       split == std::wstring::npos ? L"<no tag>" : record.substr(split + 1));
  }
  return calls;
}

}  // namespace logtest
