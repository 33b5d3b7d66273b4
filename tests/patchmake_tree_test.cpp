// The exclude patterns, and the pairing of a renamed versioned file with the file it replaces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/patchmake/tree.h"

namespace {

TEST(PatchMakeRules, PatternsMatchWholePathsWithoutRegardToCase) {
  EXPECT_TRUE(MatchesPattern(L"bin\\sub\\a.PDB", L"*.pdb")) << "* crosses folders";
  EXPECT_TRUE(MatchesPattern(L"logs\\a.txt", L"logs/*"));
  EXPECT_TRUE(MatchesPattern(L"\u00C9t\u00E9.txt", L"\u00E9T\u00C9.?xt"));
  EXPECT_FALSE(MatchesPattern(L"a.pdb.txt", L"*.pdb"));
  EXPECT_FALSE(MatchesPattern(L"xlogs\\a", L"logs\\*"));
  EXPECT_TRUE(MatchesPattern(L"", L"*"));
  EXPECT_FALSE(MatchesPattern(L"", L"?"));
}

TEST(PatchMakeRules, ARenamedVersionedFileIsMadeFromTheFileItReplaces) {
  EXPECT_TRUE(SameApartFromDigits(L"lib\\vips-8.17.2.dll", L"LIB\\Vips-8.17.13.dll"));
  EXPECT_FALSE(SameApartFromDigits(L"a\\vips-8.dll", L"b\\vips-9.dll")) << "another folder";
  EXPECT_FALSE(SameApartFromDigits(L"vips-8.dll", L"vipz-8.dll"));
  EXPECT_FALSE(SameApartFromDigits(L"vips-8.dll", L"vips-8.dll"));

  std::vector<Change> changes = {
      {L"a-1.dll", EntryKind::kRemove, true, 10}, {L"a-2.dll", EntryKind::kCopy, false, 0, 11},
      {L"b-2.dll", EntryKind::kCopy, false, 0, 5}, {L"b-3.dll", EntryKind::kCopy, false, 0, 6},
      {L"b-9.dll", EntryKind::kRemove, true, 4},  {L"c.dll", EntryKind::kCopy, true, 3, 3},
      {L"c1.dll", EntryKind::kRemove, true, 2}};
  PairRenamedFiles(changes);
  std::vector<std::wstring> order, bases;
  for (const Change& change : changes) {
    order.push_back((change.kind == EntryKind::kRemove ? L"-" : L"") + change.path);
    bases.push_back(change.renamedFrom);
  }
  EXPECT_EQ(order, (std::vector<std::wstring>{L"a-2.dll", L"-a-1.dll", L"b-2.dll", L"-b-9.dll",
                                              L"b-3.dll", L"c.dll", L"-c1.dll"}))
      << "each base removed right after the file made from it";
  EXPECT_EQ(bases, (std::vector<std::wstring>{L"a-1.dll", L"", L"b-9.dll", L"", L"", L"", L""}))
      << "one new file per removed one; a file that has its old version keeps it";
  EXPECT_EQ(changes[0].oldSize, 10u);
}

}  // namespace
