#pragma once

#include <json/json.h>

#include <string>
#include <vector>

#include "package/conf.h"
#include "package/entry_paths.h"
#include "package/hash_check.h"
#include "package/plan.h"
#include "package/seal.h"
#include "tools/tool_files.h"

// What patchcheck finds in a package, and what a run would do with it on an installation.

enum class FindingLevel { kError, kWarning };

struct Finding {
  FindingLevel level;
  std::string message;  // UTF-8, one sentence
};

// One entry of the dry run: what the plan says a run does with it.
struct DryRunStep {
  size_t entry = 0;  // 1-based
  PlannedEntry planned;
  EntryPaths paths;
  bool verified = false;  // the patch file has the sha256 that conf.json records for it
};

// The package's runner: its seal against the package's conf.json, and its signature.
struct RunnerReport {
  std::wstring path;  // empty: the package folder holds no runner
  std::string seal;   // 32 bytes; all zero when unsealed or without a seal block
  SealVerdict verdict;
  bool sealBlock = false;  // a runner built before seals has none, and applies any conf.json
  bool signature = false;  // an Authenticode signature: a PE security directory
};

struct PackageReport {
  RunnerReport runner;
  std::vector<Finding> findings;
  PatchList entries;
  std::vector<HashVerdict> hashes;  // per entry
  std::vector<DryRunStep> steps;    // filled by DryRun
  bool Failed() const;  // an error, or a step that skips a missing file, is refused or fails
};

// Reads PACKAGE_DIR\patchfile\conf.json with the runner's own reader and reports what the
// runner would refuse or what would surprise an author. `packageDir` without trailing slash.
PackageReport CheckPackage(const std::wstring& packageDir);

// The seal (32 bytes) for the conf.json at `confPath`, read as a sealed runner reads it. False
// with a sentence in `error` when a sealed runner would refuse it: unreadable, out of the
// format, or an entry without "sha256".
bool SealForConf(const std::wstring& confPath, std::string& seal, std::string& error);

// The findings on the entries' own texts: empty, absolute, climbing out, a device or a stream,
// names Windows would change, repeated.
std::vector<Finding> CheckEntryTexts(const PatchList& entries);

// What a run would do, entry by entry, on `installDir`: the plan, as the runner makes it from
// the installation as it is now. Changes nothing.
void DryRun(const std::wstring& packageDir, const std::wstring& installDir, PackageReport& report);

// What an installation holds for one entry, beside what a run does with the entry.
enum class EntryRole {
  kApplies,        // a run copies its patch file in
  kSkipsMissing,   // its patch file is missing: a run skips it, its recorded sha256 tells
  kSkipsRepeated,  // an earlier entry that a run applies names the same destination
  kRefused,        // a device or a stream: a run refuses it and stops there
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
// The entries of PACKAGE_DIR\patchfile\conf.json as a run reads them, without the other checks,
// and with `packageId` the id of the run's record of it (the SHA-256 of its bytes). False with a
// sentence in `error` when there are none to work on.
bool ReadPackageEntries(const std::wstring& packageDir, PatchList& entries, std::string& error,
                        std::string* packageId = nullptr);

// Reads the installation for every entry, with each entry's role from the plan; changes
// nothing.
std::vector<InstalledEntry> ReadInstalledEntries(const std::wstring& packageDir,
                                                 const std::wstring& installDir,
                                                 const PatchList& entries);

// True when every entry that a run applies, or would apply with its patch file, holds what the
// package installs there, and no entry is refused.
bool IsApplied(const std::vector<InstalledEntry>& installed);

// How the tools print a report: one line per finding ("error: ..."), one per step ("entry 3:
// ..."), and as JSON an object with "ok", "runner", "findings" and "dry_run".
std::string FindingText(const Finding& finding);
std::string StepText(const DryRunStep& step);
std::string RunnerText(const RunnerReport& runner);
Json::Value ReportJson(const PackageReport& report);
