#include "tools/patchcheck/findings.h"

#include <windows.h>
#include <shlwapi.h>

#include <map>

#include "package/layout.h"
#include "platform/paths.h"
#include "package/decode_file.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "tools/kit/package_read.h"
#include "tools/kit/runner_image.h"

namespace {

void Error(std::vector<Finding>& findings, const char* code, std::string message) {
  findings.push_back(MakeFinding(FindingLevel::kError, code, std::move(message)));
}
void Warning(std::vector<Finding>& findings, const char* code, std::string message) {
  findings.push_back(MakeFinding(FindingLevel::kWarning, code, std::move(message)));
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

bool IsRunner(const std::wstring& path) {
  FlagBlockLocation at;
  std::string ignored;
  return FindFlagBlockInFile(path, at, ignored);
}

// The package folder's runner, with its seal and signature (the seal is checked against
// conf.json later): Patch.exe, or else the first executable with the log flag block. Every
// other runner in the folder goes to `others`.
RunnerReport FindRunner(const std::wstring& packageDir, std::vector<std::wstring>& others) {
  RunnerReport runner;
  const std::wstring named = JoinPath(packageDir, kRunnerFileName);
  if (IsRunner(named)) runner.path = named;
  DWORD error = 0;
  ForEachMatch(
      JoinPath(packageDir, L"*.exe"),
      [&](const WIN32_FIND_DATAW& file) {
        if (CompareAsFileNames(file.cFileName, kRunnerFileName) == 0) return;
        const std::wstring path = JoinPath(packageDir, file.cFileName);
        if (!IsRunner(path)) return;
        if (runner.path.empty()) {
          runner.path = path;
        } else {
          others.push_back(path);
        }
      },
      error);
  runner.seal.assign(kSealBytes, '\0');
  if (runner.path.empty()) return runner;
  SealLocation seal;
  std::string ignored;
  runner.sealBlock = FindSealInFile(runner.path, seal, ignored);
  if (runner.sealBlock) runner.seal = seal.seal;
  runner.signature = VerifySignatureOf(runner.path, runner.trust, ignored) &&
                     runner.trust.state != SignatureCheck::kNone;
  return runner;
}

std::wstring BaseName(const std::wstring& path) {
  return path.substr(path.find_last_of(L"\\/") + 1);
}
std::string FileName(const std::wstring& path) { return NarrowToUtf8(BaseName(path)); }

void CheckRunner(const RunnerReport& runner, std::vector<Finding>& findings) {
  const std::string name = "runner " + FileName(runner.path);
  const SealVerdict& verdict = runner.verdict;
  if (verdict.state == SealState::kDiffers) {
    Error(findings, "seal-differs", name + " is sealed with sha256 " + verdict.sealHex + ", but conf.json has " +
                        verdict.actualHex +
                        ": a run refuses it (\"ParseConf failed.\") and changes nothing");
  } else if (verdict.state == SealState::kUnhashable) {
    Error(findings, "seal-unhashable", "conf.json cannot be hashed to check the seal of " + name + " (error " +
                        std::to_string(verdict.error) + "): a run refuses it");
  }
  if (runner.trust.state == SignatureCheck::kDoesNotVerify) {
    Error(findings, "signature-does-not-verify", name + " carries an Authenticode signature that " +
                        DescribeSignature(runner.trust) +
                        ": Windows does not take it for its signer's program; sign it after "
                        "its last change");
  }
  if (verdict.state == SealState::kUnsealed && runner.signature) {
    Warning(findings, "signed-not-sealed",
            name +
                " is signed but not sealed: it applies any conf.json put beside it, with the "
                "signer's name in the elevation prompt; seal an unsigned runner (patchmake, or "
                "patchflags --seal), then sign it");
  }
}

bool StopsOrSkips(EntryAction action) {
  return action == EntryAction::kSkipMissingFile || action == EntryAction::kCopyFails ||
         action == EntryAction::kRefuse;
}

// The findings on the text of conf.json alone (`text` is the file's bytes), read as a runner
// with or without a seal reads it.
std::vector<Finding> CheckConfText(const std::string& text, PatchList& entries, ConfHashes hashes) {
  std::vector<Finding> findings;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    Error(findings, "byte-order-mark",
          "conf.json starts with a UTF-8 byte-order mark, which the runner refuses: save it "
          "without one");
  }
  ConfProblem problem;
  const ConfTextResult result = ParseConfText(text, entries, &problem, hashes);
  if (result != ConfTextResult::kOk) {
    Error(findings, "conf-out-of-format", DescribeConfProblem(result, problem));
  } else if (entries.empty()) {
    Error(findings, "no-entries", "\"patch_list\" lists no entries: a run ends with \"Start Patch failed.\"");
  }
  return findings;
}
}  // namespace

