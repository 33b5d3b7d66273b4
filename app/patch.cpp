#include "app/patch.h"

#include <windows.h>
#include <shlwapi.h>

#include <map>
#include <vector>

#include "log/log_readers.h"
#include "package/base_check.h"
#include "package/decode_file.h"
#include "package/hash_check.h"
#include "package/plan.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/retry.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "platform/trust.h"
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
// On kFailed, `failure` (when given) gets the move's error.
MoveAsideResult MoveAside(const EntryPaths& paths, DWORD* failure = nullptr) {
  const std::wstring backup = LongPathForm(paths.backup);
  if (RetryWhileHeld([&] { return MoveFileExW(paths.destination.c_str(), backup.c_str(), 0); })) {
    return MoveAsideResult::kMoved;
  }
  const DWORD error = GetLastError();
  if (failure != nullptr) *failure = error;
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
    return MoveAsideResult::kBackupExists;
  // A destination missing leaves nothing to keep, whatever backup an earlier run left.
  if (!PathExists(paths.destination)) return MoveAsideResult::kMissing;
  if (PathExists(backup)) return MoveAsideResult::kBackupExists;
  return MoveAsideResult::kFailed;
}

// The line after a failed move's or copy's own: the platform's code, and what a sharing or
// lock violation means for whoever reads the log.
void ReportPlatformError(DWORD error) {
  const bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
  LOG_FAILURE(L"[%s]The file operation failed with err:%u%s.", error,
              held ? L": another program holds the file" : L"");
}

