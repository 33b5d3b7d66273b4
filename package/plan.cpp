#include "package/plan.h"

#include <map>

#include "package/entry_paths.h"
#include "platform/text.h"

namespace {
// A destination as earlier entries of the same run left it.
struct DestinationState {
  PathKind destination;
  bool backupPresent;
  size_t firstActing;  // the first entry that acts on it (its patch file present)
};

bool CopyFails(const EntryFacts& facts) {
  return facts.patchFile == PathKind::kFolder || !facts.destinationFolderPresent ||
         facts.partialLink;
}
}  // namespace

const char* EntryActionName(EntryAction action) {
  switch (action) {
    case EntryAction::kRefuse:
      return "refused";
    case EntryAction::kSkipMissingFile:
      return "skip-missing-file";
    case EntryAction::kSkipBackupExists:
      return "skip-backup-exists";
    case EntryAction::kSkipInstalled:
      return "skip-installed";
    case EntryAction::kCopy:
      return "copy";
    case EntryAction::kMoveThenCopy:
      return "move-then-copy";
    case EntryAction::kCopyFails:
      return "copy-fails";
    case EntryAction::kRemove:
      return "remove";
    case EntryAction::kSkipNothingToRemove:
      return "skip-missing";
    case EntryAction::kMakeFolder:
      return "make-folder";
    case EntryAction::kSkipFolderExists:
      return "skip-exists";
    case EntryAction::kNotReached:
      break;
  }
  return "not-reached";
}

std::wstring DestinationKey(const std::wstring& dest) {
  std::vector<std::wstring> parts;
  for (size_t start = 0; start <= dest.size();) {
    size_t end = dest.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = dest.size();
    std::wstring part = dest.substr(start, end - start);
    start = end + 1;
    if (part == L"..") {
      if (!parts.empty() && parts.back() != L"..") {
        parts.pop_back();
      } else {
        parts.push_back(part);
      }
      continue;
    }
    while (!part.empty() && (part.back() == L'.' || part.back() == L' ')) part.pop_back();
    if (!part.empty()) parts.push_back(part);
  }
  std::wstring key;
  for (const std::wstring& part : parts) key += (key.empty() ? L"" : L"\\") + part;
  return key;
}

bool OutsideInstallation(const std::wstring& destinationKey) {
  return destinationKey.empty() || destinationKey == L".." || destinationKey.rfind(L"..\\", 0) == 0;
}

namespace {
std::wstring ParentKey(const std::wstring& key) {
  const size_t slash = key.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : key.substr(0, slash);
}
}  // namespace

