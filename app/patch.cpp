#include "app/patch.h"

#include <windows.h>
#include <shlwapi.h>

#include <vector>

#include "log/log_readers.h"
#include "package/hash_check.h"
#include "package/plan.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/paths.h"
#include "platform/retry.h"
#include "platform/text.h"
#include "product/product.h"
#include "product/run_record.h"

namespace {

thread_local double SwapSeconds = 0;

double Now() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// What is left at a partial name that the run must move out of its way: a folder.
constexpr wchar_t kBlockedKind[] = L"blocked";

bool PathExists(const std::wstring& path) { return PathFileExistsW(path.c_str()) != FALSE; }

enum class MoveAsideResult { kMoved, kBackupExists, kMissing, kFailed };

// Moves a destination to its backup name, never over a backup already there: that one holds
// the original from an earlier run. Letting the move itself find the backup, instead of asking
// first, leaves no moment in which a backup that appears could be overwritten.
MoveAsideResult MoveAside(const EntryPaths& paths) {
  const std::wstring backup = LongPathForm(paths.backup);
  if (RetryWhileHeld([&] { return MoveFileExW(paths.destination.c_str(), backup.c_str(), 0); })) {
    return MoveAsideResult::kMoved;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS || PathExists(backup)) {
    return MoveAsideResult::kBackupExists;
  }
  if (error == ERROR_FILE_NOT_FOUND && !PathExists(paths.destination))
    return MoveAsideResult::kMissing;
  return MoveAsideResult::kFailed;
}

// MoveAside with the line of a move made or failed.
MoveAsideResult MoveAsideReported(const EntryPaths& paths) {
  const MoveAsideResult result = MoveAside(paths);
  if (result == MoveAsideResult::kMoved) {
    LOG_PROGRESS(L"[%s]Move file successful, from[%s] to[%s].", paths.destination, paths.backup);
  } else if (result == MoveAsideResult::kFailed) {
    LOG_FAILURE(L"[%s]Move file failed, from[%s] to[%s].", paths.destination, paths.backup);
  }
  return result;
}

// Says how putting the original back after a failed copy went. Both outcomes are failures of
// the run, hence "Error" lines.
void ReportPutBack(bool restored, DWORD error, const EntryPaths& paths) {
  if (restored) {
    LOG_FAILURE(L"[%s]Copy failed, original moved back, from[%s] to[%s].", paths.backup,
                paths.destination);
  } else {
    LOG_FAILURE(L"[%s]Move original back failed, from[%s] to[%s], err:%u.", paths.backup,
                paths.destination, error);
  }
}

// A copy of an entry's patch file at its partial name, made before the product is stopped.
struct StagedCopy {
  bool staged = false;      // flushed, and with the recorded hash when there is one
  bool readOnly = false;    // to be given back once the copy has the destination's name
  InstalledFile installed;  // what tells this copy once installed, for the run's record
};

// Flushes the copy at `partial` to the disk. The copy has the patch file's attributes: a
// read-only one loses the attribute first and `readOnly` says so. A file system that cannot
// flush has nothing to flush. `identity`, when given, gets the file's identity.
bool FlushToDisk(const std::wstring& partial, bool& readOnly, InstalledFile* identity) {
  const DWORD attributes = GetFileAttributesW(partial.c_str());
  readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
             SetFileAttributesW(partial.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  KernelHandle file;
  if (!RetryWhileHeld([&] {
        file = OpenFile(partial, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
        return file.IsValid();
      })) {
    return false;
  }
  if (identity != nullptr) *identity = IdentityOf(file.Get());
  if (FlushFileBuffers(file.Get())) return true;
  const DWORD error = GetLastError();
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

enum class CopyOutcome { kCopied, kFailed, kHashDiffers, kUnreadable };

// Copies the patch file to its partial name, flushed, and checks the copy against the recorded
// hash. Whatever was at the partial name goes first, without following a link, and the copy is
// made only where nothing is, so that nothing is ever written through a name someone planted.
// A copy left by a stopped run is kept when it has the recorded hash: never without one. On
// kFailed the last error is the failing step's; on kHashDiffers or kUnreadable `verdict` says
// more. No partial copy is left unless kCopied.
CopyOutcome CopyToPartial(const EntryPaths& paths, const std::string& recorded, bool leftover,
                          StagedCopy& copy, HashVerdict& verdict) {
  const std::wstring partial = LongPathForm(paths.partial);
  copy = StagedCopy();
  // Only a file that is what its name says: a link there would become the destination.
  const DWORD attributes = leftover ? GetFileAttributesW(partial.c_str()) : 0;
  if (leftover && !recorded.empty() && attributes != INVALID_FILE_ATTRIBUTES &&
      !(attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
      IsAtItsOwnName(partial)) {
    verdict = CheckRecordedHash(partial, recorded);
    if (verdict.state == HashState::kMatches && FlushToDisk(partial, copy.readOnly, nullptr)) {
      copy.staged = true;
      copy.installed = Sha256Of(recorded);
      return CopyOutcome::kCopied;
    }
  }
  const auto copyNew = [&] {
    return RetryWhileHeld([&] { return CopyFileW(paths.source.c_str(), partial.c_str(), TRUE); });
  };
  // The facts may be older than the name: whatever appeared at it goes too.
  bool copied = (!leftover || ClearName(partial, kBlockedKind)) && copyNew();
  if (!copied && (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS))
    copied = ClearName(partial, kBlockedKind) && copyNew();
  CopyOutcome outcome = CopyOutcome::kFailed;
  // A recorded hash tells the installed file; without one, the file itself does.
  if (copied && FlushToDisk(partial, copy.readOnly, recorded.empty() ? &copy.installed : nullptr)) {
    verdict = CheckRecordedHash(partial, recorded);
    outcome = verdict.state == HashState::kDiffers      ? CopyOutcome::kHashDiffers
              : verdict.state == HashState::kUnreadable ? CopyOutcome::kUnreadable
                                                        : CopyOutcome::kCopied;
  }
  if (outcome == CopyOutcome::kCopied) {
    copy.staged = true;
    if (!recorded.empty()) copy.installed = Sha256Of(recorded);
    return outcome;
  }
  const DWORD error = GetLastError();
  if (copied) ClearName(partial, kBlockedKind);
  SetLastError(error);
  return outcome;
}

// Gives the copy at the partial name the destination's name: the one step that makes a
// replacement visible, so that whenever a run is stopped the destination is either missing,
// with its original in the backup so that the next run copies again, or whole.
bool RenameIntoPlace(const EntryPaths& paths, const StagedCopy& copy) {
  const std::wstring partial = LongPathForm(paths.partial);
  if (!RetryWhileHeld([&] {
        return MoveFileExW(partial.c_str(), paths.destination.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
      })) {
    return false;
  }
  if (copy.readOnly) {
    SetFileAttributesW(paths.destination.c_str(),
                       GetFileAttributesW(paths.destination.c_str()) | FILE_ATTRIBUTE_READONLY);
  }
  return true;
}

bool Stages(const PlannedEntry& step) {
  return step.action == EntryAction::kCopy || step.action == EntryAction::kMoveThenCopy;
}

// The copies staged before the stop, one per entry: those that no entry took are removed when
// the run ends, also when a step throws.
class StagedCopies {
 public:
  explicit StagedCopies(const std::vector<EntryPaths>& paths)
      : copies(paths.size()), paths_(paths) {}
  ~StagedCopies() {
    try {
      for (size_t i = 0; i < copies.size(); ++i) {
        if (copies[i].staged) ClearName(LongPathForm(paths_[i].partial), kBlockedKind);
      }
    } catch (...) {
      // Out of memory: the next run removes what is left.
    }
  }
  StagedCopies(const StagedCopies&) = delete;
  StagedCopies& operator=(const StagedCopies&) = delete;

  std::vector<StagedCopy> copies;

 private:
  const std::vector<EntryPaths>& paths_;
};

// Before anything is stopped: every entry that the plan copies is copied to its partial name,
// flushed and, with a recorded hash, checked; every other patch file with a recorded hash must
// have it. False after the lines of the first patch file that does not have its hash or cannot
// be read for it. A copy that cannot be made now is left to the commit, which tries once more.
bool StageEntries(const PatchList& list, const std::vector<EntryPaths>& all,
                  const std::vector<EntryFacts>& facts, const std::vector<PlannedEntry>& plan,
                  std::vector<StagedCopy>& staged, size_t& stoppedAt) {
  for (size_t i = 0; i < list.size(); ++i) {
    stoppedAt = i;
    const std::string& recorded = list[i].sha256;
    const std::wstring& source = all[i].source;
    HashVerdict verdict;
    if (Stages(plan[i])) {
      const CopyOutcome outcome =
          CopyToPartial(all[i], recorded, facts[i].partialPresent, staged[i], verdict);
      // Each byte is hashed once: the copy is what the commit installs.
      if (outcome == CopyOutcome::kCopied) continue;
      if (outcome == CopyOutcome::kHashDiffers) {
        LOG_FAILURE(L"[%s]Patch file[%s] sha256[%s] differs from conf.json sha256[%s].", source,
                    WidenUtf8(verdict.actual), WidenUtf8(recorded));
        return false;
      }
    }
    if (recorded.empty() || facts[i].patchFile == PathKind::kMissing) continue;
    // Not copied now, or the copy failed: the patch file itself tells.
    verdict = CheckRecordedHash(source, recorded);
    if (verdict.state == HashState::kUnreadable) {
      LOG_FAILURE(L"[%s]Patch file[%s] cannot be read for its sha256, err:%u.", source,
                  verdict.error);
      return false;
    }
    if (verdict.state == HashState::kDiffers) {
      LOG_FAILURE(L"[%s]Patch file[%s] sha256[%s] differs from conf.json sha256[%s].", source,
                  WidenUtf8(verdict.actual), WidenUtf8(recorded));
      return false;
    }
  }
  return true;
}

// What an entry's turn in the commit leaves the run to do.
enum class Turn { kGoOn, kStop };

// The line of an entry that names no file the run may touch.
void ReportRefused(const EntryPaths& paths) {
  if (paths.controlCharacter) {
    LOG_FAILURE(L"[%s]Patch file[%s] or dest file[%s] holds a control character, not a file.",
                paths.source, paths.destination);
  } else {
    LOG_FAILURE(L"[%s]Dest file[%s] is a device or a stream, not a file.", paths.destination);
  }
}

// After a copy that did not take the destination's name: the original goes back before any line
// is written, since an error line reaches the hook library, whose failure must never cost the
// product a file. Then the lines of the copy and of the putting back.
void ReportFailedCopy(CopyOutcome outcome, const HashVerdict& verdict, const EntryPaths& paths,
                      const std::string& recorded, bool movedAside) {
  bool restored = false;
  DWORD restoreError = 0;
  if (movedAside) {
    restored = MoveReplacingWhileHeld(LongPathForm(paths.backup), paths.destination);
    restoreError = GetLastError();
  }
  if (outcome == CopyOutcome::kHashDiffers) {
    LOG_FAILURE(L"[%s]Copy file[%s] sha256[%s] differs from conf.json sha256[%s].",
                paths.destination, WidenUtf8(verdict.actual), WidenUtf8(recorded));
  } else if (outcome == CopyOutcome::kUnreadable) {
    LOG_FAILURE(L"[%s]Copy file[%s] cannot be read for its sha256, err:%u.", paths.destination,
                verdict.error);
  } else {
    LOG_FAILURE(L"[%s]Copy file failed, from[%s] to[%s].", paths.source, paths.destination);
  }
  if (movedAside) ReportPutBack(restored, restoreError, paths);
}

// One entry's turn after the stop: it moves its destination aside and renames its staged copy
// into place; without a staged copy it copies now. `done` gets what the entry came to. No hook
// call and nothing that can throw comes between moving a destination aside and the step that
// makes it whole again: the copy, or putting the original back.
Turn CommitEntry(const PatchEntry& entry, const EntryPaths& paths, const EntryFacts& facts,
                 const PlannedEntry& step, StagedCopy& staged, RecordedEntry& done) {
  done.action = RecordedAction::kFailed;
  switch (step.action) {
    case EntryAction::kRefuse:
      ReportRefused(paths);
      return Turn::kStop;
    case EntryAction::kSkipMissingFile:
      LOG_FAILURE(kPatchFileMissingFormat, paths.source);
      done.action = RecordedAction::kSkippedMissingFile;
      return Turn::kGoOn;
    case EntryAction::kSkipBackupExists:
      // An earlier run already replaced this file; a copy that a stopped run left behind goes.
      if (facts.partialPresent) ClearName(LongPathForm(paths.partial), kBlockedKind);
      done.action = RecordedAction::kSkippedBackupExists;
      return Turn::kGoOn;
    case EntryAction::kNotReached:
      done.action = RecordedAction::kNotReached;
      return Turn::kStop;
    case EntryAction::kCopy:
    case EntryAction::kMoveThenCopy:
    case EntryAction::kCopyFails:
      break;
  }
  // A backup that appeared since the plan was made is the same as a backup found then; a
  // destination gone since leaves nothing to keep, only the copy.
  const MoveAsideResult aside =
      step.movesAside ? MoveAsideReported(paths) : MoveAsideResult::kMissing;
  if (aside == MoveAsideResult::kBackupExists) {
    done.action = RecordedAction::kSkippedBackupExists;
    return Turn::kGoOn;
  }
  if (aside == MoveAsideResult::kFailed) return Turn::kStop;
  const bool movedAside = aside == MoveAsideResult::kMoved;
  // A copy that could not be staged is made once more, here. A copy that keeps its partial
  // name is removed with the others when the run ends.
  HashVerdict verdict;
  CopyOutcome outcome =
      staged.staged ? CopyOutcome::kCopied
                    : CopyToPartial(paths, entry.sha256, facts.partialPresent, staged, verdict);
  if (outcome == CopyOutcome::kCopied && !RenameIntoPlace(paths, staged))
    outcome = CopyOutcome::kFailed;
  if (outcome != CopyOutcome::kCopied) {
    ReportFailedCopy(outcome, verdict, paths, entry.sha256, movedAside);
    return Turn::kStop;
  }
  staged.staged = false;
  LOG_PROGRESS(L"[%s]Copy file successful, from[%s] to[%s].", paths.source, paths.destination);
  done.action = movedAside ? RecordedAction::kMovedThenCopied : RecordedAction::kCopied;
  done.installed = staged.installed;
  return Turn::kGoOn;
}

// After the stop: each entry in list order, until the first that fails or is refused; later
// entries are not looked at and keep what `done` held for them. False when the run stopped.
bool CommitEntries(const PatchList& list, const std::vector<EntryPaths>& all,
                   const std::vector<EntryFacts>& facts, const std::vector<PlannedEntry>& plan,
                   std::vector<StagedCopy>& staged, std::vector<RecordedEntry>& done) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (CommitEntry(list[i], all[i], facts[i], plan[i], staged[i], done[i]) == Turn::kStop)
      return false;
  }
  return true;
}

// The run's record: read before anything is done, written with the run's intent before the
// product is stopped and with its outcome after it runs again. A failure to write it costs one
// line and changes nothing of the run.
struct Recorder {
  const PatchRun* run = nullptr;  // null: nothing is recorded
  RunRecord record;
  std::vector<RecordedEntry> earlier;

  void Begin(const PatchRun* patchRun, const std::wstring& installDir, size_t entries) {
    run = patchRun;
    if (run == nullptr) return;
    if (run->packageId.empty()) return Failed(ERROR_INVALID_DATA);
    RunRecord found;
    if (ReadRunRecord(run->packageId, found) == RecordRead::kFound &&
        found.state != RecordState::kUndone) {
      earlier = std::move(found.entries);
    }
    record.packageDir = run->packageDir;
    record.installDir = installDir;
    record.started = RecordTimeNow();
    record.entries.resize(entries);
  }
  void Write(RecordState state, const std::vector<RecordedEntry>& entries, size_t failed) {
    if (run == nullptr) return;
    record.state = state;
    record.entries = MergeEntries(earlier, entries);
    record.failedEntry = state == RecordState::kFailed ? static_cast<DWORD>(failed + 1) : 0;
    record.ended = state == RecordState::kApplying ? std::wstring() : RecordTimeNow();
    const LONG result = WriteRunRecord(run->packageId, record);
    if (result != ERROR_SUCCESS) Failed(static_cast<DWORD>(result));
  }
  // One line, and no further try: what failed once fails again.
  void Failed(DWORD error) {
    LOG_FAILURE(L"[%s]Run record %s\\%s not written, err:%u.", kRecordsKey,
                WidenUtf8(run->packageId), error);
    run = nullptr;
  }
};

// What the plan means to do with each entry, as the record holds it until the run is done.
std::vector<RecordedEntry> Intent(const std::vector<PlannedEntry>& plan,
                                  const std::vector<StagedCopy>& staged) {
  std::vector<RecordedEntry> intent(plan.size());
  for (size_t i = 0; i < plan.size(); ++i) {
    switch (plan[i].action) {
      case EntryAction::kCopy:
      case EntryAction::kMoveThenCopy:
        intent[i].action =
            plan[i].movesAside ? RecordedAction::kMovedThenCopied : RecordedAction::kCopied;
        intent[i].installed = staged[i].installed;
        break;
      case EntryAction::kSkipBackupExists:
        intent[i].action = RecordedAction::kSkippedBackupExists;
        break;
      case EntryAction::kSkipMissingFile:
        intent[i].action = RecordedAction::kSkippedMissingFile;
        break;
      case EntryAction::kRefuse:
      case EntryAction::kCopyFails:
        intent[i].action = RecordedAction::kFailed;
        break;
      case EntryAction::kNotReached:
        intent[i].action = RecordedAction::kNotReached;
        break;
    }
  }
  return intent;
}

}  // namespace

bool StartPatch(const std::wstring& installDir, const PatchList& list,
                const std::wstring& patchFolder, const PatchRun* run) {
  if (list.empty() || patchFolder.empty() || installDir.empty()) return false;
  std::wstring installBase = installDir;
  AppendBackslashIfMissing(installBase);
  const std::vector<EntryPaths> paths = FormAllEntryPaths(list, patchFolder, installDir);
  const std::vector<EntryFacts> facts = GatherEntryFacts(paths);
  const std::vector<PlannedEntry> plan = PlanEntries(list, facts);
  Recorder recorder;
  recorder.Begin(run, installDir, list.size());

  // Everything that takes time happens while the product still runs; a run stopped on the way
  // leaves only partial copies, which the next run removes or reuses.
  StagedCopies staged(paths);
  std::vector<RecordedEntry> done(list.size());
  for (RecordedEntry& entry : done) entry.action = RecordedAction::kNotReached;
  size_t stoppedAt = 0;
  if (!StageEntries(list, paths, facts, plan, staged.copies, stoppedAt)) {
    done[stoppedAt].action = RecordedAction::kFailed;
    recorder.Write(RecordState::kFailed, done, stoppedAt);
    return false;
  }
  recorder.Write(RecordState::kApplying, Intent(plan, staged.copies), 0);
  bool applied = false;
  {
    // From the first kill to the restart the product is stopped: the hook library waits.
    const AssertHookHold hold;
    ProductStop stop(installBase);
    const double swapStart = Now();
    applied = CommitEntries(list, paths, facts, plan, staged.copies, done);
    SwapSeconds = Now() - swapStart;
    stop.Restart();  // also after a failure
  }
  size_t failed = 0;
  while (failed < done.size() && done[failed].action != RecordedAction::kFailed) ++failed;
  recorder.Write(applied ? RecordState::kApplied : RecordState::kFailed, done, failed);
  if (!applied) return false;
  LOG_PROGRESS(kPatchSuccessfulFormat);
  return true;
}

double LastSwapSeconds() { return SwapSeconds; }
