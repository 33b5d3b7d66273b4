#pragma once

// What a run does with each entry, decided in one place from what the file system holds before
// the run: the runner acts on it, the dry run prints it, and the tools reverse or check it.

#include <cstddef>
#include <string>
#include <vector>

#include "package/conf.h"
#include "package/entry_paths.h"

enum class PathKind { kMissing, kFile, kFolder };

// What the file system holds for one entry before a run.
struct EntryFacts {
  // Its dest names a device or a stream, or its src or dest holds a control character: no file
  // of that name can be written or read (EntryPaths).
  bool refusedName = false;
  PathKind patchFile = PathKind::kMissing;
  PathKind destination = PathKind::kMissing;
  bool backupPresent = false;
  bool destinationFolderPresent = false;
  bool partialPresent = false;  // a copy that a stopped run left at the partial name
  bool partialLink = false;     // a link at the partial name: a copy there is refused
  // The destination holds the file that the record says an earlier run of the package added.
  bool installedByPackage = false;
  bool destinationLink = false;  // a removal's destination is a link or junction
};

enum class EntryAction {
  kRefuse,            // a device, a stream or a control character: refused, the run stops here
  kSkipMissingFile,   // no patch file: an error line, and the run goes on
  kSkipBackupExists,  // an earlier run replaced it: nothing happens
  kSkipInstalled,     // an earlier run of the package added it, and it is still there
  kCopy,              // no destination: the patch file is copied in
  kMoveThenCopy,      // the destination goes to its backup name, then the copy
  kCopyFails,         // no destination folder, a folder as patch file, or a link at the
                      // partial name: the run stops here, and a destination moved aside first
                      // goes back
  kNotReached,        // after the entry where the run stops
  kRemove,            // a removal: the destination goes to its backup name
  kSkipNothingToRemove,  // a removal whose destination is missing: a progress line
  kMakeFolder,        // a folder entry whose folder is missing: made, with missing parents
  kSkipFolderExists,  // a folder entry whose folder is there
};

// "refused", "skip-missing-file", "skip-backup-exists", "skip-installed", "copy",
// "move-then-copy", "copy-fails", "not-reached", "remove", "skip-missing", "make-folder",
// "skip-exists".
const char* EntryActionName(EntryAction action);

inline constexpr size_t kNoEntry = static_cast<size_t>(-1);

struct PlannedEntry {
  EntryAction action = EntryAction::kNotReached;
  bool movesAside = false;  // kMoveThenCopy, kRemove, and kCopyFails over an existing destination
  // The first earlier entry whose dest names the same file and whose patch file is present.
  size_t sameAs = kNoEntry;
  // A copy into a folder that a folder entry makes: that entry, whose folder must be there
  // before the copy is staged.
  size_t folderEntry = kNoEntry;
};

// A removal or a folder whose dest is the installation folder itself or climbs out of it.
bool OutsideInstallation(const std::wstring& destinationKey);

// For each entry in order, what a run does with it, given `facts` (one per entry, as the file
// system holds them before the run). Each entry sees what the earlier ones did: a backup made
// (an entry whose dest is that backup finds a file there), a file added or removed, a folder
// made. A removal of a folder or a link, a folder entry over a file, and either kind outside
// the installation are refused. Pure: no I/O.
std::vector<PlannedEntry> PlanEntries(const PatchList& entries,
                                      const std::vector<EntryFacts>& facts);

// True when no entry of `plan` changes anything: every one is skipped or already applied, so a
// run has no reason to stop the product.
bool ChangesNothing(const std::vector<PlannedEntry>& plan);

// The entry's dest as the file system compares names: one separator, "." and ".." resolved,
// no dots or spaces at the end of a part. Compare keys with CompareAsFileNames.
std::wstring DestinationKey(const std::wstring& dest);

// The paths of every entry (FormEntryPaths).
std::vector<EntryPaths> FormAllEntryPaths(const PatchList& entries,
                                          const std::wstring& patchFolder,
                                          const std::wstring& installDir);

// Reads the facts of every entry from the file system; changes nothing. Each destination
// folder is listed once for the backup and partial names, so that a package of thousands of
// entries does not look up each missing name alone.
std::vector<EntryFacts> GatherEntryFacts(const std::vector<EntryPaths>& paths);