std::vector<PlannedEntry> PlanEntries(const PatchList& entries,
                                      const std::vector<EntryFacts>& facts) {
  std::vector<PlannedEntry> plan(entries.size());
  std::map<std::wstring, DestinationState, FileNameLess> seen;
  std::map<std::wstring, bool, FileNameLess> backupsMade;
  // Each folder a folder entry makes, its missing parents too, with that entry.
  std::map<std::wstring, size_t, FileNameLess> foldersMade;
  bool stopped = false;  // later entries are not reached, but still told apart by destination
  for (size_t i = 0; i < entries.size() && i < facts.size(); ++i) {
    const EntryFacts& fact = facts[i];
    PlannedEntry& step = plan[i];
    if (stopped || fact.refusedName) {
      if (!stopped) step.action = EntryAction::kRefuse;
      stopped = true;
      const auto known = seen.find(DestinationKey(WidenUtf8(entries[i].dest)));
      if (known != seen.end()) step.sameAs = known->second.firstActing;
      continue;
    }
    const std::wstring key = DestinationKey(WidenUtf8(entries[i].dest));
    DestinationState& state =
        seen.emplace(key, DestinationState{fact.destination, fact.backupPresent, kNoEntry})
            .first->second;
    if (backupsMade.erase(key) != 0) state.destination = PathKind::kFile;
    step.sameAs = state.firstActing;
    const EntryKind kind = entries[i].kind;
    if (kind != EntryKind::kCopy) {
      if (state.firstActing == kNoEntry) state.firstActing = i;
      const bool made = foldersMade.count(key) != 0;
      const PathKind found = made ? PathKind::kFolder : state.destination;
      const bool refused =
          OutsideInstallation(key) ||
          (kind == EntryKind::kRemove ? found == PathKind::kFolder || fact.destinationLink
                                      : found == PathKind::kFile);
      if (refused) {
        step.action = EntryAction::kRefuse;
        stopped = true;
      } else if (kind == EntryKind::kFolder) {
        step.action = found == PathKind::kFolder ? EntryAction::kSkipFolderExists
                                                 : EntryAction::kMakeFolder;
        if (found != PathKind::kFolder) {
          for (std::wstring level = key; !level.empty() && foldersMade.count(level) == 0;
               level = ParentKey(level))
            foldersMade[level] = i;
        }
        state.destination = PathKind::kFolder;
      } else if (found == PathKind::kMissing) {
        step.action = EntryAction::kSkipNothingToRemove;
      } else if (state.backupPresent) {
        step.action = EntryAction::kSkipBackupExists;
      } else {
        step.action = EntryAction::kRemove;
        step.movesAside = true;
        state.destination = PathKind::kMissing;
        state.backupPresent = true;
        if (seen.find(key + kBackupSuffix) == seen.end()) backupsMade[key + kBackupSuffix] = true;
      }
      continue;
    }
    const auto folderMade = foldersMade.find(ParentKey(key));
    if (folderMade != foldersMade.end()) step.folderEntry = folderMade->second;
    if (fact.patchFile == PathKind::kMissing) {
      step.action = EntryAction::kSkipMissingFile;
      continue;
    }
    if (state.firstActing == kNoEntry) state.firstActing = i;
    const bool present = state.destination != PathKind::kMissing;
    // A backup name that an earlier entry made, or names as its own dest, holds a file too.
    const auto backupNamed = seen.find(key + kBackupSuffix);
    if (backupNamed != seen.end() && backupNamed->second.destination != PathKind::kMissing)
      state.backupPresent = true;
    if (present && state.backupPresent) {
      step.action = EntryAction::kSkipBackupExists;
      continue;
    }
    if (fact.installedByPackage && step.sameAs == kNoEntry) {
      step.action = EntryAction::kSkipInstalled;
      continue;
    }
    step.movesAside = present && !fact.partialLink;  // a link there stops it before the move
    if (CopyFails(fact) && !(step.folderEntry != kNoEntry && fact.patchFile == PathKind::kFile &&
                             !fact.partialLink)) {
      step.action = EntryAction::kCopyFails;
      stopped = true;
      continue;
    }
    step.action = present ? EntryAction::kMoveThenCopy : EntryAction::kCopy;
    state.destination = PathKind::kFile;
    state.backupPresent = state.backupPresent || present;
    if (present && seen.find(key + kBackupSuffix) == seen.end())
      backupsMade[key + kBackupSuffix] = true;
  }
  return plan;
}

std::vector<EntryPaths> FormAllEntryPaths(const PatchList& entries,
                                          const std::wstring& patchFolder,
                                          const std::wstring& installDir) {
  std::vector<EntryPaths> paths;
  paths.reserve(entries.size());
  for (const PatchEntry& entry : entries)
    paths.push_back(FormEntryPaths(entry, patchFolder, installDir));
  return paths;
}

bool ChangesNothing(const std::vector<PlannedEntry>& plan) {
  for (const PlannedEntry& step : plan) {
    switch (step.action) {
      case EntryAction::kSkipMissingFile:
      case EntryAction::kSkipBackupExists:
      case EntryAction::kSkipInstalled:
      case EntryAction::kSkipNothingToRemove:
      case EntryAction::kSkipFolderExists:
        continue;
      default:
        return false;
    }
  }
  return true;
}
