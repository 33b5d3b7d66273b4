#include "product/deployment.h"

#include <shlobj.h>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/trust.h"

namespace {
std::wstring ProgramFilesFolder() {
  wchar_t folder[MAX_PATH + 1] = {};
  if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_PROGRAM_FILES, FALSE) || folder[0] == 0)
    return std::wstring();
  std::wstring base = folder;
  AppendBackslashIfMissing(base);
  return base;
}

std::wstring KeptChain(const std::string& packageId) {
  return std::wstring(kKeptPackagesChain) + L"\\" + WidenUtf8(packageId);
}

// Removes `path` now, or, when it is in use, at the next restart.
DWORD RemoveNowOrAtRestart(const std::wstring& path, bool folder) {
  const BOOL removed = folder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
  if (removed) return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ERROR_SUCCESS;
  return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? ERROR_SUCCESS
                                                                         : GetLastError();
}
}  // namespace

std::wstring KeptPackageFolder(const std::string& packageId) {
  const std::wstring base = ProgramFilesFolder();
  return base.empty() ? base : base + KeptChain(packageId);
}

DWORD KeepPackage(const std::string& packageId, const std::vector<KeptFile>& files,
                  std::wstring& failedAt) {
  const std::wstring base = ProgramFilesFolder();
  failedAt = base;
  if (base.empty() || packageId.empty()) return ERROR_PATH_NOT_FOUND;
  const std::wstring kept = base + KeptChain(packageId);
  for (const KeptFile& file : files) {
    if (file.optional && GetFileAttributesW(file.source.c_str()) == INVALID_FILE_ATTRIBUTES)
      continue;
    const size_t slash = file.relative.find_last_of(L'\\');
    const std::wstring folder =
        KeptChain(packageId) +
        (slash == std::wstring::npos ? std::wstring() : L"\\" + file.relative.substr(0, slash));
    const TrustVerdict made = MakeTrustedFolderChain(base, folder);
    if (made.refusal != TrustRefusal::kNone) {
      failedAt = made.path;
      return made.refusal == TrustRefusal::kMissing ? GetLastError() : ERROR_ACCESS_DENIED;
    }
    const std::wstring target = JoinPath(kept, file.relative);
    if (!CopyFileW(file.source.c_str(), target.c_str(), FALSE)) {
      failedAt = target;
      return GetLastError();
    }
  }
  return ERROR_SUCCESS;
}

namespace {
// Removes what `folder` holds, then `folder`; a link is removed itself, never followed.
DWORD RemoveFolderTree(const std::wstring& folder) {
  DWORD result = ERROR_SUCCESS;
  WIN32_FIND_DATAW found = {};
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      const bool isLink = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      const DWORD error =
          isFolder && !isLink ? RemoveFolderTree(path) : RemoveNowOrAtRestart(path, isFolder);
      if (result == ERROR_SUCCESS) result = error;
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  const DWORD error = RemoveNowOrAtRestart(folder, true);
  return result == ERROR_SUCCESS ? error : result;
}
}  // namespace

DWORD RemoveKeptPackage(const std::string& packageId) {
  const std::wstring kept = KeptPackageFolder(packageId);
  if (kept.empty() || packageId.empty()) return ERROR_SUCCESS;
  if (GetFileAttributesW(kept.c_str()) == INVALID_FILE_ATTRIBUTES) return ERROR_SUCCESS;
  return RemoveFolderTree(kept);
}

std::wstring UpdateDisplayName(const std::wstring& name, const std::string& packageId) {
  if (!name.empty()) return name;
  return std::wstring(kProductDisplayName) + L" patch " + WidenUtf8(packageId.substr(0, 12));
}

std::wstring InstallDateOf(const std::wstring& recordTime) {
  if (recordTime.size() < 10 || recordTime[4] != L'-' || recordTime[7] != L'-') return {};
  std::wstring date = recordTime.substr(0, 4) + recordTime.substr(5, 2) + recordTime.substr(8, 2);
  if (date.find_first_not_of(L"0123456789") != std::wstring::npos) return {};
  return date;
}

LONG RegisterUpdate(const std::string& packageId, const UpdateFacts& facts) {
  RegistryKey key;
  LONG result = key.Create(std::wstring(kUninstallKey) + L"\\" + UpdateKeyName(packageId));
  if (result != ERROR_SUCCESS) return result;
  const std::wstring uninstall =
      L"\"" + JoinPath(KeptPackageFolder(packageId), kDeployProgram) + L"\" uninstall";
  const struct {
    const wchar_t* name;
    std::wstring text;
  } strings[] = {{L"DisplayName", UpdateDisplayName(facts.name, packageId)},
                 {L"DisplayVersion", facts.version},
                 {L"Publisher", facts.publisher},
                 {L"ParentKeyName", kProductDisplayName},
                 {L"ParentDisplayName", kProductDisplayName},
                 {L"InstallDate", InstallDateOf(facts.applied)},
                 {L"InstallLocation", facts.installDir},
                 {L"UninstallString", uninstall},
                 {L"QuietUninstallString", uninstall},
                 {L"ReleaseType", L"Update"}};
  for (const auto& value : strings) {
    if (result != ERROR_SUCCESS) break;
    result = value.text.empty() ? key.DeleteValue(value.name)
                                : key.WriteString(value.name, value.text);
  }
  if (result == ERROR_SUCCESS) result = key.WriteNumber(L"NoModify", 1);
  if (result == ERROR_SUCCESS) result = key.WriteNumber(L"NoRepair", 1);
  return result;
}

LONG RemoveUpdate(const std::string& packageId) {
  const std::wstring path = std::wstring(kUninstallKey) + L"\\" + UpdateKeyName(packageId);
  const LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
  return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}
