#include "tools/kit/package_read.h"

#include "package/entry_paths.h"
#include "package/layout.h"
#include "package/seal.h"
#include "platform/sha256.h"
#include "product/deployment.h"
#include "platform/text.h"
#include "tools/kit/files.h"

std::string EntryName(size_t index) { return "entry " + std::to_string(index + 1); }

std::string DescribeConfProblem(ConfTextResult result, const ConfProblem& problem) {
  if (result == ConfTextResult::kParseFailed) {
    std::string message = problem.found;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
      message.pop_back();
    for (char& c : message) {
      if (c == '\n') c = ' ';
    }
    return "conf.json does not parse: " + message;
  }
  if (result == ConfTextResult::kListNotArray) return "\"patch_list\" is not an array";
  if (problem.entry == ConfProblem::kTopLevel)
    return "the top-level value is " + problem.found + ", not an object";
  if (problem.member.empty())
    return EntryName(problem.entry) + " is " + problem.found + ", not an object";
  if (problem.found == "missing") {
    return EntryName(problem.entry) +
           " has no \"sha256\": a sealed runner refuses a conf.json with such an entry";
  }
  // The encoding's own rules say what they found in a phrase of their own.
  if (problem.found.compare(0, 2, "a ") != 0 && problem.found.compare(0, 3, "an ") != 0 &&
      problem.found != "null") {
    return EntryName(problem.entry) + ": \"" + problem.member + "\" " + problem.found;
  }
  if (problem.member == "encoding" && problem.found == "an unknown encoding") {
    return EntryName(problem.entry) + ": \"encoding\" is neither \"whole\", \"compressed\" nor "
                                      "\"difference\"";
  }
  const char* expected = problem.member == "sha256" || problem.member == "base_sha256"
                             ? ", not 64 hex digits"
                             : ", not a string";
  return EntryName(problem.entry) + ": \"" + problem.member + "\" is " + problem.found + expected;
}

std::string DescribeConfFileProblem(ConfFileResult result, const std::wstring& name) {
  const std::string conf = NarrowToUtf8(name);
  switch (result) {
    case ConfFileResult::kMissing:
      return conf + " is missing";
    case ConfFileResult::kOpenFailed:
      return conf + " cannot be opened (a folder, or held open for writing)";
    default:
      return conf + " cannot be read whole";
  }
}

bool SealForConf(const std::wstring& confPath, std::string& seal, std::string& error) {
  std::string text;
  const ConfFileResult read = ReadConfFile(confPath, text);
  if (read != ConfFileResult::kOk) {
    error = DescribeConfFileProblem(read, confPath);
    return false;
  }
  PatchList entries;
  ConfProblem problem;
  const ConfTextResult parsed = ParseConfText(text, entries, &problem, ConfHashes::kRequired);
  if (parsed != ConfTextResult::kOk) {
    error = NarrowToUtf8(confPath) + ": " + DescribeConfProblem(parsed, problem);
    return false;
  }
  std::string hex;
  DWORD code = 0;
  if (!HashBytesSha256(text, hex, code)) {
    error = ErrorText("cannot hash", confPath, code);
    return false;
  }
  seal = SealFromHex(hex);
  return true;
}

bool ReadPackageEntries(const std::wstring& packageDir, PatchList& entries, std::string& error,
                        std::string* packageId, std::string* confId) {
  std::string text;
  const ConfFileResult read = ReadConfFile(ConfPathOf(PatchFolderOf(packageDir)), text);
  if (read != ConfFileResult::kOk) {
    error = DescribeConfFileProblem(read);
    return false;
  }
  DWORD code = 0;
  std::string confHash;
  if (packageId != nullptr && !HashBytesSha256(text, confHash, code)) {
    error = ErrorText("cannot hash", ConfPathOf(PatchFolderOf(packageDir)), code);
    return false;
  }
  ConfProblem problem;
  const ConfTextResult parsed = ParseConfText(text, entries, &problem);
  if (parsed != ConfTextResult::kOk) {
    error = DescribeConfProblem(parsed, problem);
    return false;
  }
  if (entries.empty()) error = "\"patch_list\" lists no entries";
  if (packageId == nullptr || entries.empty()) return !entries.empty();
  // As the runner names the package: its patch files without a recorded hash count too.
  std::vector<std::string> fileHashes(entries.size());
  if (NeedsFileHashes(entries)) {
    const std::wstring patchFolder = PatchFolderOf(packageDir);
    for (size_t i = 0; i < entries.size(); ++i) {
      if (!entries[i].sha256.empty()) continue;
      const std::wstring source = FormEntryPaths(entries[i], patchFolder, L"").source;
      if (!HashFileSha256(source, fileHashes[i], code)) fileHashes[i] = "-";
    }
  }
  *packageId = PackageIdOf(confHash, entries, fileHashes);
  // The copy a run kept for detection and undo holds conf.json alone, so patch files without a
  // recorded hash cannot name it; its folder is named by the package's id, and only
  // administrators write there.
  const size_t slash = packageDir.find_last_of(L"\\/");
  const std::string folderName =
      NarrowToUtf8(slash == std::wstring::npos ? packageDir : packageDir.substr(slash + 1));
  if (NeedsFileHashes(entries) && folderName.size() == 64 &&
      CompareAsFileNames(KeptPackageFolder(folderName), packageDir) == 0) {
    *packageId = folderName;
  }
  if (confId != nullptr) *confId = confHash;
  return true;
}

RecordRead ReadPackageRecord(const std::string& packageId, const std::string& confId,
                             RunRecord& record, std::string& foundId) {
  foundId = packageId;
  const RecordRead read = ReadRunRecord(packageId, record);
  if (read != RecordRead::kMissing || confId.empty() || confId == packageId) return read;
  foundId = confId;
  return ReadRunRecord(confId, record);
}