void WarnIfTooLong(std::vector<Finding>& findings, size_t index, const char* what,
                   const std::wstring& path, const char* consequence) {
  if (path.size() < kPathCapacity) return;
  Warning(findings, "path-too-long", EntryName(index) + ": the " + what + " path " + NarrowToUtf8(path) + " has " +
                        std::to_string(path.size()) + " characters: " + consequence);
}

bool PackageReport::Failed() const {
  for (const Finding& finding : findings) {
    if (finding.level == FindingLevel::kError) return true;
  }
  for (const DryRunStep& step : steps) {
    if (StopsOrSkips(step.planned.action)) return true;
  }
  return false;
}

std::vector<Finding> CheckEntryTexts(const PatchList& entries) {
  std::vector<Finding> findings;
  std::map<std::wstring, size_t, FileNameLess> firstWithDest;
  for (size_t i = 0; i < entries.size(); ++i) {
    const PatchEntry& entry = entries[i];
    const bool copy = entry.kind == EntryKind::kCopy;
    if (!copy && OutsideInstallation(DestinationKey(WidenUtf8(entry.dest)))) {
      Error(findings, "dest-outside", EntryName(i) + ": \"dest\" " + entry.dest +
                          " is the installation folder or outside it: a run refuses a removal "
                          "or a folder there and stops");
    }
    if (copy && entry.src.empty())
      Warning(findings, "src-empty", EntryName(i) + ": \"src\" is empty, so it names the patch folder itself");
    if (entry.dest.empty())
      Warning(findings, "dest-empty",
              EntryName(i) + ": \"dest\" is empty, so it names the installation folder itself");
    if (IsAbsolute(entry.dest)) {
      Warning(findings, "dest-absolute", EntryName(i) + ": \"dest\" " + entry.dest +
                            " is absolute, but is appended to the installation folder");
    }
    if (ClimbsOut(entry.dest))
      Warning(findings, "dest-climbs-out", EntryName(i) + ": \"dest\" " + entry.dest +
                            " climbs out of the installation with \"..\"");
    if (HoldsControlCharacter(WidenUtf8(entry.src)) ||
        HoldsControlCharacter(WidenUtf8(entry.dest))) {
      Error(findings, "control-character", EntryName(i) +
                          ": \"src\" or \"dest\" holds a control character, which no file "
                          "name can: a run refuses it and stops there");
      continue;
    }
    if (NamesDeviceOrStream(WidenUtf8(entry.dest))) {
      Error(findings, "device-or-stream",
            EntryName(i) + ": \"dest\" " + entry.dest +
                " names a device or a stream, not a file: a run refuses it and stops there");
    }
    for (const auto& member :
         {std::make_pair("src", &entry.src), std::make_pair("dest", &entry.dest)}) {
      if (HasPartEndingInDotOrSpace(*member.second)) {
        Warning(findings, "dot-or-space", EntryName(i) + ": \"" + member.first + "\" " + *member.second +
                              " has a part ending in a dot or a space, which Windows drops");
      }
    }
    // A map, not a scan of the earlier entries: a package made from two trees has thousands.
    if (!copy) continue;
    const auto first = firstWithDest.emplace(DestinationKey(WidenUtf8(entry.dest)), i).first;
    if (first->second != i) {
      Warning(findings, "same-dest", EntryName(first->second) + " and " + EntryName(i) +
                            " have the same \"dest\" " + entry.dest +
                            ": the second finds the first one's backup and is skipped");
    }
  }
  return findings;
}

