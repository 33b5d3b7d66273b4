#include "tools/patchmake/tree.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <set>

#include "package/entry_paths.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tools/kit/files.h"

namespace {
bool EndsWithName(const std::wstring& path, const wchar_t* suffix) {
  const size_t length = std::wcslen(suffix);
  return path.size() >= length &&
         CompareAsFileNames(path.substr(path.size() - length), suffix) == 0;
}

bool IsSkipped(const std::wstring& path, const std::vector<std::wstring>& excludes) {
  if (EndsWithName(path, kBackupSuffix) || EndsWithName(path, kPartialSuffix)) return true;
  return std::any_of(excludes.begin(), excludes.end(), [&path](const std::wstring& pattern) {
    return MatchesPattern(path, pattern);
  });
}

// Appends every file and folder below root\relative to `tree`, depth first; skipped folders
// and links are listed but not entered.
bool Walk(const std::wstring& root, const std::wstring& relative,
          const std::vector<std::wstring>& excludes, Tree& tree, std::string& failure) {
  const std::wstring folder = relative.empty() ? root : JoinPath(root, relative);
  std::vector<TreeItem> items;
  DWORD error = 0;
  if (!ForEachMatch(
          JoinPath(folder, L"*"),
          [&](const WIN32_FIND_DATAW& found) {
            TreeItem item;
            item.path = relative.empty() ? found.cFileName : JoinPath(relative, found.cFileName);
            item.size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
            item.folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            item.link = item.folder && (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            item.skipped = IsSkipped(item.path, excludes);
            items.push_back(item);
          },
          error)) {
    failure = ErrorText("cannot list", folder, error);
    return false;
  }
  for (const TreeItem& item : items) {
    tree.push_back(item);
    if (item.folder && !item.link && !item.skipped) {
      const size_t index = tree.size() - 1;
      if (!Walk(root, item.path, excludes, tree, failure)) return false;
      tree[index].empty = tree.size() == index + 1;
    }
  }
  return true;
}
}  // namespace

bool ListTree(const std::wstring& root, const std::vector<std::wstring>& excludes, Tree& tree,
              std::string& failure) {
  if (!Walk(root, L"", excludes, tree, failure)) return false;
  // Both trees in one order, so that they pair up in one pass.
  std::sort(tree.begin(), tree.end(), [](const TreeItem& a, const TreeItem& b) {
    return CompareAsFileNames(a.path, b.path) < 0;
  });
  return true;
}

std::vector<Change> PairTrees(const Tree& oldTree, const Tree& newTree, const std::wstring& oldDir,
                              const std::wstring& newDir, size_t& skipped,
                              std::vector<Finding>& errors) {
  const std::string oldName = NarrowToUtf8(oldDir), newName = NarrowToUtf8(newDir);
  const auto error = [&errors](const std::wstring& path, const std::string& text) {
    errors.push_back(MakeFinding(FindingLevel::kError, "cannot-reproduce", NarrowToUtf8(path) + text));
  };
  std::vector<Change> changes;
  for (size_t i = 0, j = 0; i < oldTree.size() || j < newTree.size();) {
    const int order = i == oldTree.size()   ? 1
                      : j == newTree.size() ? -1
                                            : CompareAsFileNames(oldTree[i].path, newTree[j].path);
    const TreeItem* before = order <= 0 ? &oldTree[i++] : nullptr;
    const TreeItem* after = order >= 0 ? &newTree[j++] : nullptr;
    if ((before && before->skipped) || (after && after->skipped)) {
      ++skipped;
      continue;
    }
    if ((before && before->link) || (after && after->link)) {
      error((before ? before : after)->path,
            " is a link to a folder: not followed, so its files are not compared");
      continue;
    }
    const bool oldFile = before && !before->folder, newFile = after && !after->folder;
    const bool oldFolder = before && before->folder, newFolder = after && after->folder;
    if (oldFile && !newFile)
      changes.push_back({before->path, EntryKind::kRemove, true, before->size});
    if (oldFolder && !newFolder) {
      error(before->path,
            " is a folder only in " + oldName + ": the runner removes no folders, so it stays");
    }
    if (newFolder && !oldFolder) changes.push_back({after->path, EntryKind::kFolder});
    if (!newFile) continue;
    changes.push_back({after->path, EntryKind::kCopy, oldFile, oldFile ? before->size : 0, after->size});
  }
  return changes;
}

bool SameApartFromDigits(const std::wstring& a, const std::wstring& b) {
  const auto digitless = [](const std::wstring& path) {
    std::wstring name;
    for (wchar_t c : path) {
      if (c < L'0' || c > L'9') name += c;
    }
    return name;
  };
  return a != b && CompareAsFileNames(ParentFolder(a), ParentFolder(b)) == 0 &&
         CompareAsFileNames(digitless(a), digitless(b)) == 0;
}

void PairRenamedFiles(std::vector<Change>& changes) {
  for (size_t i = 0; i < changes.size(); ++i) {
    Change& change = changes[i];
    if (change.kind != EntryKind::kCopy || change.inOld || !change.renamedFrom.empty()) continue;
    for (size_t j = 0; j < changes.size(); ++j) {
      const Change& removal = changes[j];
      if (removal.kind != EntryKind::kRemove || !SameApartFromDigits(removal.path, change.path))
        continue;
      const bool taken = std::any_of(changes.begin(), changes.end(), [&](const Change& other) {
        return CompareAsFileNames(other.renamedFrom, removal.path) == 0;
      });
      if (taken) continue;
      change.renamedFrom = removal.path;
      change.oldSize = removal.oldSize;
      Change moved = removal;
      changes.erase(changes.begin() + static_cast<std::ptrdiff_t>(j));
      const size_t at = j < i ? i : i + 1;  // the new file's place after the erase, then after it
      changes.insert(changes.begin() + static_cast<std::ptrdiff_t>(at), std::move(moved));
      if (j < i) --i;
      break;
    }
  }
}

bool MatchesPattern(const std::wstring& path, const std::wstring& pattern) {
  const auto same = [](wchar_t p, wchar_t c) {
    if (p == L'/') p = L'\\';
    return p == L'?' || p == c || CompareStringOrdinal(&p, 1, &c, 1, TRUE) == CSTR_EQUAL;
  };
  // Greedy with one point to come back to: the last `*` and where its match began.
  size_t p = 0, c = 0, star = std::wstring::npos, resume = 0;
  while (c < path.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      star = p++;
      resume = c;
    } else if (p < pattern.size() && same(pattern[p], path[c])) {
      ++p;
      ++c;
    } else if (star != std::wstring::npos) {
      p = star + 1;
      c = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}
