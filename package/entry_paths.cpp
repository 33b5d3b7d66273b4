#include "package/entry_paths.h"

#include <windows.h>

#include <algorithm>

#include "platform/paths.h"
#include "platform/text.h"

namespace {
bool IsDeviceName(const std::wstring& name) {
  for (const wchar_t* device : {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"}) {
    if (EqualsIgnoringAsciiCase(name, device)) return true;
  }
  // COM0 to COM9 and LPT0 to LPT9, and the superscript digits newer systems also take.
  if (name.size() != 4) return false;
  const std::wstring stem = FoldAsciiCase(name.substr(0, 3));
  const wchar_t digit = name[3];
  return (stem == L"com" || stem == L"lpt") &&
         ((digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
          digit == L'\u00B3');
}
}  // namespace

bool NamesDeviceOrStream(const std::wstring& dest) {
  if (dest.find(L':') != std::wstring::npos) return true;
  const size_t slash = dest.find_last_of(L"\\/");
  std::wstring name = dest.substr(slash == std::wstring::npos ? 0 : slash + 1);
  // The device is the part before the first dot, trailing spaces dropped ("nul .txt").
  name.resize(std::min(name.find(L'.'), name.size()));
  while (!name.empty() && name.back() == L' ') name.pop_back();
  return IsDeviceName(name);
}

bool HoldsControlCharacter(const std::wstring& text) {
  for (const wchar_t c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

EntryPaths FormEntryPaths(const PatchEntry& entry, const std::wstring& patchFolder,
                          const std::wstring& installDir) {
  std::wstring patchBase = patchFolder;
  AppendBackslashIfMissing(patchBase);
  std::wstring installBase = installDir;
  AppendBackslashIfMissing(installBase);
  const std::wstring dest = WidenUtf8(entry.dest);
  EntryPaths paths;
  const std::wstring src = WidenUtf8(entry.src);
  paths.kind = entry.kind;
  if (entry.kind == EntryKind::kCopy) paths.source = patchBase + src;
  paths.destination = installBase + dest;
  paths.backup = paths.destination + kBackupSuffix;
  paths.partial = paths.destination + kPartialSuffix;
  if (entry.encoding == Encoding::kDifference)
    paths.base = entry.base.empty() ? paths.destination : installBase + WidenUtf8(entry.base);
  paths.deviceOrStream = NamesDeviceOrStream(dest);
  paths.controlCharacter = HoldsControlCharacter(src) || HoldsControlCharacter(dest) ||
                           HoldsControlCharacter(WidenUtf8(entry.base));
  return paths;
}
