#include "product/deployment.h"

#include <shlobj.h>

#include <json/json.h>

#include "package/conf.h"
#include "package/layout.h"
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

DWORD KeepPackage(const std::string& packageId, const std::wstring& packageDir,
                  std::wstring& failedAt) {
  const std::wstring base = ProgramFilesFolder();
  failedAt = base;
  if (base.empty() || packageId.empty()) return ERROR_PATH_NOT_FOUND;
  const TrustVerdict made =
      MakeTrustedFolderChain(base, KeptChain(packageId) + L"\\" + kPatchFolderName);
  if (made.refusal != TrustRefusal::kNone) {
    failedAt = made.path;
    return made.refusal == TrustRefusal::kMissing ? GetLastError() : ERROR_ACCESS_DENIED;
  }
  const std::wstring kept = base + KeptChain(packageId);
  const struct {
    std::wstring from, to;
    bool needed;
  } copies[] = {
      {ConfPathOf(PatchFolderOf(packageDir)), ConfPathOf(PatchFolderOf(kept)), true},
      {JoinPath(packageDir, kDeployProgram), JoinPath(kept, kDeployProgram), false},
  };
  for (const auto& copy : copies) {
    if (!copy.needed && GetFileAttributesW(copy.from.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    if (!CopyFileW(copy.from.c_str(), copy.to.c_str(), FALSE)) {
      failedAt = copy.to;
      return GetLastError();
    }
  }
  return ERROR_SUCCESS;
}

DWORD RemoveKeptPackage(const std::string& packageId) {
  const std::wstring kept = KeptPackageFolder(packageId);
  if (kept.empty() || packageId.empty()) return ERROR_SUCCESS;
  DWORD result = ERROR_SUCCESS;
  const struct {
    std::wstring path;
    bool folder;
  } parts[] = {{ConfPathOf(PatchFolderOf(kept)), false},
               {PatchFolderOf(kept), true},
               {JoinPath(kept, kDeployProgram), false},
               {kept, true}};
  for (const auto& part : parts) {
    const DWORD error = RemoveNowOrAtRestart(part.path, part.folder);
    if (result == ERROR_SUCCESS) result = error;
  }
  return result;
}

UpdateFacts UpdateFactsOf(const std::string& confText) {
  UpdateFacts facts;
  Json::Value root;
  if (!Json::Reader().parse(BlankJsonComments(confText), root, false) || !root.isObject())
    return facts;
  const struct {
    const char* member;
    std::string& text;
  } members[] = {{"name", facts.name}, {"version", facts.version}, {"publisher", facts.publisher}};
  for (const auto& member : members) {
    const Json::Value& value = root[member.member];
    if (value.isString()) member.text = value.asString();
  }
  return facts;
}

std::wstring UpdateDisplayName(const UpdateFacts& facts, const std::string& packageId) {
  if (!facts.name.empty()) return WidenUtf8(facts.name);
  return std::wstring(kProductDisplayName) + L" patch " + WidenUtf8(packageId.substr(0, 12));
}

std::wstring InstallDateOf(const std::wstring& recordTime) {
  if (recordTime.size() < 10 || recordTime[4] != L'-' || recordTime[7] != L'-') return {};
  std::wstring date = recordTime.substr(0, 4) + recordTime.substr(5, 2) + recordTime.substr(8, 2);
  if (date.find_first_not_of(L"0123456789") != std::wstring::npos) return {};
  return date;
}

LONG RegisterUpdate(const std::string& packageId, const RunRecord& record,
                    const UpdateFacts& facts) {
  RegistryKey key;
  LONG result = key.Create(std::wstring(kUninstallKey) + L"\\" + UpdateKeyName(packageId));
  if (result != ERROR_SUCCESS) return result;
  const std::wstring uninstall =
      L"\"" + JoinPath(KeptPackageFolder(packageId), kDeployProgram) + L"\" uninstall";
  const struct {
    const wchar_t* name;
    std::wstring text;
  } strings[] = {{L"DisplayName", UpdateDisplayName(facts, packageId)},
                 {L"DisplayVersion", WidenUtf8(facts.version)},
                 {L"Publisher", WidenUtf8(facts.publisher)},
                 {L"ParentKeyName", kProductDisplayName},
                 {L"ParentDisplayName", kProductDisplayName},
                 {L"InstallDate", InstallDateOf(record.ended)},
                 {L"InstallLocation", record.installDir},
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
