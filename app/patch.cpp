#include "app/patch.h"

#include <windows.h>
#include <shlwapi.h>

#include <vector>

#include "log/log.h"
#include "platform/paths.h"
#include "process/command.h"
#include "process/kill.h"

namespace {

constexpr wchar_t kMainProgram[] = L"PelliWareden.exe";
constexpr wchar_t kDownloader[] = L"VyxDL.exe";
constexpr wchar_t kBackupSuffix[] = L".220620.patch.bak";

bool PathExists(const std::wstring& path) { return PathFileExistsW(path.c_str()) != FALSE; }

// The whole byte string up to its terminating zero; invalid sequences become U+FFFD.
std::wstring WidenUtf8(const std::string& utf8) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (length <= 1) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], length);
  wide.resize(static_cast<size_t>(length) - 1);
  return wide;
}

// The product must never be left without a file it had: after a failed copy the moved-aside
// original goes back. Both outcomes are failures of the run, hence "Error" lines.
void PutBackupBack(const std::wstring& backupPath, const std::wstring& destPath) {
  if (MoveFileExW(backupPath.c_str(), destPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    LOG_FAILURE(L"[%s]Copy failed, original moved back, from[%s] to[%s].", backupPath, destPath);
    return;
  }
  const DWORD error = GetLastError();
  LOG_FAILURE(L"[%s]Move original back failed, from[%s] to[%s], err:%u.", backupPath, destPath,
              error);
}

// False after the first failed move or copy; later entries are not looked at.
bool ApplyEntries(const PatchList& list, const std::wstring& patchBase,
                  const std::wstring& installBase) {
  for (const PatchEntry& entry : list) {
    const std::wstring sourcePath = patchBase + WidenUtf8(entry.src);
    if (!PathExists(sourcePath)) {
      LOG_FAILURE(L"[%s]Patch file[%s] is not exist.", sourcePath);
      continue;
    }
    const std::wstring destPath = installBase + WidenUtf8(entry.dest);
    std::wstring backupPath;
    if (PathExists(destPath)) {
      backupPath = destPath + kBackupSuffix;
      // An existing backup means an earlier run already replaced this file.
      if (PathExists(backupPath)) continue;
      if (!MoveFileExW(destPath.c_str(), backupPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        LOG_FAILURE(L"[%s]Move file failed, from[%s] to[%s].", destPath, backupPath);
        return false;
      }
      LOG_PROGRESS(L"[%s]Move file successful, from[%s] to[%s].", destPath, backupPath);
    }
    if (!CopyFileW(sourcePath.c_str(), destPath.c_str(), FALSE)) {
      LOG_FAILURE(L"[%s]Copy file failed, from[%s] to[%s].", sourcePath, destPath);
      if (!backupPath.empty()) PutBackupBack(backupPath, destPath);
      return false;
    }
    LOG_PROGRESS(L"[%s]Copy file successful, from[%s] to[%s].", sourcePath, destPath);
  }
  return true;
}

}  // namespace

bool StartPatch(const std::wstring& installDir, const PatchList& list,
                const std::wstring& patchFolder) {
  if (list.empty() || patchFolder.empty() || installDir.empty()) return false;
  std::wstring patchBase = patchFolder;
  AppendBackslashIfMissing(patchBase);
  std::wstring installBase = installDir;
  AppendBackslashIfMissing(installBase);

  const bool killed = KillProcessByName(installBase, kMainProgram);
  KillProcessByName(installBase, kDownloader);  // never started again here

  const bool applied = ApplyEntries(list, patchBase, installBase);

  // Also after a failure: the product is never left stopped by us.
  if (killed) {
    const std::wstring commandLine = L"\"" + installBase + kMainProgram + L"\" ";
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    const DWORD exitCode = CreateProcessWaitCmd(writable.data());
    LOG_PROGRESS(L"[%s]CreateProcessWaitCmd[%s] exit_code[%u].", commandLine, exitCode);
  }
  if (!applied) return false;
  LOG_PROGRESS(L"[%s]Patch successful.");
  return true;
}
