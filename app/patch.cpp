#include "app/patch.h"

#include <windows.h>
#include <shlwapi.h>

#include <vector>

#include "log/log_readers.h"
#include "package/hash_check.h"
#include "package/plan.h"
#include "product/product.h"
#include "platform/handle.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "platform/retry.h"

namespace {

bool PathExists(const std::wstring& path) { return PathFileExistsW(path.c_str()) != FALSE; }

enum class MoveAsideResult { kMoved, kBackupExists, kMissing, kFailed };

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
  if (error == ERROR_FILE_NOT_FOUND && !PathExists(destination)) return MoveAsideResult::kMissing;
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
  HashVerdict verdict = CheckRecordedHash(paths.partial, recorded);
  if (verdict.state == HashState::kMatches) return true;
  if (verdict.state == HashState::kDiffers) {
    actual.swap(verdict.actual);
  } else {
    actual = "unreadable";  // short enough to need no memory
  }
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
bool ApplyEntries(const PatchList& list, const std::vector<EntryPaths>& all,
                  const std::vector<EntryFacts>& facts, const std::vector<PlannedEntry>& plan) {
  for (size_t i = 0; i < list.size(); ++i) {
    const EntryPaths& paths = all[i];
    switch (plan[i].action) {
      case EntryAction::kRefuse:
        LOG_FAILURE(L"[%s]Dest file[%s] is a device or a stream, not a file.", paths.destination);
        return false;
      case EntryAction::kSkipMissingFile:
        LOG_FAILURE(kPatchFileMissingFormat, paths.source);
        continue;
      case EntryAction::kSkipBackupExists:
        // An earlier run already replaced this file; a copy that a stopped run left behind goes.
        if (facts[i].partialPresent) DeleteFileW(paths.partial.c_str());
        continue;
      case EntryAction::kNotReached:
        return false;
      case EntryAction::kCopy:
      case EntryAction::kMoveThenCopy:
      case EntryAction::kCopyFails:
        break;
    }
    bool movedAside = false;
    if (plan[i].movesAside) {
      switch (MoveAside(paths.destination, paths.backup)) {
        case MoveAsideResult::kMoved:
          LOG_PROGRESS(L"[%s]Move file successful, from[%s] to[%s].", paths.destination,
                       paths.backup);
          movedAside = true;
          break;
        case MoveAsideResult::kBackupExists:
          // It appeared since the plan was made: the same as a backup found then.
          DeleteFileW(paths.partial.c_str());
          continue;
        case MoveAsideResult::kMissing:
          break;  // gone since the plan was made: nothing to keep, only the copy
        case MoveAsideResult::kFailed:
          LOG_FAILURE(L"[%s]Move file failed, from[%s] to[%s].", paths.destination, paths.backup);
          return false;
      }
    }
    std::string actual;
    const CopyOutcome copied = CopyIn(paths, list[i].sha256, actual);
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
                    paths.destination, WidenUtf8(actual), WidenUtf8(list[i].sha256));
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
bool PatchFilesHaveTheirHashes(const PatchList& list, const std::vector<EntryPaths>& all) {
  for (size_t i = 0; i < list.size(); ++i) {
    const std::wstring& source = all[i].source;
    const HashVerdict verdict = CheckRecordedHash(source, list[i].sha256);
    if (verdict.state == HashState::kUnreadable) {
      LOG_FAILURE(L"[%s]Patch file[%s] cannot be read for its sha256, err:%u.", source,
                  verdict.error);
      return false;
    }
    if (verdict.state == HashState::kDiffers) {
      LOG_FAILURE(L"[%s]Patch file[%s] sha256[%s] differs from conf.json sha256[%s].", source,
                  WidenUtf8(verdict.actual), WidenUtf8(list[i].sha256));
      return false;
    }
  }
  return true;
}

}  // namespace

bool StartPatch(const std::wstring& installDir, const PatchList& list,
                const std::wstring& patchFolder) {
  if (list.empty() || patchFolder.empty() || installDir.empty()) return false;
  std::wstring installBase = installDir;
  AppendBackslashIfMissing(installBase);
  const std::vector<EntryPaths> paths = FormAllEntryPaths(list, patchFolder, installDir);

  if (!PatchFilesHaveTheirHashes(list, paths)) return false;

  bool applied = false;
  {
    // From the first kill to the restart the product is stopped: the hook library waits.
    const AssertHookHold hold;
    std::vector<StoppedProgram> stopped;
    try {
      StopProduct(installBase, stopped);
      const std::vector<EntryFacts> facts = GatherEntryFacts(paths);
      applied = ApplyEntries(list, paths, facts, PlanEntries(list, facts));
    } catch (...) {
      // The product is never left stopped by us, also when a step could not go on.
      RestartMainProgram(installBase, stopped);
      throw;
    }
    // Also after a failure.
    RestartMainProgram(installBase, stopped);
  }
  if (!applied) return false;
  LOG_PROGRESS(kPatchSuccessfulFormat);
  return true;
}
