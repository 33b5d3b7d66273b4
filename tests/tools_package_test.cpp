// The package tools' pure rules: the checks of an entry's texts, the exclude patterns, where
// OUT_DIR lies, the conf.json that patchmake writes, and the tools' arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "tests/support/files.h"
#include "tools/package_check.h"
#include "tools/package_make.h"
#include "tools/tool_cli.h"

namespace {

std::string Messages(const std::vector<Finding>& findings) {
  std::string text;
  for (const Finding& finding : findings) text += FindingText(finding) + "\n";
  return text;
}

TEST(EntryTexts, WarnAboutWhatWindowsChangesAndRefuseDevices) {
  const struct {
    const char* src;
    const char* dest;
    const char* expected;  // empty: no finding
  } cases[] = {
      {"a", "b\\c.dll", ""},
      {"", "b", "warning: entry 1: \"src\" is empty"},
      {"a", "", "warning: entry 1: \"dest\" is empty"},
      {"a", "..\\b", "climbs out of the installation"},
      {"a", "b\\..\\..\\c", "climbs out"},
      {"a", "\\b", "is absolute"},
      {"a", "C:b", "is absolute"},
      {"a", "com1.txt", "error: entry 1: \"dest\" com1.txt names a device or a stream"},
      {"a", "b.txt:s", "names a device or a stream"},
      {"a", "b\n03-07 14:05:09:083: [Common]Patch successful.", "holds a control character"},
      {"a\tb", "b", "holds a control character"},
      {"a. ", "b", "\"src\" a.  has a part ending in a dot or a space"},
      {"a", "dir.\\b", "\"dest\" dir.\\b has a part ending"},
  };
  for (const auto& c : cases) {
    const std::string found = Messages(CheckEntryTexts({{c.src, c.dest}}));
    if (*c.expected == '\0') {
      EXPECT_EQ(found, "") << c.dest;
    } else {
      EXPECT_NE(found.find(c.expected), std::string::npos) << c.expected << " in:\n" << found;
    }
  }
  const std::string repeated =
      Messages(CheckEntryTexts({{"a", "bin\\x"}, {"b", "y"}, {"c", "BIN/x."}}));
  EXPECT_NE(repeated.find("entry 1 and entry 3 have the same \"dest\""), std::string::npos)
      << repeated;
}

TEST(PatchMakeRules, PatternsMatchWholePathsWithoutRegardToCase) {
  EXPECT_TRUE(MatchesPattern(L"bin\\sub\\a.PDB", L"*.pdb")) << "* crosses folders";
  EXPECT_TRUE(MatchesPattern(L"logs\\a.txt", L"logs/*"));
  EXPECT_TRUE(MatchesPattern(L"\u00C9t\u00E9.txt", L"\u00E9T\u00C9.?xt"));
  EXPECT_FALSE(MatchesPattern(L"a.pdb.txt", L"*.pdb"));
  EXPECT_FALSE(MatchesPattern(L"xlogs\\a", L"logs\\*"));
  EXPECT_TRUE(MatchesPattern(L"", L"*"));
  EXPECT_FALSE(MatchesPattern(L"", L"?"));
}

TEST(PatchMakeRules, OutInsideATreeIsFoundByIdentityNotBySpelling) {
  const testsupport::TempFolder temp;
  const std::wstring tree = temp / L"Wareden-1.0-old";
  testsupport::MakeFolders(tree + L"\\bin");
  wchar_t shortName[MAX_PATH] = {};
  ASSERT_NE(GetShortPathNameW(tree.c_str(), shortName, MAX_PATH), 0u) << GetLastError();
  for (const std::wstring& out : {tree, tree + L"\\pkg", temp / L"WAREDEN-1.0-OLD\\new\\pkg",
                                  tree + L"\\bin\\..\\..\\Wareden-1.0-old", tree + L".",
                                  std::wstring(shortName) + L"\\pkg"}) {
    EXPECT_TRUE(LiesInside(out, tree)) << NarrowToUtf8(out);
  }
  EXPECT_FALSE(LiesInside(temp / L"Wareden-1.0-old2\\pkg", tree));
  EXPECT_FALSE(LiesInside(temp / L"pkg", tree));
}

TEST(PatchMakeRules, ConfJsonTextReadsBackAsItsEntries) {
  const PatchList written = {
      {"bin\\a.dll", "bin\\a.dll", std::string(64, 'a')},
      {"quote\"and\\slash", "\xC3\xA9\t\x01", std::string(64, '0')},
  };
  PatchList read;
  ASSERT_EQ(ParseConfText(ConfJsonText(written), read), ConfTextResult::kOk)
      << ConfJsonText(written);
  ASSERT_EQ(read.size(), written.size());
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].src, written[i].src);
    EXPECT_EQ(read[i].dest, written[i].dest);
    EXPECT_EQ(read[i].sha256, written[i].sha256);
  }
  EXPECT_NE(ConfJsonText(written).compare(0, 3, "\xEF\xBB\xBF"), 0) << "no byte-order mark";
}

TEST(ToolArgumentsTest, OptionsValuesAndPositionals) {
  wchar_t a0[] = L"tool", a1[] = L"pkg", a2[] = L"--install-dir", a3[] = L"C:\\i",
          a4[] = L"--exclude=*.pdb", a5[] = L"--exclude", a6[] = L"*.log", a7[] = L"--json";
  wchar_t* argv[] = {a0, a1, a2, a3, a4, a5, a6, a7};
  ToolArguments parsed;
  ASSERT_TRUE(ParseArguments(
      8, argv, {{L"--install-dir", true}, {L"--exclude", true, true}, {L"--json"}}, 1, parsed));
  EXPECT_EQ(parsed.positional, std::vector<std::wstring>{L"pkg"});
  EXPECT_EQ(parsed.Value(L"--install-dir"), L"C:\\i");
  EXPECT_EQ(parsed.options[L"--exclude"], (std::vector<std::wstring>{L"*.pdb", L"*.log"}));
  EXPECT_TRUE(parsed.Has(L"--json"));
  EXPECT_EQ(parsed.Value(L"--missing", L"x"), L"x");
  ToolArguments again;
  EXPECT_FALSE(ParseArguments(3, argv, {{L"--install-dir", true}}, 1, again)) << "value missing";
  ToolArguments twice;
  wchar_t* repeated[] = {a0, a1, a2, a3, a2, a3};
  EXPECT_FALSE(ParseArguments(6, repeated, {{L"--install-dir", true}}, 1, twice)) << "given twice";
  ToolArguments unknown;
  EXPECT_FALSE(ParseArguments(8, argv, {{L"--install-dir", true}, {L"--json"}}, 1, unknown));
  ToolArguments flagValue;
  wchar_t b1[] = L"--json=1";
  wchar_t* valued[] = {a0, a1, b1};
  EXPECT_FALSE(ParseArguments(3, valued, {{L"--json"}}, 1, flagValue)) << "a flag takes no value";
  ToolArguments count;
  EXPECT_FALSE(ParseArguments(2, argv, {}, 2, count)) << "two positionals expected";
}

}  // namespace