// MoveAside with the line of a move made or failed.
MoveAsideResult MoveAsideReported(const EntryPaths& paths) {
  DWORD error = 0;
  const MoveAsideResult result = MoveAside(paths, &error);
  if (result == MoveAsideResult::kMoved) {
    LOG_PROGRESS(L"[%s]Move file successful, from[%s] to[%s].", paths.destination, paths.backup);
  } else if (result == MoveAsideResult::kFailed) {
    LOG_FAILURE(L"[%s]Move file failed, from[%s] to[%s].", paths.destination, paths.backup);
    ReportPlatformError(error);
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
  bool folderMade = false;  // a folder entry whose folder a staged copy needed: made already
};

// Flushes the copy at `partial` to the disk. The copy has the patch file's attributes: a
// read-only one loses the attribute first and `readOnly` says so. A file system that cannot
// flush has nothing to flush.
bool FlushToDisk(const std::wstring& partial, bool& readOnly) {
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
  if (FlushFileBuffers(file.Get())) return true;
  const DWORD error = GetLastError();
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

enum class CopyOutcome { kCopied, kFailed, kHashDiffers, kUnreadable, kPartialIsLink, kDecodeFailed };

// What a copy that was not made, or not right, came to.
struct CopyCheck {
  HashVerdict hash;     // kHashDiffers, kUnreadable
  DecodeStatus decode;  // kDecodeFailed
};

// Makes the new file at `partial`, where nothing is: a copy of the patch file, or what it
// decodes to (`base` is where a difference's base is read now; `decodedHash` gets the hash of
// the bytes written). False with the last error set, or with `decode` saying why a decoding
// failed.
bool WriteNewFile(const PatchEntry& entry, const EntryPaths& paths, const std::wstring& partial,
                  const std::wstring& base, DecodeStatus& decode, std::string& decodedHash) {
  if (entry.encoding == Encoding::kWhole) {
    return RetryWhileHeld([&] { return CopyFileW(paths.source.c_str(), partial.c_str(), TRUE); });
  }
  KernelHandle out = OpenFile(partial, GENERIC_WRITE, 0, CREATE_NEW);
  if (!out.IsValid()) return false;
  decode = DecodePatchFile(entry.encoding, paths.source, base, out.Get(), &decodedHash);
  if (decode.Ok()) return true;
  out.Reset();
  ClearName(partial, kBlockedKind);
  return false;
}

// Copies the patch file (or decodes it) to its partial name, flushed, and checks the copy
// against the recorded hash; without one, `contentHash` (when given) gets the copy's. Whatever a
// stopped run or anyone else left at the partial name goes first, without following a link,
// and is never used: the copy is made only where nothing is, so that the installed file is
// always the run's own. On kFailed the last error is the failing step's; otherwise `check` says
// more. No partial copy is left unless kCopied.
CopyOutcome CopyToPartial(const PatchEntry& entry, const EntryPaths& paths, const std::wstring& base,
                          StagedCopy& copy, CopyCheck& check, std::string* contentHash) {
  const std::string& recorded = entry.sha256;
  const std::wstring partial = LongPathForm(paths.partial);
  copy = StagedCopy();
  std::string decodedHash;
  bool copied = WriteNewFile(entry, paths, partial, base, check.decode, decodedHash);
  if (!copied && check.decode.Ok() &&
      (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)) {
    // A link there would become the destination: refused, and nothing removed through it.
    if (IsLinkAt(partial)) return CopyOutcome::kPartialIsLink;
    copied = ClearName(partial, kBlockedKind) &&
             WriteNewFile(entry, paths, partial, base, check.decode, decodedHash);
  }
  if (!check.decode.Ok()) return CopyOutcome::kDecodeFailed;
  HashVerdict& verdict = check.hash;
  CopyOutcome outcome = CopyOutcome::kFailed;
  if (copied && FlushToDisk(partial, copy.readOnly)) {
    if (!decodedHash.empty()) {
      // Hashed as it was written: reading it back would cost a pass over the file.
      verdict.actual = decodedHash;
      verdict.state = decodedHash == recorded ? HashState::kMatches : HashState::kDiffers;
    } else if (recorded.empty() && contentHash != nullptr) {
      // The package's id and the record's account of the copy rest on its bytes.
      verdict.state = HashFileSha256(partial, verdict.actual, verdict.error) ? HashState::kMatches
                                                                            : HashState::kUnreadable;
    } else {
      verdict = CheckRecordedHash(partial, recorded);
    }
    outcome = verdict.state == HashState::kDiffers      ? CopyOutcome::kHashDiffers
              : verdict.state == HashState::kUnreadable ? CopyOutcome::kUnreadable
                                                        : CopyOutcome::kCopied;
  }
  if (outcome == CopyOutcome::kCopied) {
    copy.staged = true;
    if (!verdict.actual.empty()) copy.installed = Sha256Of(verdict.actual);
    if (contentHash != nullptr && recorded.empty()) *contentHash = verdict.actual;
    return outcome;
  }
  const DWORD error = GetLastError();
  if (copied) ClearName(partial, kBlockedKind);
  SetLastError(error);
  return outcome;
}

// Gives the copy at the partial name the destination's name: the one step that makes a
// replacement visible, so that whenever a run is stopped the destination is either missing,
// with its original in the backup so that the next run copies again, or whole. It never
// replaces: whatever is at the destination was moved aside, or appeared since, and stays.
bool RenameIntoPlace(const EntryPaths& paths, const StagedCopy& copy) {
  const std::wstring partial = LongPathForm(paths.partial);
  if (!RetryWhileHeld([&] {
        return MoveFileExW(partial.c_str(), paths.destination.c_str(), MOVEFILE_WRITE_THROUGH);
      })) {
    return false;
  }
  if (copy.readOnly) {
    SetFileAttributesW(paths.destination.c_str(),
                       GetFileAttributesW(paths.destination.c_str()) | FILE_ATTRIBUTE_READONLY);
  }
  return true;
}

// A folder entry's folder, with its missing parents, below the installation folder only, each
// level checked as it is made (no link or junction on the way); one line either way.
bool MakeEntryFolder(const PatchEntry& entry, const EntryPaths& paths,
                     const std::wstring& installBase) {
  const TrustVerdict verdict =
      MakeTrustedFolderChain(installBase, DestinationKey(WidenUtf8(entry.dest)));
  const DWORD error = verdict.refusal == TrustRefusal::kMissing ? GetLastError() : 0;
  if (verdict.refusal == TrustRefusal::kNone) {
    LOG_PROGRESS(L"[%s]Make folder successful[%s].", paths.destination);
    return true;
  }
  LOG_FAILURE(L"[%s]Make folder[%s] failed at[%s]: %s, err:%u.", paths.destination, verdict.path,
              WidenUtf8(DescribeTrustRefusal(verdict.refusal)), error);
  return false;
}

// One copy per partial name: an entry whose destination an earlier entry names is copied at
// its turn, after the earlier copy has taken the name.
bool Stages(const PlannedEntry& step) {
  return (step.action == EntryAction::kCopy || step.action == EntryAction::kMoveThenCopy) &&
         step.sameAs == kNoEntry;
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

void ReportHashDiffers(const std::wstring& source, const std::string& actual,
                       const std::string& recorded) {
  LOG_FAILURE(L"[%s]Patch file[%s] sha256[%s] differs from conf.json sha256[%s].", source,
              WidenUtf8(actual), WidenUtf8(recorded));
}

void ReportDecodeFailed(const EntryPaths& paths, const DecodeStatus& status) {
  LOG_FAILURE(L"[%s]Decode file failed, from[%s] to[%s]: %s, at byte %s, err:%u.", paths.source,
              paths.partial, WidenUtf8(DecodeErrorText(status.error)), std::to_wstring(status.at),
              status.code);
}

void ReportDecodedDiffers(const EntryPaths& paths, const std::string& actual,
                          const std::string& recorded) {
  LOG_FAILURE(L"[%s]Decoded file[%s] sha256[%s] differs from conf.json sha256[%s].", paths.partial,
              WidenUtf8(actual), WidenUtf8(recorded));
}

// After a copy that did not take the destination's name: the original goes back before any line
// is written, since an error line reaches the hook library, whose failure must never cost the
// product a file. Then the lines of the copy and of the putting back. `backup` is the long form
// of the backup path, made before the original was moved there.
void ReportFailedCopy(CopyOutcome outcome, const CopyCheck& check, const EntryPaths& paths,
                      const std::string& recorded, const std::wstring* backup) {
  const DWORD copyError = GetLastError();
  const HashVerdict& verdict = check.hash;
  bool restored = false;
  DWORD restoreError = 0;
  if (backup != nullptr) {
    restored = MoveReplacingWhileHeld(*backup, paths.destination);
    restoreError = GetLastError();
  }
  if (outcome == CopyOutcome::kHashDiffers) {
    LOG_FAILURE(L"[%s]Copy file[%s] sha256[%s] differs from conf.json sha256[%s].",
                paths.destination, WidenUtf8(verdict.actual), WidenUtf8(recorded));
  } else if (outcome == CopyOutcome::kDecodeFailed) {
    ReportDecodeFailed(paths, check.decode);
  } else if (outcome == CopyOutcome::kUnreadable) {
    LOG_FAILURE(L"[%s]Copy file[%s] cannot be read for its sha256, err:%u.", paths.destination,
                verdict.error);
  } else {
    LOG_FAILURE(L"[%s]Copy file failed, from[%s] to[%s].", paths.source, paths.destination);
    ReportPlatformError(copyError);
  }
  if (backup != nullptr) ReportPutBack(restored, restoreError, paths);
}

// Before anything is staged: the base of every difference the plan stages must be the installed
// file it was made from. A difference is made against the file as it is before the run, so an
// entry whose dest an earlier entry replaces first has no base to read. False after the line of
// the first base that is not there or not the one.
bool CheckBases(const PatchList& list, const std::vector<EntryPaths>& all,
                const std::vector<PlannedEntry>& plan, std::vector<bool>& alreadyNew,
                size_t& stoppedAt) {
  alreadyNew.assign(list.size(), false);
  for (size_t i = 0; i < list.size(); ++i) {
    const BaseVerdict verdict = CheckBase(list[i], all[i], plan[i]);
    alreadyNew[i] = verdict.state == BaseState::kAlreadyNew;
    if (verdict.state == BaseState::kNotNeeded || verdict.state == BaseState::kMatches ||
        alreadyNew[i])
      continue;
    stoppedAt = i;
    const std::wstring& base = all[i].base;
    const std::wstring needed = WidenUtf8(list[i].baseSha256);
    switch (verdict.state) {
      case BaseState::kReplacedFirst:
        LOG_FAILURE(L"[%s]Patch file[%s] is a difference against[%s], which an earlier entry "
                    L"replaces first.",
                    all[i].source, base);
        break;
      case BaseState::kOutside:
        LOG_FAILURE(L"[%s]Base file[%s] refused: outside the installation folder.", base);
        break;
      case BaseState::kMissing:
        LOG_FAILURE(L"[%s]Base file[%s] is missing; patch file[%s] needs it with sha256[%s].", base,
                    all[i].source, needed);
        break;
      case BaseState::kDiffers:
        LOG_FAILURE(L"[%s]Base file[%s] sha256[%s] is not the base of patch file[%s], sha256[%s].",
                    base, WidenUtf8(verdict.hash.actual), all[i].source, needed);
        break;
      default:
        LOG_FAILURE(L"[%s]Base file[%s] cannot be read for its sha256, err:%u.", base,
                    verdict.hash.error);
        break;
    }
    return false;
  }
  return true;
}

// Before anything is stopped: every entry that the plan copies is copied to its partial name,
// flushed and, with a recorded hash, checked; every other patch file with a recorded hash must
// have it. False after the lines of the first patch file that does not have its hash or cannot
// be read for it. A copy that cannot be made now is left to the commit, which tries once more.
// With `fileHashes`, each staged copy of an entry without a recorded hash gets its hash there.
bool StageEntries(const PatchList& list, const std::vector<EntryPaths>& all,
                  const std::vector<EntryFacts>& facts, const std::vector<PlannedEntry>& plan,
                  const std::wstring& installBase, std::vector<StagedCopy>& staged,
                  std::vector<std::string>* fileHashes, size_t& stoppedAt) {
  std::vector<bool> alreadyNew;
  if (!CheckBases(list, all, plan, alreadyNew, stoppedAt)) return false;
  size_t foldersMade = 0;  // the folder entries up to here are made
  for (size_t i = 0; i < list.size(); ++i) {
    stoppedAt = i;
    const std::string& recorded = list[i].sha256;
    const std::wstring& source = all[i].source;
    const bool encoded = list[i].encoding != Encoding::kWhole;
    // The copy's folder comes from a folder entry: that one and every folder entry before it
    // are made now, in list order.
    for (; Stages(plan[i]) && plan[i].folderEntry != kNoEntry && foldersMade <= plan[i].folderEntry;
         ++foldersMade) {
      if (plan[foldersMade].action != EntryAction::kMakeFolder) continue;
      if (!MakeEntryFolder(list[foldersMade], all[foldersMade], installBase)) {
        stoppedAt = foldersMade;
        return false;
      }
      staged[foldersMade].folderMade = true;
    }
    if (Stages(plan[i])) {
      CopyCheck check;
      // A destination that holds the new file already is its own copy: nothing to decode.
      PatchEntry entry = list[i];
      EntryPaths from = all[i];
      if (alreadyNew[i]) {
        entry.encoding = Encoding::kWhole;
        from.source = all[i].destination;
        LOG_PROGRESS(L"[%s]Dest file[%s] holds sha256[%s] already; copied from it, not decoded.",
                     all[i].destination, WidenUtf8(recorded));
      }
      const CopyOutcome outcome = CopyToPartial(entry, from, all[i].base, staged[i], check,
                                                fileHashes ? &(*fileHashes)[i] : nullptr);
      // Each byte is hashed once: the copy is what the commit installs.
      if (outcome == CopyOutcome::kCopied && encoded && !alreadyNew[i]) {
        if (list[i].encoding == Encoding::kDifference) {
          LOG_PROGRESS(L"[%s]Decode file successful, from[%s] and base[%s] to[%s], sha256[%s].",
                       source, all[i].base, all[i].partial, WidenUtf8(recorded));
        } else {
          LOG_PROGRESS(L"[%s]Decode file successful, from[%s] to[%s], sha256[%s].", source,
                       all[i].partial, WidenUtf8(recorded));
        }
      }
      if (outcome == CopyOutcome::kCopied) continue;
      if (outcome == CopyOutcome::kHashDiffers) {
        if (encoded) {
          ReportDecodedDiffers(all[i], check.hash.actual, recorded);
        } else {
          ReportHashDiffers(source, check.hash.actual, recorded);
        }
        return false;
      }
      // What an encoded patch file decodes to is known only once decoded: no second try.
      if (encoded && outcome != CopyOutcome::kPartialIsLink) {  // the commit refuses a link
        if (outcome == CopyOutcome::kDecodeFailed) {
          ReportDecodeFailed(all[i], check.decode);
        } else {
          ReportFailedCopy(outcome, check, all[i], recorded, nullptr);
        }
        return false;
      }
    }
    // An encoded patch file holds other bytes than the ones its hash names.
    if (recorded.empty() || encoded || facts[i].patchFile == PathKind::kMissing) continue;
    // Not copied now, or the copy failed: the patch file itself tells.
    HashVerdict verdict = CheckRecordedHash(source, recorded);
    if (verdict.state == HashState::kUnreadable) {
      LOG_FAILURE(L"[%s]Patch file[%s] cannot be read for its sha256, err:%u.", source,
                  verdict.error);
      return false;
    }
    if (verdict.state == HashState::kDiffers) {
      ReportHashDiffers(source, verdict.actual, recorded);
      return false;
    }
  }
  return true;
}

// The hash of every patch file without a recorded one that staging did not copy ("-" for one
// that cannot be read), for the package's id.
void HashUnstagedPatchFiles(const PatchList& list, const std::vector<EntryPaths>& all,
                            std::vector<std::string>& fileHashes) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].kind != EntryKind::kCopy || !list[i].sha256.empty() || !fileHashes[i].empty())
      continue;
    DWORD error = 0;
    if (!HashFileSha256(all[i].source, fileHashes[i], error)) fileHashes[i] = "-";
  }
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

