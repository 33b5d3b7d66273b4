#include "tools/patchcheck/verify.h"

#include "package/layout.h"

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
    if (plan[i].action == EntryAction::kSkipMissingFile) {
      item.role = EntryRole::kSkipsMissing;
    } else if (plan[i].sameAs != kNoEntry) {
      item.role = EntryRole::kSkipsRepeated;
      item.sameAs = plan[i].sameAs + 1;
    }
    if (item.role != EntryRole::kSkipsMissing) {
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
