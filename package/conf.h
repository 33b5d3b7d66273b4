#pragma once

#include <string>
#include <vector>

#include "package/patch_format.h"

// What an entry does to its dest: a copy of its patch file, the dest moved out of the
// installation to its backup name, or a folder made.
enum class EntryKind { kCopy, kRemove, kFolder };

// One entry: `src` relative to the patch folder (empty for a removal or a folder), `dest`
// relative to the installation. Both are UTF-8 exactly as the JSON reader decoded them; nothing
// is validated here.
struct PatchEntry {
  std::string src;
  std::string dest;
  std::string sha256 =
      {};  // the hash of the `src` file as 64 lower-case hex digits; empty: none given
  EntryKind kind = EntryKind::kCopy;
  // How the patch file holds the new file. An encoded one ("compressed", "difference") records
  // the new file's sha256 always, so that a reader that does not decode refuses its bytes.
  Encoding encoding = Encoding::kWhole;
  std::string baseSha256 = {};  // a difference's base, 64 lower-case hex digits
  std::string base = {};  // the base's path in the installation when it is not `dest`; UTF-8
};
using PatchList = std::vector<PatchEntry>;

// Reads conf.json at `path` and appends one entry per element of "patch_list". True when the
// file was read and parsed; false after one "Error" line, with `list` unchanged. A runner sealed
// with `seal` (its 32 bytes; empty or zero: unsealed) reads only the conf.json of that hash, and
// every entry of it must record a sha256. With `packageId`, it also gets the SHA-256 of the bytes
// read (64 hex digits; empty when they could not be hashed), which names the run's record.
bool ParseConf(const std::wstring& path, PatchList& list, const std::string& seal = std::string(),
               std::string* packageId = nullptr);

// The id of a package's record: `confId` (the SHA-256 of its conf.json) when every copy records a
// sha256, which then names every patch file; otherwise the SHA-256 of `confId` and, for each entry
// without one, the SHA-256 of its patch file in `fileHashes` (one per entry, "-" for a missing
// file), so that packages with the same conf.json but other patch files never share a record.
// Empty when `confId` is.
std::string PackageIdOf(const std::string& confId, const PatchList& list,
                        const std::vector<std::string>& fileHashes);
// True when PackageIdOf needs the patch files' hashes.
bool NeedsFileHashes(const PatchList& list);

// Reading the file whole, apart from the log, so that the package tools read it exactly as a
// run does. `text` holds the file's bytes on kOk and is unspecified otherwise.
enum class ConfFileResult {
  kOk,
  kMissing,     // the path does not exist
  kOpenFailed,  // a folder, or held open for writing by someone else
  kSizeFailed,
  kTooLarge,    // 4 GiB or more
  kNoMemory,    // no buffer for the whole file
  kReadFailed,  // the one read failed or came short
};
ConfFileResult ReadConfFile(const std::wstring& path, std::string& text);

// The text-to-list step, free of platform calls so that it can be tested and fuzzed alone.
enum class ConfTextResult {
  kOk,            // entries appended
  kParseFailed,   // not JSON the reader accepts
  kListNotArray,  // "patch_list" is neither an array nor null
  kOutOfFormat,   // a value the format does not allow (see conf_text.cpp)
};
// Where a text left the format, for the package tools (the runner logs only the result).
struct ConfProblem {
  static constexpr size_t kTopLevel = static_cast<size_t>(-1);
  size_t entry = kTopLevel;  // index in "patch_list", or kTopLevel
  std::string member;  // "patch_list", "action", "src", "dest", "sha256", "encoding",
                       // "base_sha256", "base", or empty for the value itself
  std::string found;         // "a number", "an array", ...; the parser's message on kParseFailed
};
// Whether a copy may go without "sha256": a sealed runner requires one on every copy, so that
// its seal covers every patch file (a removal or a folder has none: the seal covers its dest).
enum class ConfHashes { kOptional, kRequired };
// Appends to `list` only on kOk; never throws. `problem`, when given, says where a result other
// than kOk arose; a hash that is required but absent or null is found "missing". An entry with
// "action" "remove" or "folder" must have "src" an empty array and no sha256: a runner that
// knows no actions refuses the whole text for that "src" instead of acting on the entry. A copy
// with "encoding" "compressed" or "difference" must have a sha256, and a difference its
// "base_sha256" (its "base" is optional); "whole" or none is the patch file as it is.
ConfTextResult ParseConfText(const std::string& text, PatchList& list,
                             ConfProblem* problem = nullptr,
                             ConfHashes hashes = ConfHashes::kOptional);

// The text with every comment outside strings replaced by spaces, line breaks kept, so that
// offsets and line numbers stay the same. An unclosed block comment runs to the end.
std::string BlankJsonComments(const std::string& text);
