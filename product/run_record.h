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

#include "platform/registry.h"

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
  kTakenBack = 7,  // patchundo put back or removed what the run installed, or found it gone
  // Only while a run commits (state applying): what its turn of the entry is to do. A reader
  // sees an entry the run reached (see RunRecord::reached) as done, any other as not reached.
  kPlannedMoveThenCopy = 8,
  kPlannedCopy = 9,
  // The destination still holds the file an earlier run of the package installed: left as it is.
  kSkippedInstalled = 10,
  kRemoved = 11,      // a removal: the destination moved aside to its backup name
  kFolderMade = 12,   // a folder entry: the folder was missing and the run made it
  kSkippedNothingToRemove = 13,  // a removal whose destination was missing
  kSkippedFolderExists = 14,     // a folder entry whose folder was there
  // Planned, as 8 and 9 are.
  kPlannedRemove = 15,
  kPlannedFolder = 16,
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

// kSkipped: the run went through every entry, but a destination does not hold the package's file
// (its patch file missing, or a backup of another package kept it from being replaced).
// kPartlyUndone: an undo took back some of what the run did and left the rest (files it added,
// kept without --remove-added, or entries that changed since): no longer applied, not undone.
enum class RecordState { kApplying, kApplied, kFailed, kUndone, kSkipped, kPartlyUndone };
// "applying", "applied", "failed", "undone", "skipped", "partly-undone".
const wchar_t* RecordStateName(RecordState state);

// A program the run stopped, as it is to be started again once it is not running.
struct RecordedProgram {
  DWORD sessionId = 0;
  std::wstring user;  // the SID of the account it ran as, "S-1-5-..."; empty when unknown
  bool operator==(const RecordedProgram& other) const {
    return sessionId == other.sessionId && user == other.user;
  }
};

struct RunRecord {
  std::wstring packageDir;
  std::wstring installDir;
  RecordState state = RecordState::kApplying;
  std::wstring started, ended, undone;  // UTC "yyyy-mm-ddThh:mm:ssZ", empty until then
  DWORD failedEntry = 0;  // 1-based: where a failed run stopped, or the first entry skipped
  DWORD reached = 0;      // 1-based: the last entry whose turn a committing run began
  // The main programs stopped while the run commits, from its installation folder; none once
  // they were started again.
  std::vector<RecordedProgram> stopped;
  std::vector<RecordedEntry> entries;
};

// The entries as stored: 34 bytes each (action, kind, 32 bytes), whatever the paths' lengths.
std::string EncodeEntries(const std::vector<RecordedEntry>& entries);
bool DecodeEntries(const std::string& bytes, std::vector<RecordedEntry>& entries);

// True for the actions that left a file of the package in the installation.
bool Installs(RecordedAction action);
// True for what an undo takes back: a file installed, a file moved aside, a folder made.
bool Changes(RecordedAction action);

// Planned entries as what they came to: done up to `reached` (1-based), not reached after it.
std::vector<RecordedEntry> EntriesAsReached(std::vector<RecordedEntry> entries, DWORD reached);

// True when `destination` (a file, without a backup) holds the file that `earlier`, an earlier
// run's account of the entry, says that run added: a run of the package leaves it as it is.
bool AddedByEarlierRun(const RecordedEntry& earlier, const std::wstring& destination,
                       bool destinationIsFile, bool backupPresent);

// What a run that found `earlier` (a record of the same package, not undone) records: what it
// did, except where it did nothing to an entry an earlier run installed, which keeps that
// run's account (a failure included: it put back what it moved), where it copied over a backup
// an earlier run made, which stays a move, and where it plans a copy into the empty place of an
// earlier run's file, which is the earlier run's account whether or not the copy comes.
std::vector<RecordedEntry> MergeEntries(const std::vector<RecordedEntry>& earlier,
                                        const std::vector<RecordedEntry>& now);

// The record once an undo took back the entries whose flag in `takenBack` (one per entry) is
// set: each becomes kTakenBack; when nothing the run installed is left, the state becomes
// undone at `now`, when only some of it is, partly undone at `now`; the record stays for the
// audit.
RunRecord RecordAfterUndo(RunRecord record, const std::vector<bool>& takenBack,
                          const std::wstring& now);

// "yyyy-mm-ddThh:mm:ssZ" of now.
std::wstring RecordTimeNow();

enum class RecordRead { kFound, kMissing, kUnreadable };
// Reads the record with its planned entries as they came to (EntriesAsReached).
RecordRead ReadRunRecord(const std::string& packageId, RunRecord& record);
// Writes the whole record; the platform's code.
LONG WriteRunRecord(const std::string& packageId, const RunRecord& record);
// The cheap mark of a committing run's progress: the record's key, opened once, and the entry
// whose turn begins.
LONG OpenRunRecord(const std::string& packageId, RegistryKey& key);
LONG WriteReached(RegistryKey& key, DWORD reached);
LONG WriteStopped(RegistryKey& key, const std::vector<RecordedProgram>& programs);
// "session user" lines, and back; false for text that holds no such lines.
std::wstring StoppedText(const std::vector<RecordedProgram>& programs);
bool ParseStoppedText(const std::wstring& text, std::vector<RecordedProgram>& programs);

// The ids of every record on this machine.
std::vector<std::string> ListRunRecords();
