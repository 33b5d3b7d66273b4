// The package tools run as an author would: on real package folders, against a real
// installation, and side by side with the runner whose behaviour they predict.

#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

#include "app/install.h"
#include "platform/text.h"
#include "tests/support/files.h"
#include "tests/support/machine.h"
#include "tests/support/processes.h"
#include "tools/flag_block.h"

namespace {

const std::wstring kPatchFlags = L"patchflags.exe";
const std::wstring kPatchCheck = L"patchcheck.exe";

// A console tool's exit code and what it printed.
struct ToolRun {
  DWORD exitCode = 0;
  std::string output;
};

class ToolTest : public testsupport::MachineTest {
 protected:
  // Runs a tool built beside the tests, as an author would.
  ToolRun RunTool(const std::wstring& tool, const std::wstring& args) const {
    const std::wstring output = temp_ / L"tool-output.txt";
    const DWORD exitCode = testsupport::RunProgram(testsupport::BuiltFile(tool), args, output);
    return {exitCode, testsupport::ReadBytes(output)};
  }
};
class PatchFlags : public ToolTest {};
class PatchCheck : public ToolTest {};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

// --- patchflags ---------------------------------------------------------------------------

TEST_F(PatchFlags, ShowsSetsAndCopiesTheFlagBytes) {
  const std::wstring exe = temp_ / L"Patch.exe";
  ASSERT_TRUE(CopyFileW(testsupport::BuiltFile(L"Patch.exe").c_str(), exe.c_str(), FALSE));
  const std::string original = testsupport::ReadBytes(exe);

  ToolRun shown = RunTool(kPatchFlags, Quoted(exe));
  EXPECT_EQ(shown.exitCode, 0u) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "MagicDebug: 1")) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "LogEnabled: 0")) << shown.output;

  const std::wstring copy = temp_ / L"copy\\Patch.exe";
  testsupport::MakeFolders(temp_ / L"copy");
  ToolRun copied = RunTool(
      kPatchFlags, Quoted(exe) + L" --magic-debug=0 --log-enabled=1 --output " + Quoted(copy));
  EXPECT_EQ(copied.exitCode, 0u) << copied.output;
  EXPECT_EQ(testsupport::ReadBytes(exe), original) << "--output must leave the original alone";

  const std::string changed = testsupport::ReadBytes(copy);
  FlagBlockLocation at;
  std::string error;
  ASSERT_TRUE(FindFlagBlock(original, at, error)) << error;
  // As built, one contiguous block: LogEnabled off, MagicDebug on.
  EXPECT_EQ(at.magicDebug, at.logEnabled + 15) << "the flag block is not contiguous";
  EXPECT_EQ(original[at.logEnabled], '\0') << "LogEnabled as built";
  EXPECT_EQ(original[at.magicDebug], '\x01') << "MagicDebug as built";
  ASSERT_EQ(changed.size(), original.size());
  EXPECT_EQ(changed[at.magicDebug], '\0');
  EXPECT_EQ(changed[at.logEnabled], '\x01');
  std::string restored = changed;
  restored[at.magicDebug] = original[at.magicDebug];
  restored[at.logEnabled] = original[at.logEnabled];
  EXPECT_TRUE(restored == original) << "bytes other than the two flags changed";

  ToolRun inPlace = RunTool(kPatchFlags, Quoted(exe) + L" --log-enabled=1");
  EXPECT_EQ(inPlace.exitCode, 0u) << inPlace.output;
  const std::string edited = testsupport::ReadBytes(exe);
  EXPECT_EQ(edited[at.logEnabled], '\x01');
  EXPECT_EQ(edited[at.magicDebug], '\x01') << "an option not given keeps its byte";
  EXPECT_FALSE(testsupport::Exists(exe + L".patchtool.tmp")) << "temporary file left behind";
}

TEST_F(PatchFlags, RefusesFilesWithoutOneClearFlagBlockAndBadUsage) {
  const std::wstring notRunner = temp_ / L"other.exe";
  testsupport::InstallStandIn(notRunner);
  const std::string before = testsupport::ReadBytes(notRunner);
  ToolRun refused = RunTool(kPatchFlags, Quoted(notRunner) + L" --magic-debug=0");
  EXPECT_EQ(refused.exitCode, 1u) << refused.output;
  EXPECT_TRUE(Contains(refused.output, "not found")) << refused.output;
  EXPECT_EQ(testsupport::ReadBytes(notRunner), before);

  // Two flag blocks make the byte to change ambiguous.
  const std::wstring twice = temp_ / L"twice.exe";
  const std::string block = testsupport::ReadBytes(testsupport::BuiltFile(L"Patch.exe"));
  testsupport::WriteBytes(twice, block + block);
  ToolRun ambiguous = RunTool(kPatchFlags, Quoted(twice) + L" --log-enabled=1");
  EXPECT_EQ(ambiguous.exitCode, 1u) << ambiguous.output;
  EXPECT_TRUE(Contains(ambiguous.output, "more than once")) << ambiguous.output;
  EXPECT_TRUE(testsupport::ReadBytes(twice) == block + block) << "a refused file was written";

  EXPECT_EQ(RunTool(kPatchFlags, Quoted(notRunner) + L" --magic-debug=2").exitCode, 2u);
  EXPECT_EQ(RunTool(kPatchFlags, L"").exitCode, 2u);
}

// --- patchcheck ---------------------------------------------------------------------------

