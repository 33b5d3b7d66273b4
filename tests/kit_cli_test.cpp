// The tools' arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/kit/cli.h"

namespace {

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
