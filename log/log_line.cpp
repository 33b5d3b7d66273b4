#include <cstdio>

#include "log/log_internal.h"

const char kBeginBanner[] = "**************************BEGAIN***********************\n";
const char kEndBanner[] = "**************************END******************************\n";
const char kNewFileBanner[] = "*******NewFile***********";

std::string BuildLogLine(const SYSTEMTIME& time, std::string message) {
  // An empty message still gets its LF, so that the next line does not start mid-line.
  if (message.empty() || message.back() != '\n') message.push_back('\n');
  char stamp[32] = {};
  snprintf(stamp, sizeof(stamp), "%02u-%02u %02u:%02u:%02u:%03u: ",
           static_cast<unsigned>(time.wMonth), static_cast<unsigned>(time.wDay),
           static_cast<unsigned>(time.wHour), static_cast<unsigned>(time.wMinute),
           static_cast<unsigned>(time.wSecond), static_cast<unsigned>(time.wMilliseconds));
  return stamp + message;
}

std::wstring FormatLogMessage(const wchar_t* format, va_list args) {
  // _vscwprintf and _vsnwprintf keep the platform's "%s" (a wide string) in wide formats.
  va_list measure;
  va_copy(measure, args);
  const int length = _vscwprintf(format, measure);
  va_end(measure);
  if (length <= 0) return std::wstring();
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  va_list write;
  va_copy(write, args);
  const int written = _vsnwprintf(&text[0], text.size(), format, write);
  va_end(write);
  if (written < 0) return std::wstring();
  text.resize(static_cast<size_t>(written));
  return text;
}

std::string ToUtf8(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return std::string();
  std::string utf8(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], bytes, nullptr, nullptr);
  utf8.resize(utf8.find('\0'));
  return utf8;
}
