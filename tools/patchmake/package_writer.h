#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/conf.h"
#include "tools/patchcheck/findings.h"

// What patchmake builds: a package that turns an installation equal to one folder into another.

struct MakeRequest {
  std::wstring oldDir, newDir, outDir;  // no trailing backslash
  std::wstring runner;                  // the Patch.exe copied into the package
  std::vector<std::wstring> excludes;   // see MatchesPattern
  bool seal = true;                     // seal the runner's copy with conf.json's hash
  bool whole = false;                   // no differences: the package needs no installed bytes
  std::wstring deployProgram = {};      // patchdeploy.exe copied beside the runner; empty: none
  // conf.json's "name", "version", "publisher" (UTF-8) for the installed updates; empty: none.
  std::string name = {}, version = {}, publisher = {};
};

// How one copy entry's new file went into the package.
struct EncodedEntry {
  std::string dest;             // UTF-8, as in conf.json
  Encoding encoding = Encoding::kWhole;
  uint64_t bytes = 0;           // of its patch file
  uint64_t wholeBytes = 0;      // of the new file
  std::string base;             // a difference's base when it is another file (renamed)
  bool tooLargeToDiff = false;  // sent compressed since the pair does not fit the differ
};

struct MakeResult {
  size_t entries = 0;
  uint64_t bytes = 0;    // of the patch files
  uint64_t wholeBytes = 0;  // of the new files they make
  std::vector<EncodedEntry> encoded;  // one per copy entry, in order
  size_t skipped = 0;    // backup and partial-copy names, excluded paths
  PackageReport report;  // what a run cannot reproduce, then patchcheck's findings and dry run
};

// Walks both trees and writes OUT_DIR (patchfile\conf.json with a sha256 per entry, the patch
// files under patchfile\files\, each the smallest of the new file whole, compressed and its
// difference from the old file (or from a removed file of the same name apart from its digits),
// the runner, sealed unless told not to), then checks it as
// patchcheck does, with the dry run against OLD_DIR; an entry that the dry run skips for a
// backup in OLD_DIR is an error. False, with a sentence in `failure`, when the package could not be
// written; nothing is left behind then.
bool BuildPackage(const MakeRequest& request, MakeResult& result, std::string& failure);