// A removal's turn: the destination found is moved aside as a replaced file is; a folder or a
// link there now is refused.
Turn CommitRemoval(const EntryPaths& paths, RecordedEntry& done) {
  const std::wstring destination = LongPathForm(paths.destination);
  if (IsFolder(destination) || IsLinkAt(destination)) {
    LOG_FAILURE(L"[%s]Remove file[%s] refused: a folder or a link, not a file.", paths.destination);
    return Turn::kStop;
  }
  DWORD error = 0;
  switch (MoveAside(paths, &error)) {
    case MoveAsideResult::kMoved:
      LOG_PROGRESS(L"[%s]Remove file successful, moved from[%s] to[%s].", paths.destination,
                   paths.backup);
      done.action = RecordedAction::kRemoved;
      return Turn::kGoOn;
    case MoveAsideResult::kBackupExists:
      done.action = RecordedAction::kSkippedBackupExists;
      return Turn::kGoOn;
    case MoveAsideResult::kMissing:
      LOG_PROGRESS(L"[%s]Remove file[%s] skipped: it does not exist.", paths.destination);
      done.action = RecordedAction::kSkippedNothingToRemove;
      return Turn::kGoOn;
    case MoveAsideResult::kFailed:
      break;
  }
  LOG_FAILURE(L"[%s]Remove file failed, from[%s] to[%s], err:%u.", paths.destination,
              paths.backup, error);
  return Turn::kStop;
}

