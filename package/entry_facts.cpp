// The half of the plan that reads the file system.
#include <windows.h>

#include <map>
#include <set>

#include "package/plan.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

PathKind KindOf(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kFolder : PathKind::kFile;
}

// A name that a listing of its folder answers exactly as a lookup by path would: a short path
// without "/", "." or ".." parts, wildcards, streams, or dots and spaces the platform would drop.
bool ListingAnswers(const std::wstring& path) {
  if (path.size() >= kPathCapacity || path.find(L'/') != std::wstring::npos) return false;
  const size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos || slash < 2) return false;
  const std::wstring name = path.substr(slash + 1);
  if (name.empty() || name.back() == L'.' || name.back() == L' ' ||
      name.find_first_of(L"*?:") != std::wstring::npos) {
    return false;
  }
  const std::wstring folder = L"\\" + path.substr(0, slash) + L"\\";
  return folder.find(L"\\.\\") == std::wstring::npos && folder.find(L"\\..\\") == std::wstring::npos;
}

// The names of each folder, listed once. A missing name costs a scan of the whole folder on some
// file systems; one listing answers for every backup and partial name in it.
class FolderNames {
 public:
  // `path` is a backup or partial name, which the runner works on in its long form.
  bool Present(const std::wstring& path) {
    if (!ListingAnswers(path)) return KindOf(LongPathForm(path)) != PathKind::kMissing;
    const size_t slash = path.find_last_of(L'\\');
    const auto found = listings_.find(path.substr(0, slash));
    const Listing& listing =
        found != listings_.end() ? found->second : Load(path.substr(0, slash));
    if (!listing.complete) return KindOf(path) != PathKind::kMissing;
    // A name listed is confirmed by path (cheap for a name that exists): the listing compares
    // names its own way, and a lookup is what the run's own operations do.
    return listing.names.count(path.substr(slash + 1)) != 0 && KindOf(path) != PathKind::kMissing;
  }

 private:
  struct Listing {
    std::set<std::wstring, FileNameLess> names;
    bool complete = false;
  };
  const Listing& Load(const std::wstring& folder) {
    Listing& listing = listings_[folder];
    DWORD error = 0;
    listing.complete = ForEachMatch(
        folder + L"\\*", [&listing](const WIN32_FIND_DATAW& found) {
          listing.names.insert(found.cFileName);
        },
        error);
    // A missing folder holds no names.
    if (!listing.complete && (error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND)) {
      listing.names.clear();
      listing.complete = true;
    }
    return listing;
  }
  std::map<std::wstring, Listing, FileNameLess> listings_;
};

}  // namespace

std::vector<EntryFacts> GatherEntryFacts(const std::vector<EntryPaths>& paths) {
  std::vector<EntryFacts> facts(paths.size());
  FolderNames names;
  std::map<std::wstring, bool, FileNameLess> folders;
  for (size_t i = 0; i < paths.size(); ++i) {
    const EntryPaths& entry = paths[i];
    EntryFacts& fact = facts[i];
    fact.refusedName = entry.deviceOrStream || entry.controlCharacter;
    if (fact.refusedName) continue;  // never looked at: the run stops there
    fact.destination = KindOf(entry.destination);
    if (entry.kind == EntryKind::kFolder) continue;
    if (entry.kind == EntryKind::kRemove) {
      fact.destinationLink =
          fact.destination != PathKind::kMissing && IsLinkAt(LongPathForm(entry.destination));
      fact.backupPresent = names.Present(entry.backup);
      continue;
    }
    fact.patchFile = KindOf(entry.source);
    const std::wstring folder = ParentFolder(entry.destination);
    const auto known = folders.find(folder);
    // The runner names a destination as it is, and a name of 260 characters or more takes no
    // file that way: for it there is no folder to copy into.
    fact.destinationFolderPresent =
        entry.destination.size() < kPathCapacity &&
        (known != folders.end() ? known->second : (folders[folder] = IsFolder(folder)));
    fact.backupPresent = names.Present(entry.backup);
    fact.partialPresent = names.Present(entry.partial);
    fact.partialLink = fact.partialPresent && IsLinkAt(LongPathForm(entry.partial));
  }
  return facts;
}
