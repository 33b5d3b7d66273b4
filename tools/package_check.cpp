#include "tools/package_check.h"

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <map>
#include <set>

#include "package/entry_paths.h"
#include "platform/handle.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "tools/flag_block.h"
#include "tools/tool_files.h"

namespace {

std::string Entry(size_t index) { return "entry " + std::to_string(index + 1); }

void Error(std::vector<Finding>& findings, std::string message) {
  findings.push_back({FindingLevel::kError, std::move(message)});
}
void Warning(std::vector<Finding>& findings, std::string message) {
  findings.push_back({FindingLevel::kWarning, std::move(message)});
}

// The parser's account of a syntax error on one line, or what else the reader found where the
// text left the format.
std::string Describe(ConfTextResult result, const ConfProblem& problem) {
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
    return Entry(problem.entry) + " is " + problem.found + ", not an object";
  const char* expected = problem.member == "sha256" ? ", not 64 hex digits" : ", not a string";
  return Entry(problem.entry) + ": \"" + problem.member + "\" is " + problem.found + expected;
}

std::string ConfFileProblem(ConfFileResult result) {
  switch (result) {
    case ConfFileResult::kMissing:
      return "patchfile\\conf.json is missing";
    case ConfFileResult::kOpenFailed:
      return "patchfile\\conf.json cannot be opened (a folder, or held open for writing)";
    default:
      return "patchfile\\conf.json cannot be read whole";
  }
}

bool IsAbsolute(const std::string& path) {
  return (!path.empty() && (path[0] == '\\' || path[0] == '/')) ||
         (path.size() >= 2 && path[1] == ':');
}

bool ClimbsOut(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("\\/", start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

// Windows drops dots and spaces at the end of each part of a path.
bool HasPartEndingInDotOrSpace(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("\\/", start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part != "." && part != ".." && !part.empty() && (part.back() == '.' || part.back() == ' '))
      return true;
    start = end + 1;
  }
  return false;
}

// The path as the file system sees it: one separator, no dots or spaces at the end of a part.
// Compare such paths with CompareAsFileNames.
std::wstring ComparablePath(const std::wstring& path) {
  std::wstring comparable;
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = path.size();
    std::wstring part = path.substr(start, end - start);
    if (part != L"." && part != L"..") {
      while (!part.empty() && (part.back() == L'.' || part.back() == L' ')) part.pop_back();
    }
    comparable += part;
    if (end < path.size()) comparable += L'\\';
    start = end + 1;
  }
  return comparable;
}

// A runner that is not long-path aware cannot open a path of 260 characters or more.
void WarnIfTooLong(std::vector<Finding>& findings, size_t index, const char* what,
                   const std::wstring& path) {
  if (path.size() < kPathCapacity) return;
  Warning(findings,
          Entry(index) + ": the " + what + " path " + NarrowToUtf8(path) + " has " +
              std::to_string(path.size()) +
              " characters: a runner that is not long-path aware does not find it and goes on");
}

bool HasRunner(const std::wstring& packageDir) {
  WIN32_FIND_DATAW found;
  const FindHandle search(FindFirstFileW((packageDir + L"\\*.exe").c_str(), &found));
  for (bool more = search.IsValid(); more; more = FindNextFileW(search.Get(), &found) != FALSE) {
    std::string bytes, error;
    FlagBlockLocation at;
    if (ReadWholeFile(packageDir + L"\\" + found.cFileName, bytes, error) &&
        FindFlagBlock(bytes, at, error))
      return true;
  }
  return false;
}

}  // namespace

bool PackageReport::Failed() const {
  for (const Finding& finding : findings) {
    if (finding.level == FindingLevel::kError) return true;
  }
  for (const DryRunStep& step : steps) {
    if (step.action == DryRunAction::kSkipMissingFile || step.action == DryRunAction::kCopyFails)
      return true;
  }
  return false;
}

