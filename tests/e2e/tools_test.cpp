// The package tools run as an author would: on real package folders, against a real
// installation, and side by side with the runner whose behaviour they predict.

#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

#include "tests/e2e/support.h"
#include "tools/flag_block.h"

namespace {

// The tools are built beside the test programs.
std::wstring BuiltTool(const wchar_t* name) {
  wchar_t path[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  folder.resize(folder.find_last_of(L'\\') + 1);
  return folder + name;
}
const std::wstring kPatchFlags = BuiltTool(L"patchflags.exe");
const std::wstring kPatchCheck = BuiltTool(L"patchcheck.exe");

struct ToolRun {
  DWORD exitCode = 0;
  std::string output;  // standard output
};

// Runs a console tool with its standard output in a file, and returns both.
ToolRun RunTool(const std::wstring& exe, const std::wstring& args, const e2e::TempDir& temp) {
  const std::wstring outPath = temp / L"tool-output.txt";
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           0, nullptr);
  EXPECT_NE(out, INVALID_HANDLE_VALUE);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out;
  startup.hStdError = out;
  PROCESS_INFORMATION process = {};
  std::wstring commandLine = L"\"" + exe + L"\" " + args;
  ToolRun run;
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                      nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start " << NarrowToUtf8(exe) << ", error " << GetLastError();
    CloseHandle(out);
    return run;
  }
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0)
      << NarrowToUtf8(commandLine) << " hangs";
  GetExitCodeProcess(process.hProcess, &run.exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(out);
  run.output = e2e::ReadFileOrEmpty(outPath);
  return run;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

// --- patchflags ---------------------------------------------------------------------------

TEST(PatchFlags, ShowsSetsAndCopiesTheFlagBytes) {
  e2e::TempDir temp;
  const std::wstring exe = temp / L"Patch.exe";
  ASSERT_TRUE(CopyFileW(e2e::BuiltPatchExe().c_str(), exe.c_str(), FALSE));
  const std::string original = e2e::ReadFileOrEmpty(exe);

  ToolRun shown = RunTool(kPatchFlags, Quoted(exe), temp);
  EXPECT_EQ(shown.exitCode, 0u) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "MagicDebug: 1")) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "LogEnabled: 0")) << shown.output;

  const std::wstring copy = temp / L"copy\\Patch.exe";
  e2e::MakeFolders(temp / L"copy");
  ToolRun copied =
      RunTool(kPatchFlags,
              Quoted(exe) + L" --magic-debug=0 --log-enabled=1 --output " + Quoted(copy), temp);
  EXPECT_EQ(copied.exitCode, 0u) << copied.output;
  EXPECT_EQ(e2e::ReadFileOrEmpty(exe), original) << "--output must leave the original alone";

  const std::string changed = e2e::ReadFileOrEmpty(copy);
  FlagBlockLocation at;
  std::string error;
  ASSERT_TRUE(FindFlagBlock(original, at, error)) << error;
  ASSERT_EQ(changed.size(), original.size());
  EXPECT_EQ(changed[at.magicDebug], '\0');
  EXPECT_EQ(changed[at.logEnabled], '\x01');
  std::string restored = changed;
  restored[at.magicDebug] = original[at.magicDebug];
  restored[at.logEnabled] = original[at.logEnabled];
  EXPECT_TRUE(restored == original) << "bytes other than the two flags changed";

  ToolRun inPlace = RunTool(kPatchFlags, Quoted(exe) + L" --log-enabled=1", temp);
  EXPECT_EQ(inPlace.exitCode, 0u) << inPlace.output;
  const std::string edited = e2e::ReadFileOrEmpty(exe);
  EXPECT_EQ(edited[at.logEnabled], '\x01');
  EXPECT_EQ(edited[at.magicDebug], '\x01') << "an option not given keeps its byte";
  EXPECT_FALSE(e2e::Exists(exe + L".patchtool.tmp")) << "temporary file left behind";
}

TEST(PatchFlags, RefusesFilesWithoutOneClearFlagBlockAndBadUsage) {
  e2e::TempDir temp;
  const std::wstring notRunner = temp / L"other.exe";
  e2e::InstallStandIn(notRunner);
  const std::string before = e2e::ReadFileOrEmpty(notRunner);
  ToolRun refused = RunTool(kPatchFlags, Quoted(notRunner) + L" --magic-debug=0", temp);
  EXPECT_EQ(refused.exitCode, 1u) << refused.output;
  EXPECT_TRUE(Contains(refused.output, "not found")) << refused.output;
  EXPECT_EQ(e2e::ReadFileOrEmpty(notRunner), before);

  // Two flag blocks make the byte to change ambiguous.
  const std::wstring twice = temp / L"twice.exe";
  const std::string block = e2e::ReadFileOrEmpty(e2e::BuiltPatchExe());
  e2e::WriteFileBytes(twice, block + block);
  ToolRun ambiguous = RunTool(kPatchFlags, Quoted(twice) + L" --log-enabled=1", temp);
  EXPECT_EQ(ambiguous.exitCode, 1u) << ambiguous.output;
  EXPECT_TRUE(Contains(ambiguous.output, "more than once")) << ambiguous.output;
  EXPECT_TRUE(e2e::ReadFileOrEmpty(twice) == block + block) << "a refused file was written";

  EXPECT_EQ(RunTool(kPatchFlags, Quoted(notRunner) + L" --magic-debug=2", temp).exitCode, 2u);
  EXPECT_EQ(RunTool(kPatchFlags, L"", temp).exitCode, 2u);
}