// A folder entry's turn: made unless a staged copy needed it made already, or it is there.
Turn CommitFolder(const PatchEntry& entry, const EntryPaths& paths, const StagedCopy& staged,
                  const std::wstring& installBase, RecordedEntry& done) {
  if (staged.folderMade) {
    done.action = RecordedAction::kFolderMade;
    return Turn::kGoOn;
  }
  const std::wstring destination = LongPathForm(paths.destination);
  if (IsFolder(destination) && !IsLinkAt(destination)) {
    done.action = RecordedAction::kSkippedFolderExists;
    return Turn::kGoOn;
  }
  if (PathExists(destination)) {
    LOG_FAILURE(L"[%s]Make folder[%s] refused: a file or a link is there.", paths.destination);
    return Turn::kStop;
  }
  if (!MakeEntryFolder(entry, paths, installBase)) return Turn::kStop;
  done.action = RecordedAction::kFolderMade;
  return Turn::kGoOn;
}

// One entry's turn after the stop, decided by what the file system holds now, not by what the
// plan expected: the destination found is moved aside (the entry is skipped when its backup
// exists), then the staged copy is renamed into place; without a staged copy it is copied now.
// `done` gets what the entry came to. No hook call and nothing that can throw comes between
// moving a destination aside and the step that makes it whole again: the copy, or putting the
// original back.
Turn CommitEntry(const PatchEntry& entry, const EntryPaths& paths, const EntryFacts& facts,
                 const PlannedEntry& step, StagedCopy& staged, const std::string* fileHash,
                 const std::wstring& installBase, RecordedEntry& done) {
  done = {RecordedAction::kFailed, InstalledFile()};
  if (step.action == EntryAction::kRefuse) {
    if (entry.kind == EntryKind::kCopy || paths.deviceOrStream || paths.controlCharacter) {
      ReportRefused(paths);
    } else {
      LOG_FAILURE(L"[%s]Dest[%s] refused: a folder, a link or a file in the way, or outside the "
                  L"installation folder.",
                  paths.destination);
    }
    return Turn::kStop;
  }
  if (entry.kind == EntryKind::kRemove) return CommitRemoval(paths, done);
  if (entry.kind == EntryKind::kFolder) return CommitFolder(entry, paths, staged, installBase, done);
  if (step.action == EntryAction::kSkipMissingFile) {
    LOG_FAILURE(kPatchFileMissingFormat, paths.source);
    done.action = RecordedAction::kSkippedMissingFile;
    return Turn::kGoOn;
  }
  if (step.action == EntryAction::kSkipInstalled) {
    done.action = RecordedAction::kSkippedInstalled;
    return Turn::kGoOn;
  }
  const std::wstring partial = LongPathForm(paths.partial);
  if (!staged.staged && IsLinkAt(partial)) {
    LOG_FAILURE(L"[%s]Partial copy[%s] is a link, not a file; nothing is copied through it.",
                paths.partial);
    return Turn::kStop;
  }
  const std::wstring backup = LongPathForm(paths.backup);
  const MoveAsideResult aside = MoveAsideReported(paths);
  if (aside == MoveAsideResult::kBackupExists) {
    // An earlier run already replaced this file; a copy that a stopped run left behind goes.
    if (facts.partialPresent && !staged.staged) ClearName(partial, kBlockedKind);
    done.action = RecordedAction::kSkippedBackupExists;
    return Turn::kGoOn;
  }
  if (aside == MoveAsideResult::kFailed) return Turn::kStop;
  const bool movedAside = aside == MoveAsideResult::kMoved;
  // A copy that could not be staged is made once more, here. A copy that keeps its partial
  // name is removed with the others when the run ends.
  // A difference against the destination itself reads it where it was just moved.
  const std::wstring& base = movedAside && paths.base == paths.destination ? backup : paths.base;
  CopyCheck check;
  CopyOutcome outcome = staged.staged
                            ? CopyOutcome::kCopied
                            : CopyToPartial(entry, paths, base, staged, check, nullptr);
  if (outcome == CopyOutcome::kCopied && !RenameIntoPlace(paths, staged))
    outcome = CopyOutcome::kFailed;
  if (outcome != CopyOutcome::kCopied) {
    ReportFailedCopy(outcome, check, paths, entry.sha256, movedAside ? &backup : nullptr);
    return Turn::kStop;
  }
  staged.staged = false;
  LOG_PROGRESS(L"[%s]Copy file successful, from[%s] to[%s].", paths.source, paths.destination);
  done.action = movedAside ? RecordedAction::kMovedThenCopied : RecordedAction::kCopied;
  // Copied only now: the patch file's hash, taken before the stop, tells the copy.
  done.installed = staged.installed.kind == InstalledFile::Kind::kNone && fileHash != nullptr
                       ? Sha256Of(*fileHash)
                       : staged.installed;
  return Turn::kGoOn;
}

