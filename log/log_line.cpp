#include <climits>
#include <cwchar>

#include "log/log_internal.h"

const char kBeginBanner[] = "**************************BEGAIN***********************\n";
const char kEndBanner[] = "**************************END******************************\n";
const char kNewFileBanner[] = "*******NewFile***********";

namespace {
// "%0*u" by hand: the C library's printf costs more than the rest of a line.
void AppendNumber(std::string& text, unsigned value, size_t width) {
  char digits[10];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (width > count) text.append(width - count, '0');
  while (count > 0) text.push_back(digits[--count]);
}

// UTF-8 of `text` up to its first NUL, measured first.
std::string ToUtf8Measured(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return std::string();
  std::string utf8(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], bytes, nullptr, nullptr);
  utf8.resize(utf8.find('\0'));
  return utf8;
}
}  // namespace

std::string BuildLogLine(const SYSTEMTIME& time, std::string message) {
  constexpr size_t kStampLength = 20;  // "MM-DD hh:mm:ss:mmm: "
  std::string line;
  line.reserve(kStampLength + message.size() + 1);
  AppendNumber(line, time.wMonth, 2);
  line.push_back('-');
  AppendNumber(line, time.wDay, 2);
  line.push_back(' ');
  AppendNumber(line, time.wHour, 2);
  line.push_back(':');
  AppendNumber(line, time.wMinute, 2);
  line.push_back(':');
  AppendNumber(line, time.wSecond, 2);
  line.push_back(':');
  AppendNumber(line, time.wMilliseconds, 3);
  line += ": ";
  line += message;
  // An empty message still gets its LF, so that the next line does not start mid-line.
  if (message.empty() || message.back() != '\n') line.push_back('\n');
  return line;
}

std::wstring FormatLogMessage(const wchar_t* format, va_list args) {
  // _vscwprintf and _vsnwprintf keep the platform's "%s" (a wide string) in wide formats.
  // One pass into the stack covers nearly every line; only a longer one is measured first.
  constexpr int kShortCapacity = 512;
  wchar_t shortText[kShortCapacity];
  va_list attempt;
  va_copy(attempt, args);
  const int shortLength = _vsnwprintf(shortText, kShortCapacity, format, attempt);
  va_end(attempt);
  if (shortLength >= 0 && shortLength < kShortCapacity) return std::wstring(shortText, shortLength);

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
  const size_t units = wcslen(text.c_str());
  // Three bytes per UTF-16 unit always suffice (a surrogate pair takes four for two units), so
  // one conversion does instead of measuring first.
  constexpr size_t kMaxUnits = INT_MAX / 3;
  if (units == 0) return std::string();
  if (units > kMaxUnits) return ToUtf8Measured(text);
  std::string utf8(3 * units, '\0');
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(units),
                                        &utf8[0], static_cast<int>(utf8.size()), nullptr, nullptr);
  if (bytes <= 0) return std::string();
  utf8.resize(static_cast<size_t>(bytes));
  return utf8;
}