TEST_F(PatchCheck, ReportsWhatTheRunnerWouldRefuse) {
  const testsupport::Package package = testsupport::MakePackage(temp_ / L"pkg");
  const struct {
    std::string conf;
    const char* expected;
  } cases[] = {
      {"\xEF\xBB\xBF{\"patch_list\":[]}", "byte-order mark"},
      {"{\"patch_list\":[{\"src\":\"a\",\n\"dest\" \"b\"}]}", "Line 2"},
      {"{\"patch_list\":{\"src\":\"a\"}}", "\"patch_list\" is not an array"},
      {"[1]", "top-level value is an array"},
      {"{\"patch_list\":[{\"src\":\"a\",\"dest\":7}]}", "entry 1: \"dest\" is a number"},
      {"{\"patch_list\":[{\"src\":\"missing\",\"dest\":\"a\"}]}", "is missing"},
      {"{\"patch_list\":[]}", "no entries"},
  };
  for (const auto& c : cases) {
    package.WriteConf(c.conf);
    ToolRun run = RunTool(kPatchCheck, Quoted(package.dir));
    EXPECT_EQ(run.exitCode, 1u) << c.conf << "\n" << run.output;
    EXPECT_TRUE(Contains(run.output, c.expected))
        << "expected \"" << c.expected << "\" for " << c.conf << "\nsaw: " << run.output;
  }

  package.AddPatchFile(L"a.dll", "new");
  package.WriteConf(
      R"({"patch_list":[{"src":"a.dll","dest":"..\\a.dll"},{"src":"a.dll","dest":"\\x"},
                      {"src":"a.dll","dest":"BIN/x"},{"src":"a.dll","dest":"bin\\X"}]})");
  ToolRun warned = RunTool(kPatchCheck, Quoted(package.dir));
  EXPECT_EQ(warned.exitCode, 0u) << "warnings alone do not fail: " << warned.output;
  for (const char* expected : {"climbs out", "is absolute", "entry 3 and entry 4 have the same"}) {
    EXPECT_TRUE(Contains(warned.output, expected))
        << "expected \"" << expected << "\" in: " << warned.output;
  }

  DeleteFileW(package.exe.c_str());
  ToolRun noRunner = RunTool(kPatchCheck, Quoted(package.dir));
  EXPECT_EQ(noRunner.exitCode, 1u);
  EXPECT_TRUE(Contains(noRunner.output, "no runner executable")) << noRunner.output;
  EXPECT_EQ(RunTool(kPatchCheck, L"--bogus").exitCode, 2u);
}

// The dry run must predict what Patch.exe then does to the same installation.
TEST_F(PatchCheck, DryRunAgreesWithTheRunner) {
  const testsupport::Package package = testsupport::MakePackage(temp_ / L"pkg");
  const std::wstring install = temp_ / L"install";
  testsupport::WriteBytes(install + L"\\bin\\replaced.dll", "old replaced");
  testsupport::WriteBytes(install + L"\\done.dll", "patched before");
  testsupport::WriteBytes(install + L"\\done.dll.220620.patch.bak", "original");
  package.AddPatchFile(L"replaced.dll", "new replaced");
  package.AddPatchFile(L"added.dll", "new added");
  package.AddPatchFile(L"done.dll", "new done");
  package.WriteConf(R"({"patch_list":[
      {"src":"replaced.dll","dest":"bin\\replaced.dll"},
      {"src":"added.dll","dest":"bin\\added.dll"},
      {"src":"gone.dll","dest":"gone.dll"},
      {"src":"done.dll","dest":"done.dll"}]})");
  key_.SetString(kInstallDirValue, install);

  ToolRun check =
      RunTool(kPatchCheck, Quoted(package.dir) + L" --json --install-dir " + Quoted(install));
  EXPECT_EQ(check.exitCode, 1u) << "a missing patch file fails the check: " << check.output;
  Json::Value report;
  ASSERT_TRUE(Json::Reader().parse(check.output, report)) << check.output;
  const Json::Value& steps = report["dry_run"];
  ASSERT_EQ(steps.size(), 4u) << check.output;
  const char* expected[] = {"move-then-copy", "copy", "skip-missing-file", "skip-backup-exists"};
  for (Json::ArrayIndex i = 0; i < 4; ++i)
    EXPECT_EQ(steps[i]["action"].asString(), expected[i]) << "entry " << i + 1;
  EXPECT_EQ(steps[0]["backup"].asString(),
            NarrowToUtf8(install) + "\\bin\\replaced.dll.220620.patch.bak");
  EXPECT_TRUE(steps[1]["backup"].isNull());
  const auto untouched = testsupport::SnapshotTree(install);

  // Nothing was changed by the check; now the runner does what it said.
  EXPECT_EQ(testsupport::SnapshotTree(install), untouched);
  EXPECT_EQ(testsupport::RunProgram(package.exe), 0u);
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\bin\\replaced.dll"), "new replaced");
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\bin\\replaced.dll.220620.patch.bak"),
            "old replaced");
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\bin\\added.dll"), "new added");
  EXPECT_FALSE(testsupport::Exists(install + L"\\bin\\added.dll.220620.patch.bak"));
  EXPECT_FALSE(testsupport::Exists(install + L"\\gone.dll"));
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\done.dll"), "patched before");

  // A second check over the patched installation predicts the runner's skips.
  package.WriteConf(R"({"patch_list":[{"src":"replaced.dll","dest":"bin\\replaced.dll"}]})");
  ToolRun again = RunTool(kPatchCheck, Quoted(package.dir) + L" --install-dir " + Quoted(install));
  EXPECT_EQ(again.exitCode, 0u) << again.output;
  EXPECT_TRUE(Contains(again.output, "its backup exists")) << again.output;
}

}  // namespace