std::vector<Finding> CheckConfText(const std::string& text, PatchList& entries) {
  std::vector<Finding> findings;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    Error(findings,
          "conf.json starts with a UTF-8 byte-order mark, which the runner refuses: save it "
          "without one");
  }
  ConfProblem problem;
  const ConfTextResult result = ParseConfText(text, entries, &problem);
  if (result != ConfTextResult::kOk) {
    Error(findings, Describe(result, problem));
  } else if (entries.empty()) {
    Error(findings, "\"patch_list\" lists no entries: a run ends with \"Start Patch failed.\"");
  }
  return findings;
}

std::vector<Finding> CheckEntryTexts(const PatchList& entries) {
  std::vector<Finding> findings;
  std::map<std::wstring, size_t, FileNameLess> firstWithDest;
  for (size_t i = 0; i < entries.size(); ++i) {
    const PatchEntry& entry = entries[i];
    if (entry.src.empty())
      Warning(findings, Entry(i) + ": \"src\" is empty, so it names the patch folder itself");
    if (entry.dest.empty())
      Warning(findings,
              Entry(i) + ": \"dest\" is empty, so it names the installation folder itself");
    if (IsAbsolute(entry.dest)) {
      Warning(findings, Entry(i) + ": \"dest\" " + entry.dest +
                            " is absolute, but is appended to the installation folder");
    }
    if (ClimbsOut(entry.dest))
      Warning(findings, Entry(i) + ": \"dest\" " + entry.dest +
                            " climbs out of the installation with \"..\"");
    if (NamesDeviceOrStream(WidenUtf8(entry.dest))) {
      Error(findings,
            Entry(i) + ": \"dest\" " + entry.dest +
                " names a device or a stream, not a file: a run refuses it and stops there");
    }
    for (const auto& member :
         {std::make_pair("src", &entry.src), std::make_pair("dest", &entry.dest)}) {
      if (HasPartEndingInDotOrSpace(*member.second)) {
        Warning(findings, Entry(i) + ": \"" + member.first + "\" " + *member.second +
                              " has a part ending in a dot or a space, which Windows drops");
      }
    }
    // A map, not a scan of the earlier entries: a package made from two trees has thousands.
    const auto first = firstWithDest.emplace(ComparablePath(WidenUtf8(entry.dest)), i).first;
    if (first->second != i) {
      Warning(findings, Entry(first->second) + " and " + Entry(i) + " have the same \"dest\" " +
                            entry.dest +
                            ": the second finds the first one's backup and is skipped");
    }
  }
  return findings;
}

PackageReport CheckPackage(const std::wstring& packageDir) {
  PackageReport report;
  if (!HasRunner(packageDir))
    Error(report.findings,
          "no runner executable (a file with the log flag block) in the package folder");
  const std::wstring patchDir = packageDir + L"\\patchfile";
  const std::wstring confPath = patchDir + L"\\conf.json";
  if (!IsFolder(patchDir)) {
    Error(report.findings, "the package has no \"patchfile\" folder");
    return report;
  }
  std::string text;
  const ConfFileResult read = ReadConfFile(confPath, text);
  if (read != ConfFileResult::kOk) {
    Error(report.findings, ConfFileProblem(read));
    return report;
  }
  std::vector<Finding> found = CheckConfText(text, report.entries);
  report.findings.insert(report.findings.end(), found.begin(), found.end());
  found = CheckEntryTexts(report.entries);
  report.findings.insert(report.findings.end(), found.begin(), found.end());
  report.verified.assign(report.entries.size(), false);
  for (size_t i = 0; i < report.entries.size(); ++i) {
    const PatchEntry& entry = report.entries[i];
    const std::wstring source = FormEntryPaths(entry, patchDir, L"").source;
    WarnIfTooLong(report.findings, i, "patch file", source);
    if (!PathFileExistsW(source.c_str())) {
      Error(report.findings,
            Entry(i) + ": patch file " + NarrowToUtf8(source) + " is missing: a run skips it");
    } else if (!entry.sha256.empty()) {
      std::string actual;
      DWORD error = 0;
      if (!HashFileSha256(source, actual, error)) {
        Error(report.findings, Entry(i) + ": patch file " + NarrowToUtf8(source) +
                                   " cannot be read for its sha256 (error " +
                                   std::to_string(error) +
                                   "): a run stops before anything is touched");
      } else if (actual != entry.sha256) {
        Error(report.findings, Entry(i) + ": patch file " + NarrowToUtf8(source) + " has sha256 " +
                                   actual + ", conf.json records " + entry.sha256 +
                                   ": a run stops before anything is touched");
      } else {
        report.verified[i] = true;
      }
    }
  }
  return report;
}