// What the plan means to do with each entry, as the record holds it while the run commits: the
// entries it copies are planned, and become done or not reached by the progress the record
// marks (EntriesAsReached).
std::vector<RecordedEntry> Intent(const std::vector<PlannedEntry>& plan,
                                  const std::vector<StagedCopy>& staged) {
  std::vector<RecordedEntry> intent(plan.size());
  for (size_t i = 0; i < plan.size(); ++i) {
    RecordedAction& action = intent[i].action;
    switch (plan[i].action) {
      case EntryAction::kCopy:
      case EntryAction::kMoveThenCopy:
        action = plan[i].movesAside ? RecordedAction::kPlannedMoveThenCopy
                                    : RecordedAction::kPlannedCopy;
        intent[i].installed = staged[i].installed;
        break;
      case EntryAction::kSkipBackupExists:
        action = RecordedAction::kSkippedBackupExists;
        break;
      case EntryAction::kSkipInstalled:
        action = RecordedAction::kSkippedInstalled;
        break;
      case EntryAction::kSkipMissingFile:
        action = RecordedAction::kSkippedMissingFile;
        break;
      case EntryAction::kRefuse:
      case EntryAction::kCopyFails:
        action = RecordedAction::kFailed;
        break;
      case EntryAction::kNotReached:
        action = RecordedAction::kNotReached;
        break;
      case EntryAction::kRemove:
        action = RecordedAction::kPlannedRemove;
        break;
      case EntryAction::kSkipNothingToRemove:
        action = RecordedAction::kSkippedNothingToRemove;
        break;
      case EntryAction::kMakeFolder:
        action = staged[i].folderMade ? RecordedAction::kFolderMade : RecordedAction::kPlannedFolder;
        break;
      case EntryAction::kSkipFolderExists:
        action = RecordedAction::kSkippedFolderExists;
        break;
    }
  }
  return intent;
}

