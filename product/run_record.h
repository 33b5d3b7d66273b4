#pragma once

// What a run did with a package on this machine, registered where only administrators and
// SYSTEM may write: HKLM\SOFTWARE\Norvale\Wareden\Patches\<package id> in the program's default
// view (like InstallDir), the package id being the SHA-256 of the conf.json bytes the run read.
// Undo and every verdict rest on it, never on files an ordinary user could have written.

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr wchar_t kRecordsKey[] = L"SOFTWARE\\Norvale\\Wareden\\Patches";

// What the run did with one entry.
enum class RecordedAction : uint8_t {
  kNone = 0,  // nothing recorded
  kMovedThenCopied = 1,
  kCopied = 2,  // where nothing was
  kSkippedBackupExists = 3,
  kSkippedMissingFile = 4,
  kNotReached = 5,
  kFailed = 6,     // the entry where the run stopped
  kTakenBack = 7,  // patchundo put back or removed what the run installed
};
const char* RecordedActionName(RecordedAction action);  // "moved-then-copied", ...

// What tells the file a run installed: the SHA-256 it was checked against, or, for an entry
// without a recorded hash, the file itself (file index, size, time of last write),
// which a rename keeps and any change or replacement of the file loses.
struct InstalledFile {
  enum class Kind : uint8_t { kNone = 0, kSha256 = 1, kIdentity = 2 };
  Kind kind = Kind::kNone;
  std::array<char, 32> bytes = {};  // of either kind
};
// The identity of the open file `file`; kNone when it cannot be read.
InstalledFile IdentityOf(HANDLE file);
// The hash as 64 hex digits (conf.json's "sha256").
InstalledFile Sha256Of(const std::string& hex);
// True when the file at `path` is that installed file.
bool HoldsInstalledFile(const std::wstring& path, const InstalledFile& installed);

struct RecordedEntry {
  RecordedAction action = RecordedAction::kNone;
  InstalledFile installed;
};

enum class RecordState { kApplying, kApplied, kFailed, kUndone };
const wchar_t* RecordStateName(RecordState state);  // "applying", "applied", "failed", "undone"

struct RunRecord {
  std::wstring packageDir;
  std::wstring installDir;
  RecordState state = RecordState::kApplying;
  std::wstring started, ended, undone;  // UTC "yyyy-mm-ddThh:mm:ssZ", empty until then
  DWORD failedEntry = 0;                // 1-based, when failed
  std::vector<RecordedEntry> entries;
};

// The entries as stored: 34 bytes each (action, kind, 32 bytes), whatever the paths' lengths.
std::string EncodeEntries(const std::vector<RecordedEntry>& entries);
bool DecodeEntries(const std::string& bytes, std::vector<RecordedEntry>& entries);

// True for the actions that left a file of the package in the installation.
bool Installs(RecordedAction action);

// What a run that found `earlier` (a record of the same package, not undone) records: what it
// did, except where it did nothing to an entry an earlier run installed, which keeps that
// run's account, and where it copied over a backup an earlier run made, which stays a move.
std::vector<RecordedEntry> MergeEntries(const std::vector<RecordedEntry>& earlier,
                                        const std::vector<RecordedEntry>& now);

// The record once an undo took back the entries whose flag in `takenBack` (one per entry) is
// set: each becomes kTakenBack; when nothing the run installed is left, the state becomes
// undone at `now`, and the record stays for the audit.
RunRecord RecordAfterUndo(RunRecord record, const std::vector<bool>& takenBack,
                          const std::wstring& now);

// "yyyy-mm-ddThh:mm:ssZ" of now.
std::wstring RecordTimeNow();

enum class RecordRead { kFound, kMissing, kUnreadable };
RecordRead ReadRunRecord(const std::string& packageId, RunRecord& record);
// Writes the whole record; the platform's code.
LONG WriteRunRecord(const std::string& packageId, const RunRecord& record);
// The ids of every record on this machine.
std::vector<std::string> ListRunRecords();
