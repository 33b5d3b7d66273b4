#include "app/patch.h"

#include <windows.h>
#include <shlwapi.h>

#include <vector>

#include "app/entry_paths.h"
#include "log/log.h"
#include "platform/paths.h"
#include "platform/retry.h"
#include "process/command.h"
#include "process/kill.h"

namespace {

constexpr wchar_t kMainProgram[] = L"PelliWareden.exe";
constexpr wchar_t kDownloader[] = L"VyxDL.exe";
bool PathExists(const std::wstring& path) { return PathFileExistsW(path.c_str()) != FALSE; }

// A scanner or an exiting process may hold a file for a moment: moves and copies are tried
// again while they meet such a hold, and only the final outcome is logged.
bool MoveReplacing(const std::wstring& from, const std::wstring& to) {
  return RetryWhileHeld([&] { return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING); });
}

enum class MoveAsideResult { kMoved, kBackupExists, kFailed };

// Moves a destination to its backup name, never over a backup already there: that one holds
// the original from an earlier run. Letting the move itself find the backup, instead of asking
// first, leaves no moment in which a backup that appears could be overwritten, and spares a
// lookup of a missing name, which costs a scan of the whole folder on some file systems.
MoveAsideResult MoveAside(const std::wstring& destination, const std::wstring& backup) {
  if (RetryWhileHeld([&] { return MoveFileExW(destination.c_str(), backup.c_str(), 0); })) {
    return MoveAsideResult::kMoved;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS || PathExists(backup)) {
    return MoveAsideResult::kBackupExists;
  }
  return MoveAsideResult::kFailed;
}

bool CopyIn(const std::wstring& from, const std::wstring& to) {
  return RetryWhileHeld([&] { return CopyFileW(from.c_str(), to.c_str(), FALSE); });
}

// The product must never be left without a file it had: after a failed copy the moved-aside
// original goes back. Both outcomes are failures of the run, hence "Error" lines.
void PutBackupBack(const std::wstring& backupPath, const std::wstring& destPath) {
  if (MoveReplacing(backupPath, destPath)) {
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
    const EntryPaths paths = FormEntryPaths(entry, patchBase, installBase);
    if (!PathExists(paths.source)) {
      LOG_FAILURE(L"[%s]Patch file[%s] is not exist.", paths.source);
      continue;
    }
    bool movedAside = false;
    if (PathExists(paths.destination)) {
      const MoveAsideResult moved = MoveAside(paths.destination, paths.backup);
      // An existing backup means an earlier run already replaced this file.
      if (moved == MoveAsideResult::kBackupExists) continue;
      if (moved == MoveAsideResult::kFailed) {
        LOG_FAILURE(L"[%s]Move file failed, from[%s] to[%s].", paths.destination, paths.backup);
        return false;
      }
      LOG_PROGRESS(L"[%s]Move file successful, from[%s] to[%s].", paths.destination, paths.backup);
      movedAside = true;
    }
    if (!CopyIn(paths.source, paths.destination)) {
      LOG_FAILURE(L"[%s]Copy file failed, from[%s] to[%s].", paths.source, paths.destination);
      if (movedAside) PutBackupBack(paths.backup, paths.destination);
      return false;
    }
    LOG_PROGRESS(L"[%s]Copy file successful, from[%s] to[%s].", paths.source, paths.destination);
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