// The run's record: read once the package's id is known, written with the run's intent before
// the product is stopped, marked as the commit reaches each entry, written again where an
// entry's turn came to something else than planned, and with its outcome after the product
// runs again. A failure to write it costs one line and changes nothing of the run.
struct Recorder {
  const PatchRun* run = nullptr;  // null: nothing is recorded
  std::string packageId;
  RunRecord record;
  std::vector<RecordedEntry> earlier;
  std::vector<RecordedEntry> intent;
  RegistryKey key;  // open while the commit marks its progress

  void Begin(const PatchRun* patchRun, std::string id, const std::wstring& installDir,
             size_t entries) {
    run = patchRun;
    packageId = std::move(id);
    if (run == nullptr) return;
    run->recordId = packageId;
    if (packageId.empty()) return Failed(ERROR_INVALID_DATA);
    RunRecord found;
    if (ReadRunRecord(packageId, found) == RecordRead::kFound &&
        found.state != RecordState::kUndone) {
      earlier = std::move(found.entries);
    }
    record.packageDir = run->packageDir;
    record.installDir = installDir;
    record.started = RecordTimeNow();
    record.entries.resize(entries);
  }
  void Write(RecordState state, const std::vector<RecordedEntry>& entries, size_t entry) {
    if (run == nullptr) return;
    record.state = state;
    record.entries = MergeEntries(earlier, entries);
    record.failedEntry = entry == kNoEntry ? 0 : static_cast<DWORD>(entry + 1);
    record.ended = state == RecordState::kApplying ? std::wstring() : RecordTimeNow();
    const LONG result = WriteRunRecord(packageId, record);
    if (result != ERROR_SUCCESS) Failed(static_cast<DWORD>(result));
  }
  void WriteIntent(std::vector<RecordedEntry> planned) {
    intent = std::move(planned);
    Write(RecordState::kApplying, intent, kNoEntry);
    if (run != nullptr && OpenRunRecord(packageId, key) != ERROR_SUCCESS) run = nullptr;
  }
  // Once the product is stopped: what a later run starts again should this one be cut off.
  void Stopped(std::vector<RecordedProgram> programs) {
    if (run == nullptr || programs.empty()) return;
    record.stopped = std::move(programs);
    const LONG result = WriteStopped(key, record.stopped);
    if (result != ERROR_SUCCESS) Failed(static_cast<DWORD>(result));
  }
  // Before entry `i`'s turn can change anything.
  void Reach(size_t i) {
    if (run == nullptr) return;
    record.reached = static_cast<DWORD>(i + 1);
    const LONG result = WriteReached(key, record.reached);
    if (result != ERROR_SUCCESS) Failed(static_cast<DWORD>(result));
  }
  // After entry `i`'s turn, once its destination is whole again.
  void Came(size_t i, const std::vector<RecordedEntry>& done) {
    if (run == nullptr || EntriesAsReached({intent[i]}, 1)[0].action == done[i].action) return;
    std::vector<RecordedEntry> now = intent;
    std::copy(done.begin(), done.begin() + static_cast<std::ptrdiff_t>(i + 1), now.begin());
    Write(RecordState::kApplying, now, kNoEntry);
  }
  // One line, and no further try: what failed once fails again.
  void Failed(DWORD error) {
    LOG_FAILURE(L"[%s]Run record %s\\%s not written, err:%u.", kRecordsKey, WidenUtf8(packageId),
                error);
    run = nullptr;
  }
};