PackageReport CheckPackage(const std::wstring& packageDir) {
  PackageReport report;
  std::vector<std::wstring> others;
  report.runner = FindRunner(packageDir, others);
  const std::string expected = NarrowToUtf8(kRunnerFileName);
  if (report.runner.path.empty()) {
    Error(report.findings, "no-runner",
          "no runner executable (a file with the log flag block) in the package folder");
  } else if (CompareAsFileNames(BaseName(report.runner.path), kRunnerFileName) != 0) {
    Warning(report.findings, "runner-not-patch-exe", "the runner is " + FileName(report.runner.path) + ", not " + expected +
                                 ", which the install command starts");
  }
  for (const std::wstring& other : others) {
    Error(report.findings, "second-runner", "a second runner, " + FileName(other) +
                               ", in the package folder: the install command starts " + expected +
                               ", and " + FileName(other) +
                               " applies conf.json too when anyone starts it; remove it");
  }
  const bool sealed = IsSealed(report.runner.seal);
  // Until conf.json is read and hashed, a sealed runner matches nothing.
  if (sealed) report.runner.verdict.state = SealState::kDiffers;
  const std::wstring patchDir = PatchFolderOf(packageDir);
  if (!IsFolder(patchDir)) {
    Error(report.findings, "no-patch-folder", "the package has no \"" + NarrowToUtf8(kPatchFolderName) + "\" folder");
    return report;
  }
  std::string text;
  const ConfFileResult read = ReadConfFile(ConfPathOf(patchDir), text);
  if (read != ConfFileResult::kOk) {
    Error(report.findings, "conf-unreadable", DescribeConfFileProblem(read));
    return report;
  }
  report.runner.verdict = CheckSeal(report.runner.seal, text);
  CheckRunner(report.runner, report.findings);
  std::vector<Finding> found =
      CheckConfText(text, report.entries, sealed ? ConfHashes::kRequired : ConfHashes::kOptional);
  report.findings.insert(report.findings.end(), found.begin(), found.end());
  found = CheckEntryTexts(report.entries);
  report.findings.insert(report.findings.end(), found.begin(), found.end());
  for (size_t i = 0; i < report.entries.size(); ++i) {
    const PatchEntry& entry = report.entries[i];
    if (entry.kind != EntryKind::kCopy) {
      report.hashes.push_back(HashVerdict());  // no patch file
      continue;
    }
    const std::wstring source = FormEntryPaths(entry, patchDir, L"").source;
    const std::string named = EntryName(i) + ": patch file " + NarrowToUtf8(source);
    WarnIfTooLong(report.findings, i, "patch file", source,
                  "a run does not find it and skips the entry");
    if (entry.encoding != Encoding::kWhole) {
      // A difference decodes only against an installation: the dry run tries it.
      report.hashes.push_back(HashVerdict());
      if (!PathFileExistsW(source.c_str())) {
        Error(report.findings, "patch-file-missing", named + " is missing: a run skips it");
      } else if (entry.encoding == Encoding::kCompressed) {
        CheckDecodedHash(entry, i, source, std::wstring(), report.hashes.back(), report.findings);
      }
      continue;
    }
    report.hashes.push_back(CheckRecordedHash(source, entry.sha256));
    const HashVerdict& hash = report.hashes.back();
    if (!PathFileExistsW(source.c_str())) {
      Error(report.findings, "patch-file-missing", named + " is missing: a run skips it");
    } else if (hash.state == HashState::kUnreadable) {
      Error(report.findings, "patch-file-unreadable", named + " cannot be read for its sha256 (error " +
                                 std::to_string(hash.error) +
                                 "): a run stops before anything is touched");
    } else if (hash.state == HashState::kDiffers) {
      Error(report.findings, "patch-file-hash-differs", named + " has sha256 " + hash.actual + ", conf.json records " +
                                 entry.sha256 + ": a run stops before anything is touched");
    }
  }
  return report;
}

