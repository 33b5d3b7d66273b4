#include "platform/text.h"

#include <windows.h>

#include <climits>
#include <cstring>

std::wstring WidenUtf8(const char* utf8, size_t length) {
  if (length == 0 || length > INT_MAX) return std::wstring();
  const int bytes = static_cast<int>(length);
  const int units = MultiByteToWideChar(CP_UTF8, 0, utf8, bytes, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, bytes, &wide[0], units);
  return wide;
}

std::wstring WidenUtf8(const std::string& utf8) {
  return WidenUtf8(utf8.c_str(), strnlen(utf8.c_str(), utf8.size()));
}

std::string NarrowToUtf8(const wchar_t* text, size_t length) {
  // Three bytes per UTF-16 unit always suffice (a surrogate pair takes four for two units), so
  // one conversion does instead of measuring first; the log converts every line.
  if (length == 0 || length > INT_MAX / 3) return std::string();
  std::string utf8(3 * length, '\0');
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &utf8[0],
                                        static_cast<int>(utf8.size()), nullptr, nullptr);
  utf8.resize(bytes > 0 ? static_cast<size_t>(bytes) : 0);
  return utf8;
}

std::string NarrowToUtf8(const std::wstring& text) {
  return NarrowToUtf8(text.data(), text.size());
}

wchar_t FoldAsciiCase(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring FoldAsciiCase(std::wstring text) {
  for (wchar_t& c : text) c = FoldAsciiCase(c);
  return text;
}

int CompareAsFileNames(const std::wstring& a, const std::wstring& b) {
  if (a.size() > INT_MAX || b.size() > INT_MAX) return a.compare(b);
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) -
         CSTR_EQUAL;
}

bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i])) return false;
  }
  return true;
}
