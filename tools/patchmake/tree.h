#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/patchcheck/findings.h"

// The two trees patchmake compares: what lies below each root, and how they pair up.

// One file or folder below a tree's root.
struct TreeItem {
  std::wstring path;  // relative, with backslashes
  uint64_t size = 0;
  bool folder = false;
  bool empty = false;    // a folder with nothing in it
  bool link = false;     // a folder that is a link (junction, symbolic link): not followed
  bool skipped = false;  // a backup or partial-copy name, or excluded: not followed
};
using Tree = std::vector<TreeItem>;

// A file of NEW_DIR to compare with its old version, if any, and to package when it differs; or
// a file only in OLD_DIR to remove, or a folder only in NEW_DIR to make.
struct Change {
  std::wstring path;
  EntryKind kind = EntryKind::kCopy;
  bool inOld = false;
  uint64_t oldSize = 0, newSize = 0;
  // A new file's base when it is another file of OLD_DIR (a versioned library renamed); its
  // size is oldSize.
  std::wstring renamedFrom = {};
};

// Every file and folder below `root`, in the order of their relative paths as the file system
// compares names; skipped folders (a backup or partial-copy name, excluded) and links are listed
// but not entered. False with a sentence in `failure` when a folder cannot be listed.
bool ListTree(const std::wstring& root, const std::vector<std::wstring>& excludes, Tree& tree,
              std::string& failure);

// Pairs the two trees: the files of NEW_DIR to look at, the files to remove and the folders to
// make, in order (a folder before what is in it), and an error for each thing a run cannot
// reproduce. `skipped` counts the names left out.
std::vector<Change> PairTrees(const Tree& oldTree, const Tree& newTree, const std::wstring& oldDir,
                              const std::wstring& newDir, size_t& skipped,
                              std::vector<Finding>& errors);

// Whether two paths name files of one folder whose names differ in their digits only
// ("lib-8.17.2.dll", "lib-8.17.3.dll"), letters compared as the file system does.
bool SameApartFromDigits(const std::wstring& a, const std::wstring& b);

// Gives each new file the first file removed from its folder whose name matches it apart from
// its digits, each removed file to one new file at most, and moves that removal right after the
// new file, so that the base is still in place when the new file is made from it.
void PairRenamedFiles(std::vector<Change>& changes);

// `*` matches any run of characters (backslashes too), `?` one character; `/` stands for `\`;
// letters match without regard to case, as the file system compares names.
bool MatchesPattern(const std::wstring& path, const std::wstring& pattern);