void DryRun(const std::wstring& packageDir, const std::wstring& installDir, PackageReport& report) {
  const std::wstring patchDir = packageDir + L"\\patchfile";
  // Files the earlier entries of the same run would have made; a later entry sees them.
  std::set<std::wstring, FileNameLess> made;
  const auto exists = [&made](const std::wstring& path) {
    return PathFileExistsW(path.c_str()) || made.count(ComparablePath(path)) != 0;
  };
  for (size_t i = 0; i < report.entries.size(); ++i) {
    const EntryPaths paths = FormEntryPaths(report.entries[i], patchDir, installDir);
    DryRunStep step{i + 1,          DryRunAction::kCopy,
                    paths.source,   paths.destination,
                    std::wstring(), i < report.verified.size() && report.verified[i]};
    WarnIfTooLong(report.findings, i, "destination", paths.destination);
    WarnIfTooLong(report.findings, i, "backup", paths.backup);
    if (!PathFileExistsW(paths.source.c_str())) {
      step.action = DryRunAction::kSkipMissingFile;
    } else if (exists(paths.destination)) {
      step.action =
          exists(paths.backup) ? DryRunAction::kSkipBackupExists : DryRunAction::kMoveThenCopy;
      if (step.action == DryRunAction::kMoveThenCopy) step.backup = paths.backup;
    }
    if (step.action == DryRunAction::kCopy || step.action == DryRunAction::kMoveThenCopy) {
      const size_t slash = paths.destination.find_last_of(L"\\/");
      const std::wstring folder =
          slash == std::wstring::npos ? std::wstring() : paths.destination.substr(0, slash);
      if (IsFolder(paths.source) || !IsFolder(folder)) step.action = DryRunAction::kCopyFails;
    }
    report.steps.push_back(step);
    if (step.action == DryRunAction::kCopyFails) break;  // a run stops at its first failure
    if (step.action == DryRunAction::kCopy || step.action == DryRunAction::kMoveThenCopy) {
      made.insert(ComparablePath(paths.destination));
      if (!step.backup.empty()) made.insert(ComparablePath(step.backup));
    }
  }
}

const char* DryRunActionName(DryRunAction action) {
  switch (action) {
    case DryRunAction::kCopy:
      return "copy";
    case DryRunAction::kMoveThenCopy:
      return "move-then-copy";
    case DryRunAction::kSkipBackupExists:
      return "skip-backup-exists";
    case DryRunAction::kSkipMissingFile:
      return "skip-missing-file";
    case DryRunAction::kCopyFails:
      return "copy-fails";
  }
  return "?";
}

bool ReadPackageEntries(const std::wstring& packageDir, PatchList& entries, std::string& error) {
  std::string text;
  const ConfFileResult read = ReadConfFile(packageDir + L"\\patchfile\\conf.json", text);
  if (read != ConfFileResult::kOk) {
    error = ConfFileProblem(read);
    return false;
  }
  ConfProblem problem;
  const ConfTextResult parsed = ParseConfText(text, entries, &problem);
  if (parsed != ConfTextResult::kOk) {
    error = Describe(parsed, problem);
    return false;
  }
  if (entries.empty()) error = "\"patch_list\" lists no entries";
  return !entries.empty();
}

