#include "app/entry_paths.h"

#include <windows.h>

#include "platform/paths.h"

std::wstring WidenUtf8(const std::string& utf8) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (length <= 1) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], length);
  wide.resize(static_cast<size_t>(length) - 1);
  return wide;
}

EntryPaths FormEntryPaths(const PatchEntry& entry, const std::wstring& patchFolder,
                          const std::wstring& installDir) {
  std::wstring patchBase = patchFolder;
  AppendBackslashIfMissing(patchBase);
  std::wstring installBase = installDir;
  AppendBackslashIfMissing(installBase);
  EntryPaths paths;
  paths.source = patchBase + WidenUtf8(entry.src);
  paths.destination = installBase + WidenUtf8(entry.dest);
  paths.backup = paths.destination + kBackupSuffix;
  return paths;
}