// A plan that changes nothing, carried out while the product runs: no file is moved or copied,
// each entry gets the skip the commit would have recorded, with the same lines.
void SkipEntries(const std::vector<EntryPaths>& all, const std::vector<PlannedEntry>& plan,
                 const std::vector<StagedCopy>& staged, std::vector<RecordedEntry>& done) {
  done = Intent(plan, staged);
  for (size_t i = 0; i < plan.size(); ++i) {
    if (plan[i].action == EntryAction::kSkipMissingFile) {
      LOG_FAILURE(kPatchFileMissingFormat, all[i].source);
    } else if (plan[i].action == EntryAction::kSkipNothingToRemove) {
      LOG_PROGRESS(L"[%s]Remove file[%s] skipped: it does not exist.", all[i].destination);
    }
  }
}

// After the stop: each entry in list order, until the first that fails or is refused; later
// entries keep what `done` held for them. False when the run stopped.
bool CommitEntries(const PatchList& list, const std::vector<EntryPaths>& all,
                   const std::vector<EntryFacts>& facts, const std::vector<PlannedEntry>& plan, std::vector<StagedCopy>& staged,
                   const std::vector<std::string>* fileHashes, const std::wstring& installBase,
                   Recorder& recorder, std::vector<RecordedEntry>& done) {
  for (size_t i = 0; i < list.size(); ++i) {
    recorder.Reach(i);
    const std::string* fileHash = fileHashes != nullptr ? &(*fileHashes)[i] : nullptr;
    if (CommitEntry(list[i], all[i], facts[i], plan[i], staged[i], fileHash, installBase,
                    done[i]) == Turn::kStop)
      return false;
    recorder.Came(i, done);
  }
  return true;
}

// The first destination, after a run that went through every entry, that does not hold the
// package's file: one that a skip left as it was (its backup kept it, or its patch file is
// missing) and whose bytes do not have the recorded hash or the patch file's; a removal's that
// is there, a folder entry's that is not a folder. Only the last entry naming a destination
// counts. kNoEntry when every one holds it.
size_t FirstNotHolding(const PatchList& list, const std::vector<EntryPaths>& all,
                       const std::vector<RecordedEntry>& done,
                       const std::vector<std::string>& fileHashes) {
  std::map<std::wstring, size_t, FileNameLess> last;
  for (size_t i = 0; i < list.size(); ++i) last[DestinationKey(WidenUtf8(list[i].dest))] = i;
  for (size_t i = 0; i < list.size(); ++i) {
    const RecordedAction action = done[i].action;
    if (Installs(action) || action == RecordedAction::kSkippedInstalled) continue;
    if (last[DestinationKey(WidenUtf8(list[i].dest))] != i) continue;
    if (list[i].kind == EntryKind::kRemove && !PathExists(all[i].destination)) continue;
    if (list[i].kind == EntryKind::kFolder && IsFolder(LongPathForm(all[i].destination))) continue;
    if (list[i].kind != EntryKind::kCopy) return i;
    const std::string& expected = list[i].sha256.empty() ? fileHashes[i] : list[i].sha256;
    std::string actual;
    DWORD error = 0;
    const bool missingFile = action == RecordedAction::kSkippedMissingFile && list[i].sha256.empty();
    if (missingFile || !HashFileSha256(all[i].destination, actual, error) || actual != expected)
      return i;
  }
  return kNoEntry;
}

