#pragma once

#include <json/json.h>

#include <string>
#include <vector>

#include "package/conf.h"
#include "package/entry_paths.h"
#include "package/hash_check.h"
#include "package/plan.h"
#include "package/seal.h"
#include "tools/kit/runner_image.h"

// What patchcheck finds in a package: the runner's seal and signature, conf.json as a run reads
// it, the entries' texts and their patch files.

enum class FindingLevel { kError, kWarning };

struct Finding {
  FindingLevel level;
  std::string message;  // UTF-8, one sentence
  const char* code = "";  // stable across versions, for scripts ("patch-file-missing")
  size_t entry = 0;       // the entry it is about, from 1; 0 for the package as a whole
};
// A finding whose entry is the one its message starts with ("entry 3: ..."), if any.
Finding MakeFinding(FindingLevel level, const char* code, std::string message);

// One entry of the dry run: what the plan says a run does with it.
struct DryRunStep {
  size_t entry = 0;  // 1-based
  PlannedEntry planned;
  EntryPaths paths;
  bool verified = false;  // the patch file has the sha256 that conf.json records for it
  Encoding encoding = Encoding::kWhole;
};

// The package's runner (Patch.exe, which the install command starts, when it is one): its seal
// against the package's conf.json, and its signature.
struct RunnerReport {
  std::wstring path;  // empty: the package folder holds no runner
  std::string seal;   // 32 bytes; all zero when unsealed or without a seal block
  SealVerdict verdict;
  bool sealBlock = false;  // a runner built before seals has none, and applies any conf.json
  bool signature = false;  // an Authenticode signature: a PE security directory
  SignatureVerdict trust;  // what WinVerifyTrust makes of it
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

// The findings on the entries' own texts: empty, absolute, climbing out, a device or a stream,
// names Windows would change, repeated.
std::vector<Finding> CheckEntryTexts(const PatchList& entries);

// Adds a warning when `path` (the entry's patch file or destination) has 260 characters or more:
// the runner names such files as they are, and no file is found that way.
void WarnIfTooLong(std::vector<Finding>& findings, size_t index, const char* what,
                   const std::wstring& path, const char* consequence);

// Decodes an encoded patch file (a difference against `base`) to its hash and sets `hash` as a
// check of a whole patch file would, with an error finding when it does not decode or decodes to
// another hash than the recorded one.
void CheckDecodedHash(const PatchEntry& entry, size_t index, const std::wstring& source,
                      const std::wstring& base, HashVerdict& hash, std::vector<Finding>& findings);

// How the tools print a report: one line per finding ("error: ..."), and as JSON an object with
// "ok", "runner", "findings" and "dry_run".
std::string FindingText(const Finding& finding);
std::string RunnerText(const RunnerReport& runner);
Json::Value ReportJson(const PackageReport& report);
