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

std::string HexOfBytes(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * bytes.size());
  for (const char byte : bytes) {
    hex.push_back(kDigits[static_cast<unsigned char>(byte) >> 4]);
    hex.push_back(kDigits[static_cast<unsigned char>(byte) & 0x0F]);
  }
  return hex;
}

std::string BytesOfHex(const std::string& hex) {
  const auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (hex.size() % 2 != 0) return std::string();
  std::string bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = digit(hex[i]), low = digit(hex[i + 1]);
    if (high < 0 || low < 0) return std::string();
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}