// Entries whose destination holds the file that an earlier run of this package added (it made
// no backup): a run moves it aside no more.
void MarkInstalledByEarlierRun(const std::vector<RecordedEntry>& earlier,
                               const std::vector<EntryPaths>& all, std::vector<EntryFacts>& facts) {
  if (earlier.size() != facts.size()) return;
  for (size_t i = 0; i < facts.size(); ++i) {
    facts[i].installedByPackage =
        AddedByEarlierRun(earlier[i], all[i].destination, facts[i].destination == PathKind::kFile,
                          facts[i].backupPresent);
  }
}

}  // namespace

bool StartPatch(const std::wstring& installDir, const PatchList& list,
                const std::wstring& patchFolder, const PatchRun* run) {
  if (list.empty() || patchFolder.empty() || installDir.empty()) return false;
  std::wstring installBase = installDir;
  AppendBackslashIfMissing(installBase);
  const std::vector<EntryPaths> paths = FormAllEntryPaths(list, patchFolder, installDir);
  std::vector<EntryFacts> facts = GatherEntryFacts(paths);
  std::vector<PlannedEntry> plan = PlanEntries(list, facts);

  // Everything that takes time happens while the product still runs; a run stopped on the way
  // leaves only partial copies, which the next run removes.
  StagedCopies staged(paths);
  std::vector<RecordedEntry> done(list.size(), {RecordedAction::kNotReached, InstalledFile()});
  // The package's id covers the patch files of entries without a recorded hash.
  const bool hashFiles = run != nullptr && NeedsFileHashes(list);
  std::vector<std::string> fileHashes(hashFiles ? list.size() : 0);
  size_t stoppedAt = 0;
  const bool ready = StageEntries(list, paths, facts, plan, installBase, staged.copies,
                                  hashFiles ? &fileHashes : nullptr, stoppedAt);
  if (hashFiles) HashUnstagedPatchFiles(list, paths, fileHashes);
  Recorder recorder;
  recorder.Begin(run, run ? PackageIdOf(run->packageId, list, fileHashes) : std::string(),
                 installDir, list.size());
  if (!ready) {
    // Folders made for staged copies stay, empty, and the record says so for the undo.
    for (size_t i = 0; i < done.size(); ++i) {
      if (staged.copies[i].folderMade) done[i].action = RecordedAction::kFolderMade;
    }
    done[stoppedAt].action = RecordedAction::kFailed;
    recorder.Write(RecordState::kFailed, done, stoppedAt);
    return false;
  }
  MarkInstalledByEarlierRun(recorder.earlier, paths, facts);
  plan = PlanEntries(list, facts);
  recorder.WriteIntent(Intent(plan, staged.copies));
  bool applied = false;
  if (ChangesNothing(plan)) {
    // A required deployment evaluated again, a start-up script: the users' product keeps running.
    LOG_PROGRESS(L"[%s]Nothing to change: every entry is skipped or applied already; the product "
                 L"is not stopped.");
    SkipEntries(paths, plan, staged.copies, done);
    applied = true;
  } else {
    // From the first kill to the restart the product is stopped: the hook library waits.
    const AssertHookHold hold;
    ProductStop stop(installBase);
    recorder.Stopped(stop.Stopped());
    const double swapStart = Now();
    applied = CommitEntries(list, paths, facts, plan, staged.copies, hashFiles ? &fileHashes : nullptr,
                            installBase, recorder, done);
    SwapSeconds = Now() - swapStart;
    stop.Restart();  // also after a failure
    recorder.record.stopped.clear();
  }
  size_t entry = 0;
  while (entry < done.size() && done[entry].action != RecordedAction::kFailed) ++entry;
  if (!applied) {
    recorder.Write(RecordState::kFailed, done, entry);
    return false;
  }
  if (run != nullptr) {
    if (!hashFiles) fileHashes.resize(list.size());
    entry = FirstNotHolding(list, paths, done, fileHashes);
  } else {
    entry = kNoEntry;
  }
  recorder.Write(entry == kNoEntry ? RecordState::kApplied : RecordState::kSkipped, done, entry);
  LOG_PROGRESS(kPatchSuccessfulFormat);
  return true;
}

double LastSwapSeconds() { return SwapSeconds; }
