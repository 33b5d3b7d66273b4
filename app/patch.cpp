#include "app/patch.h"

#include <windows.h>
#include <shlwapi.h>

#include <vector>

#include "package/entry_paths.h"
#include "product/product.h"
#include "log/log.h"
#include "platform/handle.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "platform/retry.h"

namespace {

bool PathExists(const std::wstring& path) { return PathFileExistsW(path.c_str()) != FALSE; }

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

// Says how putting the original back after a failed copy went. Both outcomes are failures of
// the run, hence "Error" lines.
void ReportPutBack(bool restored, DWORD error, const std::wstring& backupPath,
                   const std::wstring& destPath) {
  if (restored) {
    LOG_FAILURE(L"[%s]Copy failed, original moved back, from[%s] to[%s].", backupPath, destPath);
  } else {
    LOG_FAILURE(L"[%s]Move original back failed, from[%s] to[%s], err:%u.", backupPath, destPath,
                error);
  }
}

// The copy was made with the source's attributes; a read-only one cannot be opened for the
// flush. `readOnly` tells the caller to give the attribute back once the file has its name.
bool FlushToDisk(const std::wstring& path, bool& readOnly) {
  readOnly = false;
  KernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  if (!file.IsValid() && GetLastError() == ERROR_ACCESS_DENIED) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
      readOnly = true;
      file = KernelHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    }
  }
  return file.IsValid() && FlushFileBuffers(file.Get());
}

enum class CopyOutcome { kCopied, kFailed, kHashDiffers };

// True when the copy holds what the package recorded for it. The copy lies in the installation,
// where no ordinary user can write, so it cannot change between this check and the rename: a
// patch file swapped after the first check, or a copy damaged on the way, shows here.
bool CopyHasRecordedHash(const EntryPaths& paths, const std::string& recorded,
                         std::string& actual) {
  DWORD error = 0;
  if (HashFileSha256(paths.partial, actual, error)) return actual == recorded;
  actual = "unreadable";  // short enough to need no memory
  return false;
}