void CheckDecodedHash(const PatchEntry& entry, size_t index, const std::wstring& source,
                      const std::wstring& base, HashVerdict& hash, std::vector<Finding>& findings) {
  const std::string named = EntryName(index) + ": patch file " + NarrowToUtf8(source);
  const DecodeStatus status = DecodePatchFileSha256(entry.encoding, source, base, hash.actual);
  if (!status.Ok()) {
    hash.state = HashState::kUnreadable;
    hash.error = status.code;
    Error(findings, "patch-file-does-not-decode", named + " does not decode (" + DecodeErrorText(status.error) + ", at byte " +
                        std::to_string(status.at) + ", error " + std::to_string(status.code) +
                        "): a run stops before anything is touched");
    return;
  }
  hash.state = hash.actual == entry.sha256 ? HashState::kMatches : HashState::kDiffers;
  if (hash.state == HashState::kDiffers) {
    Error(findings, "decoded-hash-differs", named + " decodes to sha256 " + hash.actual + ", conf.json records " +
                        entry.sha256 + ": a run stops before anything is touched");
  }
}

Finding MakeFinding(FindingLevel level, const char* code, std::string message) {
  // The entry a finding is about is the first one its message names.
  unsigned entry = 0;
  if (std::sscanf(message.c_str(), "entry %u", &entry) != 1) entry = 0;
  return {level, std::move(message), code, entry};
}

std::string FindingText(const Finding& finding) {
  return (finding.level == FindingLevel::kError ? "error: " : "warning: ") + finding.message;
}

std::string RunnerText(const RunnerReport& runner) {
  if (runner.path.empty()) return "runner: none";
  std::string text = "runner " + FileName(runner.path) + ": ";
  switch (runner.verdict.state) {
    case SealState::kUnsealed:
      text += runner.sealBlock ? "unsealed" : "unsealed (no seal block: built before seals)";
      text += ", a run applies any conf.json beside it";
      break;
    case SealState::kMatches:
      text += "sealed, conf.json matches its seal " + runner.verdict.sealHex;
      break;
    case SealState::kDiffers:
    case SealState::kUnhashable:
      text += "sealed with sha256 " + SealHex(runner.seal) +
              ", conf.json does not match: a run refuses it";
      break;
  }
  return text +
         (runner.signature ? "; signed, " + DescribeSignature(runner.trust) : "; not signed");
}

Json::Value ReportJson(const PackageReport& report) {
  Json::Value root(Json::objectValue);
  root["ok"] = !report.Failed();
  if (report.runner.path.empty()) {
    root["runner"] = Json::Value();
  } else {
    const SealState seal = report.runner.verdict.state;
    root["runner"]["file"] = FileName(report.runner.path);
    root["runner"]["seal"] = seal == SealState::kUnsealed  ? "unsealed"
                             : seal == SealState::kMatches ? "matching"
                                                           : "not-matching";
    const SignatureVerdict& trust = report.runner.trust;
    root["runner"]["signed"] = report.runner.signature;
    root["runner"]["signature"] = SignatureName(trust.state);
    root["runner"]["signer"] = trust.signer.empty() ? Json::Value() : Json::Value(trust.signer);
    root["runner"]["trusted"] = trust.state == SignatureCheck::kVerifies;
    root["runner"]["signature_code"] =
        trust.state == SignatureCheck::kNone ? Json::Value() : Json::Value(HexCode(trust.code));
  }
  root["findings"] = Json::Value(Json::arrayValue);
  for (const Finding& finding : report.findings) {
    Json::Value item;
    item["level"] = finding.level == FindingLevel::kError ? "error" : "warning";
    item["code"] = finding.code;
    if (finding.entry != 0) item["entry"] = static_cast<Json::UInt>(finding.entry);
    item["message"] = finding.message;
    root["findings"].append(item);
  }
  root["dry_run"] = Json::Value(Json::arrayValue);
  for (const DryRunStep& step : report.steps) {
    Json::Value item;
    item["entry"] = static_cast<Json::UInt>(step.entry);
    item["action"] = EntryActionName(step.planned.action);
    item["source"] = NarrowToUtf8(step.paths.source);
    item["destination"] = NarrowToUtf8(step.paths.destination);
    item["backup"] =
        step.planned.movesAside ? Json::Value(NarrowToUtf8(step.paths.backup)) : Json::Value();
    item["verified"] = step.verified;
    item["encoding"] = step.encoding == Encoding::kCompressed   ? "compressed"
                       : step.encoding == Encoding::kDifference ? "difference"
                                                                : "whole";
    root["dry_run"].append(item);
  }
  return root;
}
