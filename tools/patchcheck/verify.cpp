#include "tools/patchcheck/verify.h"

#include "package/layout.h"
#include "platform/text.h"
#include "tools/kit/package_read.h"
#include "tools/kit/record_trust.h"

std::vector<InstalledEntry> ReadInstalledEntries(const std::wstring& packageDir,
                                                 const std::wstring& installDir,
                                                 const PatchList& entries) {
  const std::vector<EntryPaths> paths =
      FormAllEntryPaths(entries, PatchFolderOf(packageDir), installDir);
  const std::vector<EntryFacts> facts = GatherEntryFacts(paths);
  const std::vector<PlannedEntry> plan = PlanEntries(entries, facts);
  std::vector<InstalledEntry> installed(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    InstalledEntry& item = installed[i];
    item.entry = i + 1;
    item.paths = paths[i];
    item.facts = facts[i];
    if (plan[i].action == EntryAction::kRefuse) {
      item.role = EntryRole::kRefused;
      continue;
    }
    if (entries[i].kind == EntryKind::kRemove) {
      item.role = EntryRole::kRemoves;
      item.holds = item.facts.destination == PathKind::kMissing ? Comparison::kSame
                                                                 : Comparison::kDifferent;
      continue;
    }
    if (entries[i].kind == EntryKind::kFolder) {
      item.role = EntryRole::kMakesFolder;
      item.holds = item.facts.destination == PathKind::kFolder ? Comparison::kSame
                                                                : Comparison::kMissing;
      continue;
    }
    if (plan[i].action == EntryAction::kSkipMissingFile) {
      item.role = EntryRole::kSkipsMissing;
    } else if (plan[i].sameAs != kNoEntry) {
      item.role = EntryRole::kSkipsRepeated;
      item.sameAs = plan[i].sameAs + 1;
    }
    // An encoded patch file is not the file it installs: its recorded hash tells.
    if (item.role != EntryRole::kSkipsMissing && entries[i].encoding == Encoding::kWhole) {
      item.holds = CompareWithFile(item.paths.destination, item.paths.source, item.error);
    } else if (entries[i].sha256.empty()) {
      item.cannotTell = true;
    } else {
      item.holds = CompareWithHash(item.paths.destination, entries[i].sha256, item.error);
    }
    if (item.role == EntryRole::kSkipsRepeated && item.holds == Comparison::kSame)
      installed[plan[i].sameAs].holds = Comparison::kSame;
  }
  return installed;
}

bool IsApplied(const std::vector<InstalledEntry>& installed) {
  for (const InstalledEntry& item : installed) {
    if (item.role == EntryRole::kRefused || item.cannotTell) return false;
    if (item.role != EntryRole::kSkipsRepeated && item.holds != Comparison::kSame) return false;
  }
  return true;
}

const char* EntryStateName(const InstalledEntry& item) {
  if (item.role == EntryRole::kSkipsRepeated) return "skip-repeated";
  if (item.role == EntryRole::kRefused) return "refused";
  if (item.cannotTell) return "cannot-tell";
  switch (item.holds) {
    case Comparison::kSame:
      return "applied";
    case Comparison::kDifferent:
      return "differs";
    case Comparison::kMissing:
      return "missing";
    case Comparison::kUnreadable:
      break;
  }
  return "unreadable";
}

std::string DescribeInstalledEntry(const InstalledEntry& item) {
  const std::string destination = NarrowToUtf8(item.paths.destination);
  const std::string backup = item.facts.backupPresent ? "; its backup exists" : "; no backup";
  const std::string what = item.role == EntryRole::kSkipsMissing
                               ? "the sha256 conf.json records (its patch file is missing)"
                               : "the package's file";
  switch (item.role) {
    case EntryRole::kSkipsRepeated:
      return "skip: same destination as entry " + std::to_string(item.sameAs);
    case EntryRole::kRefused:
      return "not applied: " + destination +
             " names no file (a device, a stream, a control "
             "character): a run stops there";
    case EntryRole::kSkipsMissing:
      if (item.cannotTell) {
        return "cannot tell: patch file " + NarrowToUtf8(item.paths.source) +
               " is missing and conf.json records no sha256 for it";
      }
      break;
    case EntryRole::kRemoves:
      return item.holds == Comparison::kSame
                 ? "applied: " + destination + " is removed" + backup
                 : "not applied: " + destination + " is still there" + backup;
    case EntryRole::kMakesFolder:
      return item.holds == Comparison::kSame ? "applied: folder " + destination + " exists"
                                             : "not applied: folder " + destination + " is missing";
    case EntryRole::kApplies:
      break;
  }
  switch (item.holds) {
    case Comparison::kSame:
      return "applied: " + destination + " holds " + what + backup;
    case Comparison::kDifferent:
      return "not applied: " + destination + " holds something else than " + what + backup;
    case Comparison::kMissing:
      return "not applied: " + destination + " is missing" + backup;
    case Comparison::kUnreadable:
      break;
  }
  return "not applied: " + destination + " cannot be read (error " + std::to_string(item.error) +
         ")";
}

VerifyReport VerifyPackage(const std::wstring& packageDir, const std::wstring& givenInstallDir) {
  VerifyReport report;
  PatchList entries;
  report.install = FindInstallFolder(givenInstallDir);
  std::string confId;
  if (!ReadPackageEntries(packageDir, entries, report.error, &report.packageId, &confId)) {
    entries.clear();
  } else if (!report.install.error.empty()) {
    report.error = report.install.error;
  }
  if (!report.packageId.empty()) {
    report.recordRead =
        RecordsKeyBelieved()
            ? ReadPackageRecord(report.packageId, confId, report.record, report.packageId)
            : RecordRead::kUnreadable;
  }
  if (report.error.empty())
    report.installed = ReadInstalledEntries(packageDir, report.install.path, entries);
  report.applied = report.error.empty() && IsApplied(report.installed);
  return report;
}