// --- patchcheck ---------------------------------------------------------------------------

TEST(PatchCheck, ReportsWhatTheRunnerWouldRefuse) {
  e2e::TempDir temp;
  const e2e::Package package = e2e::MakePackage(temp / L"pkg");
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
    ToolRun run = RunTool(kPatchCheck, Quoted(package.dir), temp);
    EXPECT_EQ(run.exitCode, 1u) << c.conf << "\n" << run.output;
    EXPECT_TRUE(Contains(run.output, c.expected))
        << "expected \"" << c.expected << "\" for " << c.conf << "\nsaw: " << run.output;
  }

  package.AddPatchFile(L"a.dll", "new");
  package.WriteConf(
      R"({"patch_list":[{"src":"a.dll","dest":"..\\a.dll"},{"src":"a.dll","dest":"\\x"},
                      {"src":"a.dll","dest":"BIN/x"},{"src":"a.dll","dest":"bin\\X"}]})");
  ToolRun warned = RunTool(kPatchCheck, Quoted(package.dir), temp);
  EXPECT_EQ(warned.exitCode, 0u) << "warnings alone do not fail: " << warned.output;
  for (const char* expected : {"climbs out", "is absolute", "entry 3 and entry 4 have the same"}) {
    EXPECT_TRUE(Contains(warned.output, expected))
        << "expected \"" << expected << "\" in: " << warned.output;
  }

  DeleteFileW(package.exe.c_str());
  ToolRun noRunner = RunTool(kPatchCheck, Quoted(package.dir), temp);
  EXPECT_EQ(noRunner.exitCode, 1u);
  EXPECT_TRUE(Contains(noRunner.output, "no runner executable")) << noRunner.output;
  EXPECT_EQ(RunTool(kPatchCheck, L"--bogus", temp).exitCode, 2u);
}

// The dry run must predict what Patch.exe then does to the same installation.
TEST(PatchCheck, DryRunAgreesWithTheRunner) {
  e2e::TempDir temp;
  e2e::ProductKeyGuard key;
  const e2e::Package package = e2e::MakePackage(temp / L"pkg");
  const std::wstring install = temp / L"install";
  e2e::WriteFileBytes(install + L"\\bin\\replaced.dll", "old replaced");
  e2e::WriteFileBytes(install + L"\\done.dll", "patched before");
  e2e::WriteFileBytes(install + L"\\done.dll.220620.patch.bak", "original");
  package.AddPatchFile(L"replaced.dll", "new replaced");
  package.AddPatchFile(L"added.dll", "new added");
  package.AddPatchFile(L"done.dll", "new done");
  package.WriteConf(R"({"patch_list":[
      {"src":"replaced.dll","dest":"bin\\replaced.dll"},
      {"src":"added.dll","dest":"bin\\added.dll"},
      {"src":"gone.dll","dest":"gone.dll"},
      {"src":"done.dll","dest":"done.dll"}]})");
  key.SetInstallDir(install);

  ToolRun check =
      RunTool(kPatchCheck, Quoted(package.dir) + L" --json --install-dir " + Quoted(install), temp);
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
  const auto untouched = e2e::SnapshotTree(install);

  // Nothing was changed by the check; now the runner does what it said.
  EXPECT_EQ(e2e::SnapshotTree(install), untouched);
  EXPECT_EQ(e2e::RunProgram(package.exe), 0u);
  EXPECT_EQ(e2e::ReadFileOrEmpty(install + L"\\bin\\replaced.dll"), "new replaced");
  EXPECT_EQ(e2e::ReadFileOrEmpty(install + L"\\bin\\replaced.dll.220620.patch.bak"),
            "old replaced");
  EXPECT_EQ(e2e::ReadFileOrEmpty(install + L"\\bin\\added.dll"), "new added");
  EXPECT_FALSE(e2e::Exists(install + L"\\bin\\added.dll.220620.patch.bak"));
  EXPECT_FALSE(e2e::Exists(install + L"\\gone.dll"));
  EXPECT_EQ(e2e::ReadFileOrEmpty(install + L"\\done.dll"), "patched before");

  // A second check over the patched installation predicts the runner's skips.
  package.WriteConf(R"({"patch_list":[{"src":"replaced.dll","dest":"bin\\replaced.dll"}]})");
  ToolRun again =
      RunTool(kPatchCheck, Quoted(package.dir) + L" --install-dir " + Quoted(install), temp);
  EXPECT_EQ(again.exitCode, 0u) << again.output;
  EXPECT_TRUE(Contains(again.output, "its backup exists")) << again.output;
}

}  // namespace
