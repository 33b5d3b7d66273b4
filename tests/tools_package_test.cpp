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
    EXPECT_TRUE(*c.expected ? found.find(c.expected) != std::string::npos : found.empty())
        << "expected \"" << c.expected << "\" in:\n" << found;
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

// Parses `args` (without the program's name) as a tool would.
bool Parse(std::vector<std::wstring> args, std::initializer_list<OptionRule> rules,
           size_t positionals, ToolArguments& parsed) {
  args.insert(args.begin(), L"tool");
  std::vector<wchar_t*> argv;
  for (std::wstring& arg : args) argv.push_back(&arg[0]);
  return ParseArguments(static_cast<int>(argv.size()), argv.data(), rules, positionals, parsed);
}

TEST(ToolArgumentsTest, OptionsValuesAndPositionals) {
  ToolArguments parsed;
  ASSERT_TRUE(Parse(
      {L"pkg", L"--install-dir", L"C:\\i", L"--exclude=*.pdb", L"--exclude", L"*.log", L"--json"},
      {{L"--install-dir", true}, {L"--exclude", true, true}, {L"--json"}}, 1, parsed));
  EXPECT_EQ(parsed.positional, std::vector<std::wstring>{L"pkg"});
  EXPECT_EQ(parsed.Value(L"--install-dir"), L"C:\\i");
  EXPECT_EQ(parsed.options[L"--exclude"], (std::vector<std::wstring>{L"*.pdb", L"*.log"}));
  EXPECT_TRUE(parsed.Has(L"--json"));
  EXPECT_EQ(parsed.Value(L"--missing", L"x"), L"x");
  const std::vector<std::vector<std::wstring>> refused = {
      {L"pkg", L"--install-dir"},                                // a value missing
      {L"pkg", L"--install-dir", L"a", L"--install-dir", L"b"},  // given twice
      {L"pkg", L"--bogus"},
      {L"pkg", L"--json=1"},  // unknown; a flag with a value
      {L"pkg", L"other"},
      {L""}};  // a positional too many; empty
  for (const std::vector<std::wstring>& args : refused) {
    ToolArguments again;
    EXPECT_FALSE(Parse(args, {{L"--install-dir", true}, {L"--json"}}, 1, again)) << args.size();
  }
}

}  // namespace
