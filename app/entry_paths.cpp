#include "app/entry_paths.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "platform/paths.h"

namespace {
wchar_t FoldAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool IsDeviceName(const std::wstring& name) {
  static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* device : kDevices) {
    if (name.size() == wcslen(device) &&
        std::equal(name.begin(), name.end(), device, [](wchar_t a, wchar_t b) { return FoldAscii(a) == b; })) {
      return true;
    }
  }
  // COM0 to COM9 and LPT0 to LPT9, and the superscript digits newer systems also take.
  if (name.size() != 4) return false;
  const std::wstring stem = {FoldAscii(name[0]), FoldAscii(name[1]), FoldAscii(name[2])};
  const wchar_t digit = name[3];
  return (stem == L"COM" || stem == L"LPT") &&
         ((digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3');
}
}  // namespace

std::wstring WidenUtf8(const std::string& utf8) {
  // An explicit length: a text that ends in a cut-off sequence must not lose its last character.
  const int bytes = static_cast<int>(strnlen(utf8.c_str(), utf8.size()));
  if (bytes == 0) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), bytes, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), bytes, &wide[0], length);
  return wide;
}

bool NamesDeviceOrStream(const std::wstring& dest) {
  if (dest.find(L':') != std::wstring::npos) return true;
  const size_t slash = dest.find_last_of(L"\\/");
  std::wstring name = dest.substr(slash == std::wstring::npos ? 0 : slash + 1);
  // The device is the part before the first dot, trailing spaces dropped ("nul .txt").
  name.resize(std::min(name.find(L'.'), name.size()));
  while (!name.empty() && name.back() == L' ') name.pop_back();
  return IsDeviceName(name);
}

EntryPaths FormEntryPaths(const PatchEntry& entry, const std::wstring& patchFolder,
                          const std::wstring& installDir) {
  std::wstring patchBase = patchFolder;
  AppendBackslashIfMissing(patchBase);
  std::wstring installBase = installDir;
  AppendBackslashIfMissing(installBase);
  const std::wstring dest = WidenUtf8(entry.dest);
  EntryPaths paths;
  paths.source = patchBase + WidenUtf8(entry.src);
  paths.destination = installBase + dest;
  paths.backup = paths.destination + kBackupSuffix;
  paths.partial = paths.destination + kPartialSuffix;
  paths.deviceOrStream = NamesDeviceOrStream(dest);
  return paths;
}
