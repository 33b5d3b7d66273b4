#pragma once

#include <cstddef>
#include <string>

// Text conversion and comparison shared by the runner, its tools and their tests. UTF-8 is
// code page 65001 without flags: invalid and cut-off sequences become U+FFFD, and so does a lone
// surrogate on the way back.

// `length` bytes of UTF-8 as UTF-16; an explicit length, so that a text ending in a cut-off
// sequence keeps its last character.
std::wstring WidenUtf8(const char* utf8, size_t length);
// The UTF-8 text up to its first zero.
std::wstring WidenUtf8(const std::string& utf8);

// `length` UTF-16 units as UTF-8.
std::string NarrowToUtf8(const wchar_t* text, size_t length);
std::string NarrowToUtf8(const std::wstring& text);

// Bytes as lower-case hex digits, two per byte, and back (hex digits of either case; empty for
// anything that is not an even number of hex digits).
std::string HexOfBytes(const std::string& bytes);
std::string BytesOfHex(const std::string& hex);

// A to Z become a to z; every other unit stays as it is (the comparison Windows programs use
// for image and file names where no locale may play a part).
wchar_t FoldAsciiCase(wchar_t c);
std::wstring FoldAsciiCase(std::wstring text);
// Equal over the whole length with only A to Z folded.
bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b);

// File names as the file system compares them: ordinal, without regard to case (all scripts,
// not only A to Z). Negative, zero or positive, like wcscmp.
int CompareAsFileNames(const std::wstring& a, const std::wstring& b);
struct FileNameLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    return CompareAsFileNames(a, b) < 0;
  }
};
