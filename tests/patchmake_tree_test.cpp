// The exclude patterns.
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

}  // namespace