// Copies to a name of its own beside the destination, flushes that to the disk, checks its hash
// when the package recorded one, and only then renames it to the destination: whenever a run
// is stopped (a time-out, a power loss, a crash), the destination is either missing, with its
// original in the backup so that the next run copies again, or whole. On failure no partial file
// is left; kFailed comes with the last error of the step that failed, kHashDiffers with the hash
// the copy had in `actual`.
CopyOutcome CopyIn(const EntryPaths& paths, const std::string& recorded, std::string& actual) {
  const wchar_t* const partial = paths.partial.c_str();
  const wchar_t* const destination = paths.destination.c_str();
  bool readOnly = false;
  CopyOutcome outcome = CopyOutcome::kFailed;
  if (RetryWhileHeld([&] { return CopyFileW(paths.source.c_str(), partial, FALSE); }) &&
      FlushToDisk(paths.partial, readOnly)) {
    outcome = recorded.empty() || CopyHasRecordedHash(paths, recorded, actual)
                  ? CopyOutcome::kCopied
                  : CopyOutcome::kHashDiffers;
  }
  if (outcome == CopyOutcome::kCopied && RetryWhileHeld([&] {
        return MoveFileExW(partial, destination,
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
      })) {
    if (readOnly)
      SetFileAttributesW(destination, GetFileAttributesW(destination) | FILE_ATTRIBUTE_READONLY);
    return outcome;
  }
  const DWORD error = GetLastError();
  SetFileAttributesW(partial, FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(partial);
  SetLastError(error);
  return outcome == CopyOutcome::kHashDiffers ? outcome : CopyOutcome::kFailed;
}

// False after the first failed or refused entry; later entries are not looked at. No hook call
// and nothing that can throw comes between moving a destination aside and the step that makes
// it whole again: the copy, or putting the original back.
bool ApplyEntries(const PatchList& list, const std::wstring& patchBase,
                  const std::wstring& installBase) {
  for (const PatchEntry& entry : list) {
    const EntryPaths paths = FormEntryPaths(entry, patchBase, installBase);
    if (paths.deviceOrStream) {
      LOG_FAILURE(L"[%s]Dest file[%s] is a device or a stream, not a file.", paths.destination);
      return false;
    }
    if (!PathExists(paths.source)) {
      LOG_FAILURE(L"[%s]Patch file[%s] is not exist.", paths.source);
      continue;
    }
    bool movedAside = false;
    if (PathExists(paths.destination)) {
      const MoveAsideResult moved = MoveAside(paths.destination, paths.backup);
      // An existing backup means an earlier run already replaced this file; a copy that a
      // stopped run left behind goes.
      if (moved == MoveAsideResult::kBackupExists) {
        DeleteFileW(paths.partial.c_str());
        continue;
      }
      if (moved == MoveAsideResult::kFailed) {
        LOG_FAILURE(L"[%s]Move file failed, from[%s] to[%s].", paths.destination, paths.backup);
        return false;
      }
      LOG_PROGRESS(L"[%s]Move file successful, from[%s] to[%s].", paths.destination, paths.backup);
      movedAside = true;
    }
    std::string actual;
    const CopyOutcome copied = CopyIn(paths, entry.sha256, actual);
    if (copied != CopyOutcome::kCopied) {
      // The original goes back before any line is written: an error line reaches the hook
      // library, whose failure must never cost the product a file.
      bool restored = false;
      DWORD restoreError = 0;
      if (movedAside) {
        restored = MoveReplacingWhileHeld(paths.backup, paths.destination);
        restoreError = GetLastError();
      }
      if (copied == CopyOutcome::kHashDiffers) {
        LOG_FAILURE(L"[%s]Copy file[%s] sha256[%s] differs from conf.json sha256[%s].",
                    paths.destination, WidenUtf8(actual), WidenUtf8(entry.sha256));
      } else {
        LOG_FAILURE(L"[%s]Copy file failed, from[%s] to[%s].", paths.source, paths.destination);
      }
      if (movedAside) ReportPutBack(restored, restoreError, paths.backup, paths.destination);
      return false;
    }
    LOG_PROGRESS(L"[%s]Copy file successful, from[%s] to[%s].", paths.source, paths.destination);
  }
  return true;
}

// Before anything is stopped or touched: every patch file with a recorded hash must have it. A
// missing file is left to the entry loop, which skips it with its own line.
bool PatchFilesHaveTheirHashes(const PatchList& list, const std::wstring& patchBase) {
  for (const PatchEntry& entry : list) {
    if (entry.sha256.empty()) continue;
    const std::wstring source = FormEntryPaths(entry, patchBase, std::wstring()).source;
    if (!PathExists(source)) continue;
    std::string actual;
    DWORD error = 0;
    if (!HashFileSha256(source, actual, error)) {
      LOG_FAILURE(L"[%s]Patch file[%s] cannot be read for its sha256, err:%u.", source, error);
      return false;
    }
    if (actual != entry.sha256) {
      LOG_FAILURE(L"[%s]Patch file[%s] sha256[%s] differs from conf.json sha256[%s].", source,
                  WidenUtf8(actual), WidenUtf8(entry.sha256));
      return false;
    }
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

  if (!PatchFilesHaveTheirHashes(list, patchBase)) return false;

  bool applied = false;
  {
    // From the first kill to the restart the product is stopped: the hook library waits.
    const AssertHookHold hold;
    std::vector<StoppedProgram> stopped;
    StopProduct(installBase, stopped);
    try {
      applied = ApplyEntries(list, patchBase, installBase);
    } catch (...) {
      // The product is never left stopped by us, also when a step could not go on.
      RestartMainProgram(installBase, stopped);
      throw;
    }
    // Also after a failure.
    RestartMainProgram(installBase, stopped);
  }
  if (!applied) return false;
  LOG_PROGRESS(L"[%s]Patch successful.");
  return true;
}
