#include "tools/patchcheck/dry_run.h"

#include "package/base_check.h"
#include "package/layout.h"
#include "platform/text.h"
#include "product/run_record.h"
#include "tools/kit/package_read.h"
#include "tools/kit/record_trust.h"

namespace {

// What the runner checks of each difference before it stages anything, with the same rule; a
// base that is the one is decoded against, so that "verified" means what it means for a copy.
void CheckBases(PackageReport& report, const std::vector<EntryPaths>& paths,
                const std::vector<PlannedEntry>& plan) {
  for (size_t i = 0; i < report.entries.size(); ++i) {
    const PatchEntry& entry = report.entries[i];
    const BaseVerdict verdict = CheckBase(entry, paths[i], plan[i]);
    if (verdict.state == BaseState::kNotNeeded || verdict.state == BaseState::kAlreadyNew) continue;
    if (verdict.state == BaseState::kMatches) {
      if (i < report.hashes.size())
        CheckDecodedHash(entry, i, paths[i].source, paths[i].base, report.hashes[i], report.findings);
      continue;
    }
    const std::string base = NarrowToUtf8(paths[i].base);
    std::string why;
    switch (verdict.state) {
      case BaseState::kReplacedFirst:
        why = "its difference is against " + base + ", which an earlier entry replaces first";
        break;
      case BaseState::kOutside:
        why = "its base " + base + " lies outside the installation folder";
        break;
      case BaseState::kMissing:
        why = "its base " + base + " is missing (it needs sha256 " + entry.baseSha256 + ")";
        break;
      case BaseState::kDiffers:
        why = "the installed " + base + " has sha256 " + verdict.hash.actual +
              ", not that of the base its difference was made from, " + entry.baseSha256;
        break;
      default:
        why = "its base " + base + " cannot be read for its sha256 (error " +
              std::to_string(verdict.hash.error) + ")";
        break;
    }
    report.findings.push_back(MakeFinding(FindingLevel::kError, "base-not-installed",
                                          EntryName(i) + ": " + why +
                                              ": a run stops before anything is touched"));
  }
}

}  // namespace

void DryRun(const std::wstring& packageDir, const std::wstring& installDir, PackageReport& report) {
  // A run refuses conf.json before it looks at any entry.
  const SealState seal = report.runner.verdict.state;
  if (seal == SealState::kDiffers || seal == SealState::kUnhashable) return;
  const std::vector<EntryPaths> paths =
      FormAllEntryPaths(report.entries, PatchFolderOf(packageDir), installDir);
  std::vector<EntryFacts> facts = GatherEntryFacts(paths);
  // As the runner reads it: a file this package's earlier run added stays as it is.
  std::string id, confId, found;
  std::string error;
  PatchList entries;
  RunRecord record;
  if (RecordsKeyBelieved() && ReadPackageEntries(packageDir, entries, error, &id, &confId) &&
      ReadPackageRecord(id, confId, record, found) == RecordRead::kFound &&
      record.state != RecordState::kUndone && record.entries.size() == facts.size()) {
    for (size_t i = 0; i < facts.size(); ++i) {
      facts[i].installedByPackage =
          AddedByEarlierRun(record.entries[i], paths[i].destination,
                            facts[i].destination == PathKind::kFile, facts[i].backupPresent);
    }
  }
  const std::vector<PlannedEntry> plan = PlanEntries(report.entries, facts);
  CheckBases(report, paths, plan);
  for (size_t i = 0; i < report.entries.size(); ++i) {
    const bool verified = i < report.hashes.size() && report.hashes[i].state == HashState::kMatches;
    report.steps.push_back({i + 1, plan[i], paths[i], verified, report.entries[i].encoding});
    if (plan[i].action == EntryAction::kNotReached) continue;
    WarnIfTooLong(report.findings, i, "destination", paths[i].destination,
                  "a run cannot copy there and stops at this entry");
  }
}

std::string StepText(const DryRunStep& step) {
  const std::string entry = "entry " + std::to_string(step.entry) + ": ";
  const std::string decoded =
      step.encoding == Encoding::kCompressed   ? ", decompressed"
      : step.encoding == Encoding::kDifference ? ", a difference against " + NarrowToUtf8(step.paths.base)
                                               : "";
  const std::string source = NarrowToUtf8(step.paths.source) +
                             (step.verified ? " (sha256 verified" + decoded + ")"
                                            : decoded.empty() ? "" : " (" + decoded.substr(2) + ")");
  const std::string destination = NarrowToUtf8(step.paths.destination);
  const std::string backup = NarrowToUtf8(step.paths.backup);
  switch (step.planned.action) {
    case EntryAction::kRefuse:
      if (step.paths.kind != EntryKind::kCopy && !step.paths.deviceOrStream &&
          !step.paths.controlCharacter) {
        return entry + "refused: " + destination +
               (step.paths.kind == EntryKind::kRemove ? " is a folder or a link, not a file,"
                                                      : " is a file,") +
               " or lies outside the installation folder; the run stops here";
      }
      return entry + "refused: " + destination +
             " names a device or a stream, not a file; the run stops here";
    case EntryAction::kSkipMissingFile:
      return entry + "skip, patch file " + source + " is missing";
    case EntryAction::kSkipBackupExists:
      return entry + "skip " + destination + ", its backup exists (patched before)";
    case EntryAction::kSkipInstalled:
      return entry + "skip " + destination + ", it holds the file a run of this package added";
    case EntryAction::kCopy:
      return entry + "copy " + source + " to " + destination;
    case EntryAction::kMoveThenCopy:
      return entry + "move " + destination + " to backup " + backup + ", then copy " + source +
             " in";
    case EntryAction::kCopyFails:
      return entry +
             (step.planned.movesAside ? "move " + destination + " to backup " + backup + ", then "
                                      : std::string()) +
             "copy " + source + " to " + destination +
             " would fail (missing folder, a folder as patch file, or a link at " +
             NarrowToUtf8(step.paths.partial) + "); the run stops here" +
             (step.planned.movesAside ? " and the original goes back" : "");
    case EntryAction::kRemove:
      return entry + "remove " + destination + ": moved to backup " + backup;
    case EntryAction::kSkipNothingToRemove:
      return entry + "skip the removal of " + destination + ", it does not exist";
    case EntryAction::kMakeFolder:
      return entry + "make folder " + destination;
    case EntryAction::kSkipFolderExists:
      return entry + "skip folder " + destination + ", it exists";
    case EntryAction::kNotReached:
      break;
  }
  return entry + "not reached: the run stops at an earlier entry";
}