std::vector<InstalledEntry> ReadInstalledEntries(const std::wstring& packageDir,
                                                 const std::wstring& installDir,
                                                 const PatchList& entries) {
  const std::wstring patchDir = packageDir + L"\\patchfile";
  std::vector<InstalledEntry> installed(entries.size());
  // The first applying entry for each destination, as the file system compares names.
  std::map<std::wstring, size_t, FileNameLess> applying;
  for (size_t i = 0; i < entries.size(); ++i) {
    InstalledEntry& item = installed[i];
    item.entry = i + 1;
    item.paths = FormEntryPaths(entries[i], patchDir, installDir);
    if (item.paths.deviceOrStream) {
      item.role = EntryRole::kRefused;
      continue;
    }
    const std::wstring key = ComparablePath(WidenUtf8(entries[i].dest));
    const auto first = applying.find(key);
    const size_t same = first == applying.end() ? i : first->second;
    if (!PathFileExistsW(item.paths.source.c_str())) {
      item.role = EntryRole::kSkipsMissing;
    } else if (same != i) {
      item.role = EntryRole::kSkipsRepeated;
      item.sameAs = same + 1;
    } else {
      applying.emplace(key, i);
    }
    item.backupExists = GetFileAttributesW(item.paths.backup.c_str()) != INVALID_FILE_ATTRIBUTES;
    item.holds = CompareWithFile(item.paths.destination, item.paths.source, item.error);
    if (item.role == EntryRole::kSkipsRepeated && item.holds == Comparison::kSame)
      installed[same].holds = Comparison::kSame;
  }
  return installed;
}

bool IsApplied(const std::vector<InstalledEntry>& installed) {
  for (const InstalledEntry& item : installed) {
    if (item.role == EntryRole::kRefused) return false;
    if (item.role == EntryRole::kApplies && item.holds != Comparison::kSame) return false;
  }
  return true;
}

std::string FindingText(const Finding& finding) {
  return (finding.level == FindingLevel::kError ? "error: " : "warning: ") + finding.message;
}

std::string StepText(const DryRunStep& step) {
  const std::string entry = "entry " + std::to_string(step.entry) + ": ";
  const std::string source =
      NarrowToUtf8(step.source) + (step.verified ? " (sha256 verified)" : "");
  const std::string destination = NarrowToUtf8(step.destination);
  switch (step.action) {
    case DryRunAction::kCopy:
      return entry + "copy " + source + " to " + destination;
    case DryRunAction::kMoveThenCopy:
      return entry + "move " + destination + " to backup " + NarrowToUtf8(step.backup) +
             ", then copy " + source + " in";
    case DryRunAction::kSkipBackupExists:
      return entry + "skip " + destination + ", its backup exists (patched before)";
    case DryRunAction::kSkipMissingFile:
      return entry + "skip, patch file " + source + " is missing";
    case DryRunAction::kCopyFails:
      return entry + "copy " + source + " to " + destination +
             " would fail (missing folder or a folder as patch file); the run stops here";
  }
  return entry + "?";
}

Json::Value ReportJson(const PackageReport& report) {
  Json::Value root(Json::objectValue);
  root["ok"] = !report.Failed();
  root["findings"] = Json::Value(Json::arrayValue);
  for (const Finding& finding : report.findings) {
    Json::Value item;
    item["level"] = finding.level == FindingLevel::kError ? "error" : "warning";
    item["message"] = finding.message;
    root["findings"].append(item);
  }
  root["dry_run"] = Json::Value(Json::arrayValue);
  for (const DryRunStep& step : report.steps) {
    Json::Value item;
    item["entry"] = static_cast<Json::UInt>(step.entry);
    item["action"] = DryRunActionName(step.action);
    item["source"] = NarrowToUtf8(step.source);
    item["destination"] = NarrowToUtf8(step.destination);
    item["backup"] = step.backup.empty() ? Json::Value() : Json::Value(NarrowToUtf8(step.backup));
    item["verified"] = step.verified;
    root["dry_run"].append(item);
  }
  return root;
}
