#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "package/conf.h"
#include "package/entry_paths.h"
#include "package/plan.h"
#include "product/run_record.h"
#include "tools/kit/files.h"
#include "tools/kit/install_folder.h"

// Whether a package is applied here: what the installation holds for each entry, against what a
// run does with it.

// What an installation holds for one entry, beside what a run does with the entry.
enum class EntryRole {
  kApplies,        // a run copies its patch file in
  kSkipsMissing,   // its patch file is missing: a run skips it, its recorded sha256 tells
  kSkipsRepeated,  // an earlier entry that a run applies names the same destination
  kRefused,        // a device or a stream: a run refuses it and stops there
  kRemoves,        // a removal: applied when its destination is absent
  kMakesFolder,    // a folder entry: applied when the folder exists
};
struct InstalledEntry {
  size_t entry = 0;  // 1-based
  EntryRole role = EntryRole::kApplies;
  size_t sameAs = 0;  // kSkipsRepeated: the earlier entry, 1-based
  EntryPaths paths;
  EntryFacts facts;
  // The destination against the patch file; for an entry that a run applies, also against the
  // patch file of a later entry naming it (a run moves a file it added aside for that one). An
  // entry whose patch file is missing is compared with its recorded sha256, or cannot be told.
  Comparison holds = Comparison::kMissing;
  bool cannotTell = false;  // patch file missing and no recorded sha256
  DWORD error = 0;          // the platform's code when kUnreadable
};

// Reads the installation for every entry, with each entry's role from the plan; changes
// nothing.
std::vector<InstalledEntry> ReadInstalledEntries(const std::wstring& packageDir,
                                                 const std::wstring& installDir,
                                                 const PatchList& entries);

// True when every entry that a run applies, or would apply with its patch file, holds what the
// package installs there, and no entry is refused.
bool IsApplied(const std::vector<InstalledEntry>& installed);

// "applied", "differs", "missing", "unreadable", "cannot-tell", "skip-repeated", "refused".
const char* EntryStateName(const InstalledEntry& item);
// One sentence: "applied: C:\...\a.dll holds the package's file; its backup exists".
std::string DescribeInstalledEntry(const InstalledEntry& item);

// What a detection rule needs: the installation folder, the run's record of the package, and
// whether every entry holds what the package installs there. Changes nothing.
struct VerifyReport {
  InstallFolder install;
  std::string error;  // why it cannot be told; empty when it can
  std::string packageId;
  RecordRead recordRead = RecordRead::kMissing;
  RunRecord record;
  std::vector<InstalledEntry> installed;
  bool applied = false;
};
VerifyReport VerifyPackage(const std::wstring& packageDir, const std::wstring& givenInstallDir);
