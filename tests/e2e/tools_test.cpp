// The package tools run as an author or an administrator would: on real package folders,
// against a real installation, and side by side with the runner whose behaviour they predict,
// check, take back or read from its log.

#include <gtest/gtest.h>
#include <json/json.h>

#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "package/conf.h"
#include "product/deployment.h"
#include "product/install_dir.h"
#include "product/record_key.h"
#include "product/run_lock.h"
#include "product/run_record.h"
#include "log/log_internal.h"
#include "platform/text.h"
#include "tests/support/encode.h"
#include "tests/support/files.h"
#include "tests/support/log_files.h"
#include "tests/support/machine.h"
#include "tests/support/processes.h"
#include "tools/kit/package_read.h"
#include "tools/kit/runner_image.h"

namespace {

const std::wstring kPatchFlags = L"patchflags.exe";
const std::wstring kPatchCheck = L"patchcheck.exe";
const std::wstring kPatchUndo = L"patchundo.exe";
const std::wstring kPatchLog = L"patchlog.exe";
const std::wstring kBak = L".220620.patch.bak";
const std::wstring kPatchMake = L"patchmake.exe";

using testsupport::ToolRun;

class ToolTest : public testsupport::MachineTest {
 protected:
  // Runs a tool built beside the tests, as an author would.
  ToolRun RunTool(const std::wstring& tool, const std::wstring& args) const {
    return testsupport::RunTool(tool, args, temp_ / L"tool-output.txt");
  }
  // The deployment program at `exe` with one command, as a deployment system runs it.
  ToolRun Deploy(const std::wstring& exe, const wchar_t* command) const {
    const std::wstring output = temp_ / L"deploy-output.txt";
    const DWORD exitCode = testsupport::RunProgram(exe, command, output);
    return {exitCode, testsupport::ReadBytes(output)};
  }
};
class PatchFlags : public ToolTest {};
class PatchCheck : public ToolTest {};
class PatchMake : public ToolTest {};

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
  EXPECT_TRUE(Contains(shown.output, "Seal: unsealed")) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "Signed: no")) << shown.output;

  const std::wstring copy = temp_ / L"copy\\Patch.exe";
  testsupport::MakeFolders(temp_ / L"copy");
  ToolRun copied = RunTool(
      kPatchFlags, Quoted(exe) + L" --magic-debug=0 --log-enabled=1 --output " + Quoted(copy));
  EXPECT_EQ(copied.exitCode, 0u) << copied.output;
  EXPECT_EQ(testsupport::ReadBytes(exe), original) << "--output must leave the original alone";
  Json::Value report;
  const ToolRun json = RunTool(kPatchFlags, Quoted(copy) + L" --json");
  ASSERT_TRUE(Json::Reader().parse(json.output, report)) << json.output;
  EXPECT_EQ(report["magic_debug"]["value"].asUInt(), 0u) << json.output;
  EXPECT_EQ(report["log_enabled"]["value"].asUInt(), 1u) << json.output;
  EXPECT_EQ(report["seal"]["state"].asString(), "unsealed") << json.output;
  EXPECT_FALSE(report["signed"].asBool()) << json.output;

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
  for (const std::wstring& tool : {kPatchFlags, kPatchCheck, kPatchUndo, kPatchLog, kPatchMake,
                                   std::wstring(L"patchdeploy.exe")}) {
    const std::string name = NarrowToUtf8(tool.substr(0, tool.size() - 4));
    const ToolRun help = RunTool(tool, L"--help"), version = RunTool(tool, L"--version");
    EXPECT_EQ(help.exitCode, 0u) << name;
    EXPECT_EQ(help.output.rfind("usage: " + name, 0), 0u) << help.output;
    EXPECT_EQ(version.exitCode, 0u) << name;
    EXPECT_EQ(version.output.rfind(name + " 1.", 0), 0u) << version.output;
  }
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
  package.WriteConf(R"({"patch_list":[{"src":"a.dll","dest":"..\\a.dll"}]})");
  ToolRun warned = RunTool(kPatchCheck, Quoted(package.dir));
  EXPECT_EQ(warned.exitCode, 0u) << "warnings alone do not fail: " << warned.output;

  // Patch.exe is the runner the install command starts, even after a runner listed before it;
  // any other is one too many.
  const std::wstring another = package.dir + L"\\Another.exe";
  ASSERT_TRUE(CopyFileW(package.exe.c_str(), another.c_str(), FALSE));
  ToolRun two = RunTool(kPatchCheck, Quoted(package.dir) + L" --json");
  EXPECT_EQ(two.exitCode, 1u) << two.output;
  EXPECT_TRUE(Contains(two.output, "\"file\" : \"Patch.exe\"") &&
              Contains(two.output, "a second runner, Another.exe, in the package folder"))
      << two.output;
  // Scripts read the findings by their code and entry, not by their text.
  Json::Value found;
  ASSERT_TRUE(Json::Reader().parse(two.output, found)) << two.output;
  std::string codes;
  for (const Json::Value& finding : found["findings"])
    codes += finding["code"].asString() + "@" + std::to_string(finding["entry"].asUInt()) + " ";
  EXPECT_EQ(codes, "second-runner@0 dest-climbs-out@1 ") << two.output;
  DeleteFileW(package.exe.c_str());
  ToolRun renamed = RunTool(kPatchCheck, Quoted(package.dir));
  EXPECT_TRUE(Contains(renamed.output, "warning: the runner is Another.exe, not Patch.exe"))
      << renamed.output;

  // The tools share the runner's code, but none of them may look like a runner.
  DeleteFileW(another.c_str());
  for (const std::wstring& tool : {kPatchFlags, kPatchCheck, kPatchMake, kPatchUndo, kPatchLog}) {
    ASSERT_TRUE(CopyFileW(testsupport::BuiltFile(tool).c_str(),
                          (package.dir + L"\\" + tool).c_str(), FALSE));
    SealLocation seal;
    std::string error;
    EXPECT_FALSE(FindSealInFile(package.dir + L"\\" + tool, seal, error))
        << "a seal block in a tool";
  }
  ToolRun noRunner = RunTool(kPatchCheck, Quoted(package.dir));
  EXPECT_EQ(noRunner.exitCode, 1u);
  EXPECT_TRUE(Contains(noRunner.output, "no runner executable")) << noRunner.output;
  EXPECT_EQ(RunTool(kPatchCheck, L"--bogus").exitCode, 2u);
}

// The runner's seal as patchflags sets and clears it, and patchcheck's report of each state.
TEST_F(PatchCheck, ReportsTheSealThatPatchflagsSetsAndClears) {
  const testsupport::Package package = testsupport::MakePackage(temp_ / L"pkg");
  package.AddPatchFile(L"a.txt", "new a");
  const std::wstring conf = package.patchDir + L"\\conf.json";
  const std::wstring seal = Quoted(package.exe) + L" --seal " + Quoted(conf);
  const auto runner = [&] {
    const ToolRun check = RunTool(kPatchCheck, Quoted(package.dir) + L" --json");
    Json::Value report;
    EXPECT_TRUE(Json::Reader().parse(check.output, report)) << check.output;
    return report["runner"]["seal"].asString() +
           (report["runner"]["signed"].asBool() ? "," : ", not") + " signed, exit " +
           std::to_string(check.exitCode);
  };
  package.WriteConf(R"({"patch_list":[{"src":"a.txt","dest":"a.txt"}]})");
  const std::string unsealed = testsupport::ReadBytes(package.exe);
  const ToolRun refused = RunTool(kPatchFlags, seal);
  EXPECT_EQ(refused.exitCode, 1u) << refused.output;
  EXPECT_TRUE(Contains(refused.output, "entry 1 has no \"sha256\"")) << refused.output;
  EXPECT_TRUE(testsupport::ReadBytes(package.exe) == unsealed) << "a refused seal was written";
  EXPECT_EQ(runner(), "unsealed, not signed, exit 0");

  const std::string hashed = R"({"patch_list":[{"src":"a.txt","dest":"a.txt","sha256":")" +
                             testsupport::Sha256Of(package.patchDir + L"\\a.txt") + "\"}]}";
  package.WriteConf(hashed);
  const ToolRun sealed = RunTool(kPatchFlags, seal);
  EXPECT_TRUE(Contains(sealed.output, "Seal: sealed with sha256 " + testsupport::Sha256Of(conf)))
      << sealed.output;
  EXPECT_EQ(runner(), "matching, not signed, exit 0");
  package.WriteConf(hashed + " ");
  EXPECT_EQ(runner(), "not-matching, not signed, exit 1");
  EXPECT_EQ(RunTool(kPatchFlags, Quoted(package.exe) + L" --unseal").exitCode, 0u);
  EXPECT_TRUE(testsupport::ReadBytes(package.exe) == unsealed) << "--unseal left other bytes";
  EXPECT_EQ(RunTool(kPatchFlags, seal + L" --unseal").exitCode, 2u);
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
      {"src":"done.dll","dest":"done.dll"},
      {"src":"added.dll","dest":"twice.dll"}, {"src":"replaced.dll","dest":"twice.dll"},
      {"src":"done.dll","dest":"bin\\replaced.dll.220620.patch.bak"}]})");
  key_.SetString(kInstallDirValue, install);

  ToolRun check =
      RunTool(kPatchCheck, Quoted(package.dir) + L" --json --install-dir " + Quoted(install));
  EXPECT_EQ(check.exitCode, 1u) << "a missing patch file fails the check: " << check.output;
  Json::Value report;
  ASSERT_TRUE(Json::Reader().parse(check.output, report)) << check.output;
  const Json::Value& steps = report["dry_run"];
  ASSERT_EQ(steps.size(), 7u) << check.output;
  // A dest named twice and a dest that is an earlier entry's backup: each entry at its turn
  // moves aside what the earlier ones left there, and nothing is overwritten.
  const char* expected[] = {"move-then-copy", "copy",           "skip-missing-file",
                            "skip-backup-exists", "copy", "move-then-copy", "move-then-copy"};
  for (Json::ArrayIndex i = 0; i < 7; ++i)
    EXPECT_EQ(steps[i]["action"].asString(), expected[i]) << "entry " << i + 1;
  EXPECT_EQ(steps[0]["backup"].asString(),
            NarrowToUtf8(install) + "\\bin\\replaced.dll.220620.patch.bak");
  EXPECT_TRUE(steps[1]["backup"].isNull());
  const auto untouched = testsupport::SnapshotTree(install);

  // Nothing was changed by the check; now the runner does what it said.
  EXPECT_EQ(testsupport::SnapshotTree(install), untouched);
  EXPECT_EQ(testsupport::RunProgram(package.exe), 0u);
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\bin\\replaced.dll"), "new replaced");
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\bin\\added.dll"), "new added");
  EXPECT_FALSE(testsupport::Exists(install + L"\\bin\\added.dll.220620.patch.bak"));
  EXPECT_FALSE(testsupport::Exists(install + L"\\gone.dll"));
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\done.dll"), "patched before");
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\twice.dll"), "new replaced");
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\twice.dll" + kBak), "new added");
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\bin\\replaced.dll" + kBak), "new done");
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\bin\\replaced.dll" + kBak + kBak), "old replaced");
  const std::string lines = testsupport::Join(testsupport::ReadMessages());
  EXPECT_TRUE(Contains(lines, "[Common]Copy file successful, from[" +
                                  NarrowToUtf8(package.patchDir) + "\\added.dll] to[" +
                                  NarrowToUtf8(install) + "\\twice.dll]."))
      << "the first entry naming twice.dll is credited with its own patch file:\n" << lines;
  // Two destinations hold another run's file or none: the record does not say applied.
  const ToolRun verified =
      RunTool(kPatchCheck, Quoted(package.dir) + L" --verify --install-dir " + Quoted(install));
  EXPECT_TRUE(Contains(verified.output, "record: skipped")) << verified.output;

  // A second check over the patched installation predicts the runner's skips.
  package.WriteConf(R"({"patch_list":[{"src":"replaced.dll","dest":"bin\\replaced.dll"}]})");
  ToolRun again = RunTool(kPatchCheck, Quoted(package.dir) + L" --install-dir " + Quoted(install));
  EXPECT_EQ(again.exitCode, 0u) << again.output;
  EXPECT_TRUE(Contains(again.output, "its backup exists")) << again.output;

  // A difference: its base is checked and the decoded file's hash verified beforehand, and the
  // installed file is verified against the recorded hash, not the patch file's bytes.
  const std::string base = "the base, as installed", next = "the next version of it";
  testsupport::WriteBytes(temp_ / L"next.txt", next);
  package.AddPatchFile(L"d.dif", testsupport::DifferencePatch(base, next));
  testsupport::WriteBytes(install + L"\\d.txt", base);
  package.WriteConf(R"({"patch_list":[{"src":"d.dif","dest":"d.txt","encoding":"difference",)"
                    R"("sha256":")" + testsupport::Sha256Of(temp_ / L"next.txt") +
                    R"(","base_sha256":")" + testsupport::Sha256Of(install + L"\\d.txt") + "\"}]}");
  testsupport::WriteBytes(install + L"\\d.txt", "another base");
  const std::wstring dryRun = Quoted(package.dir) + L" --install-dir " + Quoted(install);
  const ToolRun otherBase = RunTool(kPatchCheck, dryRun);
  EXPECT_EQ(otherBase.exitCode, 1u) << otherBase.output;
  EXPECT_TRUE(Contains(otherBase.output, "not that of the base its difference was made from"))
      << otherBase.output;
  testsupport::WriteBytes(install + L"\\d.txt", base);
  const ToolRun decodes = RunTool(kPatchCheck, dryRun);
  EXPECT_EQ(decodes.exitCode, 0u) << decodes.output;
  EXPECT_TRUE(Contains(decodes.output, "d.dif (sha256 verified, a difference against " +
                                           NarrowToUtf8(install) + "\\d.txt)"))
      << decodes.output;
  EXPECT_EQ(testsupport::RunProgram(package.exe), 0u);
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\d.txt"), next);
  const ToolRun applied =
      RunTool(kPatchCheck, Quoted(package.dir) + L" --verify --install-dir " + Quoted(install));
  EXPECT_EQ(applied.exitCode, 0u) << applied.output;
}

// --- deployment: detection, undo, the last run ---------------------------------------------

class Deployment : public ToolTest {
 protected:
  void SetUp() override { key_.SetString(kInstallDirValue, install_); }
  void TearDown() override { testsupport::KillProcessesIn(install_); }
  std::wstring Inst(const std::wstring& relative) const { return install_ + L"\\" + relative; }
  std::vector<DWORD> Product() const { return testsupport::ProcessesRunning(Inst(kProduct)); }

  const std::wstring kProduct = L"PelliWareden.exe";
  testsupport::Package package_ = testsupport::MakePackage(temp_ / L"pkg");
  std::wstring install_ = temp_ / L"install";
};

TEST_F(Deployment, ApplyVerifyUndoAndVerifyAgain) {
  package_.AddPatchFile(L"core.dll", "new core");
  package_.AddPatchFile(L"added.txt", "added");
  // Installed read-only: an undo must still take it back.
  SetFileAttributesW((package_.patchDir + L"\\added.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  package_.WriteConf(R"({"patch_list":[{"src":"core.dll","dest":"bin\\core.dll"},
      {"src":"added.txt","dest":"added.txt"}, {"src":"core.dll","dest":"BIN\\core.dll"}]})");
  testsupport::WriteBytes(Inst(L"bin\\core.dll"), "new core");  // at the new version already
  testsupport::StandIn product(Inst(kProduct));
  const std::wstring verify = Quoted(package_.dir) + L" --verify";

  // No run applied it here: no undo may take anything away.
  const auto newer = testsupport::SnapshotTree(install_);
  const ToolRun noRecord = RunTool(kPatchUndo, Quoted(package_.dir) + L" --remove-added");
  EXPECT_EQ(noRecord.exitCode, 0u) << noRecord.output;
  EXPECT_TRUE(Contains(noRecord.output, "no run applied this package here")) << noRecord.output;
  EXPECT_EQ(testsupport::SnapshotTree(install_), newer) << "an undo without a record changed files";
  testsupport::WriteBytes(Inst(L"bin\\core.dll"), "old core");

  const ToolRun before = RunTool(kPatchCheck, verify);
  EXPECT_EQ(before.exitCode, 1u) << before.output;
  ASSERT_EQ(testsupport::RunProgram(package_.exe), 0u);
  // Run twice: the file the first run added is this package's, never its own backup.
  ASSERT_EQ(testsupport::RunProgram(package_.exe), 0u);
  EXPECT_FALSE(testsupport::Exists(Inst(L"added.txt") + kBak));
  const ToolRun third = RunTool(kPatchCheck, Quoted(package_.dir) + L" --install-dir " + Quoted(install_));
  EXPECT_TRUE(Contains(third.output, "holds the file a run of this package added")) << third.output;
  const ToolRun applied = RunTool(kPatchCheck, verify);
  EXPECT_EQ(applied.exitCode, 0u) << applied.output;
  for (const std::string& expected :
       {"install folder from InstallDir: " + NarrowToUtf8(install_), std::string("record: applied")})
    EXPECT_TRUE(Contains(applied.output, expected)) << expected << " in:\n" << applied.output;
  const ToolRun log = RunTool(kPatchLog, L"");
  EXPECT_EQ(log.exitCode, 0u) << log.output;
  EXPECT_TRUE(Contains(log.output, "the last run succeeded (the run's record)")) << log.output;

  const auto patched = testsupport::SnapshotTree(install_);
  const std::vector<DWORD> restarted = Product();
  ASSERT_EQ(restarted.size(), 1u) << "the run started the product again";
  {
    // Under a records key anyone may write to (no DACL), a record may be forged: none is believed.
    SECURITY_DESCRIPTOR open = {};
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION) &&
                SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    RegistryKey records;
    ASSERT_EQ(records.Open(kRecordsKey, WRITE_DAC), ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeySecurity(records.Get(), DACL_SECURITY_INFORMATION, &open), ERROR_SUCCESS);
    const char notBelieved[] =
        "Patches: an account that is not trusted may write to it: its "
        "record is not believed";
    const ToolRun refused = RunTool(kPatchUndo, Quoted(package_.dir));
    EXPECT_EQ(refused.exitCode, 1u) << refused.output;
    EXPECT_TRUE(Contains(refused.output, notBelieved)) << refused.output;
    EXPECT_EQ(testsupport::SnapshotTree(install_), patched) << "undone on a record not believed";
    EXPECT_TRUE(Contains(RunTool(kPatchCheck, verify).output, notBelieved));
    EXPECT_TRUE(Contains(RunTool(kPatchLog, L"").output, notBelieved));
    RecordsKeyDescriptor runners;
    ASSERT_EQ(RegSetKeySecurity(records.Get(), DACL_SECURITY_INFORMATION, runners.Get()), 0);
  }
  const ToolRun dry = RunTool(kPatchUndo, Quoted(package_.dir) + L" --dry-run");
  EXPECT_EQ(dry.exitCode, 0u) << dry.output;
  EXPECT_EQ(testsupport::SnapshotTree(install_), patched) << "a dry run changed files";
  EXPECT_EQ(Product(), restarted) << "a dry run stopped the product";

  const ToolRun undo = RunTool(kPatchUndo, Quoted(package_.dir) + L" --json");
  EXPECT_EQ(undo.exitCode, 0u) << undo.output;
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"bin\\core.dll")), "old core");
  EXPECT_FALSE(testsupport::Exists(Inst(L"bin\\core.dll") + kBak));
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"added.txt")), "added") << "kept without --remove-added";
  Json::Value report;
  ASSERT_TRUE(Json::Reader().parse(undo.output, report)) << undo.output;
  std::string actions;  // last entry first; the repeated destination was the first entry's
  for (const Json::Value& entry : report["entries"]) actions += entry["action"].asString() + " ";
  EXPECT_EQ(actions, "nothing keep-added restore ");
  const std::vector<DWORD> again = Product();
  EXPECT_EQ(again.size(), 1u) << "the product is started again after the undo";
  EXPECT_NE(again, restarted) << "the product was not stopped for the undo";

  EXPECT_EQ(RunTool(kPatchCheck, verify).exitCode, 1u);
  const auto undone = testsupport::SnapshotTree(install_);
  const ToolRun twice = RunTool(kPatchUndo, Quoted(package_.dir));
  EXPECT_EQ(twice.exitCode, 0u) << twice.output;
  EXPECT_EQ(testsupport::SnapshotTree(install_), undone) << "a second undo changed files";
  EXPECT_EQ(Product(), again) << "a second undo stopped the product";
  const ToolRun removed = RunTool(kPatchUndo, Quoted(package_.dir) + L" --remove-added");
  EXPECT_EQ(removed.exitCode, 0u) << removed.output;
  EXPECT_FALSE(testsupport::Exists(Inst(L"added.txt")));
  EXPECT_TRUE(Contains(RunTool(kPatchCheck, verify).output, "record: undone")) << "kept for audit";

  // Patch files missing: what a package installs is told by its recorded hash, or not at all.
  package_.WriteConf(R"({"patch_list":[{"src":"gone.dll","dest":"bin\\core.dll","sha256":")" +
                     testsupport::Sha256Of(Inst(L"bin\\core.dll")) + R"("}]})");
  EXPECT_EQ(RunTool(kPatchCheck, verify).exitCode, 0u) << "the hash names the file it holds";
  package_.WriteConf(R"({"patch_list":[{"src":"gone.dll","dest":"bin\\core.dll"}]})");
  const ToolRun cannotTell = RunTool(kPatchCheck, verify);
  EXPECT_EQ(cannotTell.exitCode, 1u) << cannotTell.output;
  EXPECT_TRUE(Contains(cannotTell.output, "cannot tell")) << cannotTell.output;
}

// Packages a deployment system installs together each get their own run's verdict; a run that
// the lock keeps out, and an uninstall, are told to retry later, and nothing is touched.
TEST_F(Deployment, InstalledTogetherEachGetsItsOwnVerdictAndAHeldLockSaysRetry) {
  const testsupport::Package second = testsupport::MakePackage(temp_ / L"second");
  for (const std::wstring& dir : {package_.dir, second.dir}) {
    ASSERT_TRUE(CopyFileW(testsupport::BuiltFile(L"patchdeploy.exe").c_str(),
                          (dir + L"\\patchdeploy.exe").c_str(), FALSE));
  }
  package_.AddPatchFile(L"a.dll", "a 2");
  package_.WriteConf(R"({"patch_list":[{"src":"a.dll","dest":"a.dll"}]})");
  second.AddPatchFile(L"b.dll", "b 2, not what conf.json records");
  second.WriteConf(R"({"patch_list":[{"src":"b.dll","dest":"b.dll","sha256":")" +
                   std::string(64, '0') + R"("}]})");
  testsupport::MakeFolders(install_);
  const auto start = [&](const testsupport::Package& package, const wchar_t* command) {
    return testsupport::StartProgram(package.dir + L"\\patchdeploy.exe", command,
                                     package.dir + L".out");
  };
  const auto exitCode = [](const ProcessHandles& run, const testsupport::Package& package) {
    DWORD code = testsupport::kNoExitCode;
    EXPECT_EQ(WaitForSingleObject(run.process.Get(), 120000), WAIT_OBJECT_0);
    GetExitCodeProcess(run.process.Get(), &code);
    return std::to_string(code) + " " + testsupport::ReadBytes(package.dir + L".out");
  };
  {
    const ProcessHandles first = start(package_, L"install");
    const ProcessHandles other = start(second, L"install");
    EXPECT_TRUE(Contains(exitCode(first, package_), "0 applied: record")) << exitCode(first, package_);
    EXPECT_TRUE(Contains(exitCode(other, second), "1603 failed: the run stopped"))
        << exitCode(other, second);
  }
  {
    const RunLock held(0);
    ASSERT_EQ(held.GetState(), RunLock::State::kHeld);
    const ProcessHandles install = start(second, L"install");
    const ProcessHandles uninstall = start(package_, L"uninstall");
    EXPECT_TRUE(Contains(exitCode(install, second), "1618 retry later")) << exitCode(install, second);
    const std::string undo = exitCode(uninstall, package_);
    EXPECT_TRUE(undo.rfind("1618 ", 0) == 0 && Contains(undo, "retry later")) << undo;
  }
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"a.dll")), "a 2") << "an uninstall kept out changed it";
  EXPECT_FALSE(testsupport::Exists(Inst(L"b.dll")));
  const ToolRun removed = Deploy(package_.dir + L"\\patchdeploy.exe", L"uninstall");
  EXPECT_EQ(removed.exitCode, 0u) << removed.output;
  EXPECT_FALSE(testsupport::Exists(Inst(L"a.dll")));
}

// A second package that met the first one's backup skipped that file: undoing the second takes
// back only what the second did.
TEST_F(Deployment, UndoingTheSecondPackageLeavesTheFirstOnesFilesAlone) {
  const testsupport::Package second = testsupport::MakePackage(temp_ / L"second");
  package_.AddPatchFile(L"core.dll", "core 2");
  package_.WriteConf(R"({"patch_list":[{"src":"core.dll","dest":"core.dll"}]})");
  second.AddPatchFile(L"core.dll", "core 3");
  second.AddPatchFile(L"other.dll", "other 3");
  second.WriteConf(R"({"patch_list":[{"src":"core.dll","dest":"core.dll"},
                                     {"src":"other.dll","dest":"other.dll"}]})");
  testsupport::WriteBytes(Inst(L"core.dll"), "core 1");
  testsupport::WriteBytes(Inst(L"other.dll"), "other 1");
  ASSERT_EQ(testsupport::RunProgram(package_.exe), 0u);
  ASSERT_EQ(testsupport::RunProgram(second.exe), 0u);
  const ToolRun undo = RunTool(kPatchUndo, Quoted(second.dir));
  EXPECT_EQ(undo.exitCode, 0u) << undo.output;
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"other.dll")), "other 1");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"core.dll")), "core 2") << "the first package's file";
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"core.dll") + kBak), "core 1");

  // What changed since the run is left as it is, with its reason, and the exit code says so.
  testsupport::WriteBytes(Inst(L"core.dll"), "core 4, installed from newer media");
  const ToolRun changed = RunTool(kPatchUndo, Quoted(package_.dir));
  EXPECT_EQ(changed.exitCode, 1u) << changed.output;
  EXPECT_TRUE(Contains(changed.output, "holds a file the run did not install")) << changed.output;
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"core.dll")), "core 4, installed from newer media");
}

// Hotfix 2 ships the same conf.json text as hotfix 1 with another x.dll: it is another
// package, with a record of its own, and each undo takes back only what its own run did.
TEST_F(Deployment, PackagesWithTheSameConfTextTakeBackOnlyTheirOwnFiles) {
  const testsupport::Package second = testsupport::MakePackage(temp_ / L"second");
  const std::string conf = R"({"patch_list":[{"src":"x.dll","dest":"x.dll"}]})";
  package_.AddPatchFile(L"x.dll", "x 1");
  package_.WriteConf(conf);
  second.AddPatchFile(L"x.dll", "x 2");
  second.WriteConf(conf);
  const std::wstring removeSecond = Quoted(second.dir) + L" --remove-added";
  testsupport::MakeFolders(install_);
  ASSERT_EQ(testsupport::RunProgram(package_.exe), 0u);

  const ToolRun never = RunTool(kPatchUndo, removeSecond);
  EXPECT_TRUE(Contains(never.output, "no run applied this package here")) << never.output;
  EXPECT_EQ(RunTool(kPatchCheck, Quoted(second.dir) + L" --verify").exitCode, 1u);
  ASSERT_EQ(testsupport::RunProgram(second.exe), 0u);
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"x.dll") + kBak), "x 1")
      << "moved aside, not removed:\n" << testsupport::Join(testsupport::ReadMessages());

  // The first run's file now lies in the backup the second run made: it is not the first's to
  // remove, nor the installed file the second put there.
  const ToolRun first = RunTool(kPatchUndo, Quoted(package_.dir) + L" --remove-added");
  EXPECT_EQ(first.exitCode, 1u) << first.output;
  EXPECT_TRUE(Contains(first.output, "moved aside by a later run")) << first.output;
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"x.dll")), "x 2");
  EXPECT_EQ(RunTool(kPatchUndo, removeSecond).exitCode, 0u);
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"x.dll")), "x 1") << "the second undo puts back the first";
  EXPECT_EQ(RunTool(kPatchUndo, Quoted(package_.dir) + L" --remove-added").exitCode, 0u);
  EXPECT_FALSE(testsupport::Exists(Inst(L"x.dll")));
}

// A file that appears at a new destination while the copies are staged (the product writes it)
// is moved aside at the entry's turn like any original, and the undo puts it back.
TEST_F(Deployment, AFileThatAppearsWhileTheCopiesAreStagedIsKept) {
  package_.AddPatchFile(L"big.bin", std::string(48 << 20, 'b'));
  package_.AddPatchFile(L"new.cfg", "package cfg");
  package_.WriteConf(R"({"patch_list":[{"src":"big.bin","dest":"big.bin"},
                                       {"src":"new.cfg","dest":"new.cfg"}]})");
  testsupport::MakeFolders(install_);
  const ProcessHandles run = testsupport::StartProgram(package_.exe);
  for (int i = 0; i < 5000 && !testsupport::Exists(Inst(L"big.bin.220620.patch.part")); ++i)
    Sleep(1);
  testsupport::WriteBytes(Inst(L"new.cfg"), "the product's own cfg");
  ASSERT_EQ(WaitForSingleObject(run.process.Get(), 60000), WAIT_OBJECT_0);

  EXPECT_EQ(testsupport::ReadBytes(Inst(L"new.cfg")), "package cfg")
      << testsupport::Join(testsupport::ReadMessages());
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"new.cfg") + kBak), "the product's own cfg");
  const ToolRun undo = RunTool(kPatchUndo, Quoted(package_.dir) + L" --remove-added");
  EXPECT_EQ(undo.exitCode, 0u) << undo.output;
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"new.cfg")), "the product's own cfg");
  EXPECT_FALSE(testsupport::Exists(Inst(L"big.bin")));
}

// A run cut off in its commit, and an undo cut off on its way, leave records that the next undo
// reads by what was done: a planned copy the run never reached is not the run's, and what a
// cut-off undo already put back counts as taken back. Without a record, an undo still removes
// the partial copies a run cut off in its staging left.
TEST_F(Deployment, TheNextUndoFinishesACutOffRunAndACutOffUndo) {
  package_.AddPatchFile(L"a.txt", "new a");
  package_.AddPatchFile(L"b.txt", "new b");
  package_.AddPatchFile(L"c.txt", "new c");
  package_.WriteConf(R"({"patch_list":[{"src":"a.txt","dest":"a.txt"},
      {"src":"b.txt","dest":"b.txt"}, {"src":"c.txt","dest":"c.txt"}]})");
  testsupport::WriteBytes(Inst(L"c.txt.220620.patch.part"), "new c");
  const ToolRun leftover = RunTool(kPatchUndo, Quoted(package_.dir));
  EXPECT_TRUE(Contains(leftover.output, "removed 1 partial copies")) << leftover.output;
  EXPECT_FALSE(testsupport::Exists(Inst(L"c.txt.220620.patch.part")));

  // a.txt: put back by the undo that was cut off; b.txt: replaced by the cut-off run;
  // c.txt: never reached, and another installer's file is there now.
  testsupport::WriteBytes(Inst(L"a.txt"), "old a");
  testsupport::WriteBytes(Inst(L"b.txt"), "new b");
  testsupport::WriteBytes(Inst(L"b.txt") + kBak, "old b");
  testsupport::WriteBytes(Inst(L"c.txt"), "new c");
  PatchList entries;
  std::string error, id;
  ASSERT_TRUE(ReadPackageEntries(package_.dir, entries, error, &id)) << error;
  const auto planned = [&](RecordedAction action, const wchar_t* name) {
    return RecordedEntry{action, Sha256Of(testsupport::Sha256Of(package_.patchDir + L"\\" + name))};
  };
  RunRecord cutOff;
  cutOff.packageDir = package_.dir;
  cutOff.installDir = install_;
  cutOff.started = RecordTimeNow();
  cutOff.reached = 2;
  cutOff.entries = {planned(RecordedAction::kMovedThenCopied, L"a.txt"),
                    planned(RecordedAction::kPlannedMoveThenCopy, L"b.txt"),
                    planned(RecordedAction::kPlannedCopy, L"c.txt")};
  ASSERT_EQ(WriteRunRecord(id, cutOff), ERROR_SUCCESS);

  const ToolRun undo = RunTool(kPatchUndo, Quoted(package_.dir) + L" --remove-added --json");
  EXPECT_EQ(undo.exitCode, 0u) << undo.output;
  Json::Value report;
  ASSERT_TRUE(Json::Reader().parse(undo.output, report)) << undo.output;
  std::string actions;
  for (const Json::Value& entry : report["entries"]) actions += entry["action"].asString() + " ";
  EXPECT_EQ(actions, "nothing restore gone ");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"a.txt")), "old a");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"b.txt")), "old b");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"c.txt")), "new c") << "not the cut-off run's file";
  EXPECT_TRUE(Contains(RunTool(kPatchCheck, Quoted(package_.dir) + L" --verify").output,
                       "record: undone"));
}

TEST_F(Deployment, ABackupThatCannotGoBackKeepsBothFilesAndTheUndoGoesOn) {
  package_.AddPatchFile(L"a.txt", "new a");
  package_.AddPatchFile(L"b.txt", "new b");
  package_.WriteConf(R"({"patch_list":[{"src":"a.txt","dest":"a.txt"},
                                       {"src":"b.txt","dest":"b.txt"}]})");
  testsupport::WriteBytes(Inst(L"a.txt"), "old a");
  testsupport::WriteBytes(Inst(L"b.txt"), "old b");
  ASSERT_EQ(testsupport::RunProgram(package_.exe), 0u);
  {
    const KernelHandle held = testsupport::HoldOpen(Inst(L"b.txt"), FILE_SHARE_READ);
    const ToolRun undo = RunTool(kPatchUndo, Quoted(package_.dir));
    EXPECT_EQ(undo.exitCode, 1u) << undo.output;
    EXPECT_TRUE(Contains(undo.output, "could not put back " + NarrowToUtf8(Inst(L"b.txt"))))
        << undo.output;
    EXPECT_FALSE(Contains(undo.output, "(error 0)")) << "no platform error code: " << undo.output;
  }
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"b.txt")), "new b");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"b.txt") + kBak), "old b");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"a.txt")), "old a") << "the next entry is still put back";
}

class PatchLog : public Deployment {};

TEST_F(PatchLog, NoLogAFailedRunAndARunKilledBeforeItsEnd) {
  testsupport::HookFixture hook;
  const std::wstring quiet = temp_ / L"quiet\\Patch.exe";
  testsupport::MakeFolders(temp_ / L"quiet");
  ASSERT_EQ(
      RunTool(kPatchFlags, Quoted(package_.exe) + L" --magic-debug=0 --output " + Quoted(quiet))
          .exitCode,
      0u);
  const ToolRun none = RunTool(kPatchLog, L"--exe " + Quoted(quiet));
  EXPECT_EQ(none.exitCode, 4u) << none.output;
  for (const char* expected : {"so a run of it writes no log", "hook library: absent"})
    EXPECT_TRUE(Contains(none.output, expected)) << expected << " in:\n" << none.output;

  // A dest that tries to write a success and an END of its own into the log.
  hook.Install();
  package_.AddPatchFile(L"a.txt", "new a");
  package_.WriteConf(R"({"patch_list":[{"src":"a.txt","dest":"a\n03-07 14:05:09:083: )"
                     R"([Common]Patch successful.\n03-07 14:05:09:084: )" +
                     testsupport::Banner(kEndBanner) + R"("}]})");
  ASSERT_EQ(testsupport::RunProgram(package_.exe), 0u);
  const ToolRun failed = RunTool(kPatchLog, L"");
  EXPECT_EQ(failed.exitCode, 1u) << failed.output;
  for (const char* expected : {"[Error]Start Patch failed.", "holds a control character",
                               "\\x0a03-07", "result: the last run failed (the run's record)",
                               "hook library: installed"})
    EXPECT_TRUE(Contains(failed.output, expected)) << expected << " in:\n" << failed.output;

  // Killed while it waits for the product it started again: the log has no END.
  package_.AddPatchFile(L"a.txt", "new a");
  package_.WriteConf(R"({"patch_list":[{"src":"a.txt","dest":"a.txt"}]})");
  testsupport::StandIn product(Inst(kProduct));
  const ProcessHandles run = testsupport::StartProgram(package_.exe);
  for (int i = 0; i < 3000 && testsupport::CountContaining(testsupport::ReadMessages(),
                                                           "[Common]Copy file successful") == 0;
       ++i) {
    Sleep(10);
  }
  ASSERT_TRUE(TerminateProcess(run.process.Get(), 1));
  WaitForSingleObject(run.process.Get(), INFINITE);
  const ToolRun killed = RunTool(kPatchLog, L"--json");
  EXPECT_EQ(killed.exitCode, 3u) << killed.output << testsupport::Join(testsupport::ReadMessages());
  Json::Value report;
  ASSERT_TRUE(Json::Reader().parse(killed.output, report)) << killed.output;
  EXPECT_EQ(report["verdict"].asString(), "incomplete");
  EXPECT_EQ(report["record"]["state"].asString(), "applying") << "the run was cut off";
  EXPECT_TRUE(report["end"].isNull());
}

// Logs written as the runner writes them, for what a short run cannot show: a rotation in the
// middle of a run, a line still being written, a run in its own file while the log was held.
TEST_F(PatchLog, ReadsARunAcrossFilesAndLeavesOutALineNotYetWritten) {
  const auto line = [](const std::string& message) { return "03-07 14:05:09:083: " + message; };
  const std::string begin = line(testsupport::Banner(kBeginBanner)) + "\n";
  const std::string end = line(testsupport::Banner(kEndBanner)) + "\n";
  const std::string ok = line("[Common]Patch successful.\n");
  const std::string error = line("[Error]Start Patch failed.\n");
  const std::wstring log = temp_ / L"patch_patch.log";
  const struct {
    std::string old, current, held;  // ".old", the log, a file written after it beside it
    DWORD exitCode;
    const char* expected;
    const wchar_t* heldName = L".run-20300101T000000-7";  // as a run that found the log held
  } cases[] = {
      {begin + line("[Error]Patch file[x] is not exist.\n"), line(kNewFileBanner) + "\n" + ok + end,
       "", 0, "skipping 1 "},
      {begin + error, line(kNewFileBanner) + "\n" + end, "", 1, "Start Patch failed."},
      {"", begin + ok + line(testsupport::Banner(kEndBanner)), "", 3, "end: none"},
      {"", begin + ok + end, begin + error + end, 1, ".run-20300101T000000-7"},
      // Planted by anyone who may create files in the log's folder: not read.
      {"", begin + error + end, begin + ok + end, 1, ".run-forged: not a name the runner makes",
       L".run-forged"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.current);
    for (const auto& file : testsupport::FindEntries(log + L"*"))
      DeleteFileW((temp_ / file.cFileName).c_str());
    if (!c.old.empty()) testsupport::WriteBytes(log + L".old", c.old);
    testsupport::WriteBytes(log, c.current);
    if (!c.held.empty()) {
      const std::wstring held = log + c.heldName;
      testsupport::WriteBytes(held, c.held);
      const KernelHandle file(
          CreateFileW(held.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      ULARGE_INTEGER later;
      GetSystemTimeAsFileTime(reinterpret_cast<FILETIME*>(&later));
      later.QuadPart += 36000000000ull;  // an hour after the log
      const FILETIME written = {later.LowPart, later.HighPart};
      ASSERT_TRUE(SetFileTime(file.Get(), nullptr, nullptr, &written));
    }
    const ToolRun run = RunTool(kPatchLog, L"--file " + Quoted(log));
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    EXPECT_TRUE(Contains(run.output, c.expected)) << c.expected << " in:\n" << run.output;
  }
}

// --- patchmake -----------------------------------------------------------------------------

// Runner backups aside, the installation must end up as the new tree.
std::map<std::wstring, std::string> WithoutBackups(std::map<std::wstring, std::string> tree) {
  for (auto file = tree.begin(); file != tree.end();) {
    const bool backup =
        file->first.size() > kBak.size() &&
        file->first.compare(file->first.size() - kBak.size(), kBak.size(), kBak) == 0;
    file = backup ? tree.erase(file) : std::next(file);
  }
  return tree;
}

// Bytes that do not compress, as code mostly does not.
std::string Noise(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<char>(seed >> 24);
  }
  return bytes;
}

// A later build of `bytes`: some bytes changed, a stretch inserted.
std::string Rebuilt(std::string bytes) {
  for (size_t i = 0; i < bytes.size(); i += 4099) bytes[i] = static_cast<char>(bytes[i] + 1);
  return bytes.insert(bytes.size() / 2, Noise(2000, 5));
}

TEST_F(PatchMake, BuildsAPackageThatTurnsTheOldTreeIntoTheNew) {
  const std::wstring oldDir = temp_ / L"old", newDir = temp_ / L"new", install = temp_ / L"inst";
  const std::wstring added = L"read me \u00E9.txt";
  const std::string engine = Noise(300000, 1), library = Noise(200000, 2);
  for (const std::wstring& root : {oldDir, install}) {
    testsupport::WriteBytes(root + L"\\bin\\engine.dll", engine);
    testsupport::WriteBytes(root + L"\\same.txt", "unchanged");
    testsupport::WriteBytes(root + L"\\bin\\core.dll", "core 1.0");
    testsupport::WriteBytes(root + L"\\bin\\grown.dll", "small");
    testsupport::WriteBytes(root + L"\\trace.log", "old log");
    testsupport::WriteBytes(root + L"\\gone.txt", "removed in 1.1");
    testsupport::WriteBytes(root + L"\\lib-1.0.dll", library);
  }
  testsupport::WriteBytes(newDir + L"\\bin\\engine.dll", Rebuilt(engine));
  testsupport::WriteBytes(newDir + L"\\lib-1.1.dll", Rebuilt(library));
  std::string manual;
  for (int line = 0; manual.size() < 100000; ++line)
    manual += "Step " + std::to_string(line) + ": read the manual.\r\n";
  testsupport::WriteBytes(newDir + L"\\manual.txt", manual);
  testsupport::WriteBytes(newDir + L"\\lang\\fr\\texts.txt", "two new folders deep");
  testsupport::WriteBytes(newDir + L"\\same.txt", "unchanged");
  testsupport::WriteBytes(newDir + L"\\bin\\core.dll", "core 1.1");  // the same size
  testsupport::WriteBytes(newDir + L"\\bin\\grown.dll", "larger now");
  testsupport::WriteBytes(newDir + L"\\" + added, "added");
  testsupport::WriteBytes(newDir + L"\\trace.log", "new log, excluded");
  testsupport::WriteBytes(newDir + L"\\bin\\core.dll.220620.patch.bak", "a backup, skipped");
  // A product file named as the package's own conf.json.
  testsupport::WriteBytes(newDir + L"\\conf.json", "{\"product\": 1}");
  const std::wstring package = temp_ / L"pkg", trees = Quoted(oldDir) + L" " + Quoted(newDir);

  ToolRun made = RunTool(kPatchMake, trees + L" " + Quoted(package) +
                                          L" --exclude *.LOG --name \"Wareden 1.1 hotfix\" --version 1.1.0");
  ASSERT_EQ(made.exitCode, 0u) << made.output;
  EXPECT_TRUE(Contains(made.output, "12 entries, ")) << made.output;
  EXPECT_TRUE(Contains(made.output, " bytes, 2 skipped, 0 errors")) << made.output;
  EXPECT_TRUE(Contains(made.output, "entry lib-1.1.dll: difference from lib-1.0.dll, "))
      << made.output;
  EXPECT_TRUE(Contains(made.output, "entry bin\\core.dll: whole, 8 bytes of 8")) << made.output;
  EXPECT_TRUE(Contains(made.output, "result: a run makes an installation equal to")) << made.output;
  EXPECT_TRUE(Contains(made.output, "runner Patch.exe: sealed, conf.json matches")) << made.output;
  PatchList entries;
  ASSERT_EQ(ParseConfText(testsupport::ReadBytes(package + L"\\patchfile\\conf.json"), entries),
            ConfTextResult::kOk);
  std::vector<std::string> dests;
  std::map<std::string, Encoding> encodings;
  std::map<std::string, std::string> bases;
  uint64_t bytes = 0;
  for (const PatchEntry& entry : entries) {
    if (entry.kind == EntryKind::kCopy) {
      encodings[entry.dest] = entry.encoding;
      bases[entry.dest] = entry.base;
      bytes += testsupport::ReadBytes(package + L"\\patchfile\\" + WidenUtf8(entry.src)).size();
    }
    dests.push_back((entry.kind == EntryKind::kRemove   ? "-"
                     : entry.kind == EntryKind::kFolder ? "+"
                                                        : "") +
                    entry.dest);
    if (entry.kind != EntryKind::kCopy) continue;
    EXPECT_EQ(entry.src, "files\\" + entry.dest);
    EXPECT_FALSE(entry.sha256.empty()) << "no sha256 for " << entry.dest;
  }
  EXPECT_EQ(dests, (std::vector<std::string>{"bin\\core.dll", "bin\\engine.dll",
                                             "bin\\grown.dll", "conf.json",
                                             "-gone.txt", "+lang", "+lang\\fr",
                                             "lang\\fr\\texts.txt", "lib-1.1.dll", "-lib-1.0.dll",
                                             "manual.txt", NarrowToUtf8(added)}))
      << "changed, added and removed files and new folders in file-name order, nothing else, "
         "a renamed file's removal after the file that may be made from it";
  EXPECT_EQ(encodings["bin\\engine.dll"], Encoding::kDifference);
  EXPECT_EQ(encodings["lib-1.1.dll"], Encoding::kDifference);
  EXPECT_EQ(bases["lib-1.1.dll"], "lib-1.0.dll");
  EXPECT_EQ(bases["bin\\engine.dll"], "") << "its base is its own dest";
  EXPECT_EQ(encodings["manual.txt"], Encoding::kCompressed);
  EXPECT_EQ(encodings["bin\\grown.dll"], Encoding::kWhole);
  EXPECT_LT(bytes, (engine.size() + library.size() + manual.size()) / 10)
      << "the package is not a tenth of the new files";

  key_.SetString(kInstallDirValue, install);
  const std::wstring deploy = package + L"\\patchdeploy.exe";
  EXPECT_EQ(Deploy(deploy, L"detect").output, "") << "detected before any run";
  const ToolRun installed = Deploy(deploy, L"install");
  EXPECT_EQ(installed.exitCode, 0u) << installed.output;
  EXPECT_TRUE(Contains(installed.output, "applied: record HKLM\\SOFTWARE\\Norvale\\Wareden\\Patches\\"))
      << installed.output;
  auto expected = WithoutBackups(testsupport::SnapshotTree(newDir));
  expected[L"trace.log"] = "old log";  // excluded: the installation keeps its own
  EXPECT_EQ(WithoutBackups(testsupport::SnapshotTree(install)), expected);
  const ToolRun verified = RunTool(kPatchCheck, Quoted(package) + L" --verify");
  EXPECT_EQ(verified.exitCode, 0u) << verified.output;
  const std::vector<std::string> ids = ListRunRecords();
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_TRUE(Contains(Deploy(deploy, L"detect").output, "applied: package " + ids[0]));
  const std::wstring updateKey = std::wstring(kUninstallKey) + L"\\" + UpdateKeyName(ids[0]);
  const std::wstring kept = KeptPackageFolder(ids[0]) + L"\\patchdeploy.exe";
  RegistryKey update;
  ASSERT_EQ(update.Open(updateKey.c_str()), ERROR_SUCCESS) << "not among the installed updates";
  for (const auto& value : std::map<std::wstring, std::wstring>{
           {L"DisplayName", L"Wareden 1.1 hotfix"}, {L"DisplayVersion", L"1.1.0"},
           {L"ParentKeyName", L"Wareden"}, {L"QuietUninstallString", Quoted(kept) + L" uninstall"}}) {
    std::wstring text;
    EXPECT_EQ(update.ReadString(value.first.c_str(), text), ERROR_SUCCESS);
    EXPECT_EQ(text, value.second) << NarrowToUtf8(value.first);
  }
  update.Close();
  testsupport::ClearLog();
  const ToolRun again = Deploy(deploy, L"install");
  EXPECT_EQ(again.exitCode, 0u) << "evaluated again: " << again.output
                                 << testsupport::Join(testsupport::ReadMessages());
  EXPECT_TRUE(Contains(testsupport::Join(testsupport::ReadMessages()), "[Common]Nothing to change"));

  // Deployment systems clean their caches: the kept copy detects and uninstalls without them.
  const std::wstring moved = package + L" moved";
  ASSERT_TRUE(MoveFileW(package.c_str(), moved.c_str()));
  EXPECT_TRUE(Contains(Deploy(kept, L"detect").output, "applied: package " + ids[0]));
  const ToolRun undo = Deploy(kept, L"uninstall");
  EXPECT_EQ(undo.exitCode, 0u) << undo.output;
  EXPECT_EQ(testsupport::SnapshotTree(install), testsupport::SnapshotTree(oldDir)) << undo.output;
  EXPECT_FALSE(testsupport::Exists(install + L"\\lang")) << "the folders the run made stay: "
                                                          << undo.output;
  const ToolRun after = Deploy(kept, L"detect");
  EXPECT_EQ(after.exitCode, 0u);
  EXPECT_EQ(after.output, "") << "detected after the uninstall";
  EXPECT_EQ(update.Open(updateKey.c_str()), ERROR_FILE_NOT_FOUND) << "still an installed update";

  // Killed at spread-out moments of the commit, each while it retries a file held open at its
  // turn: every file is old, new, or gone with its backup there, and the next run completes.
  const std::map<std::wstring, std::string> oldTree = testsupport::SnapshotTree(oldDir);
  const std::map<std::wstring, std::string>& newTree = expected;
  for (const wchar_t* held : {L"bin\\core.dll", L"bin\\grown.dll", L"gone.txt", L"lib-1.0.dll"}) {
    testsupport::ClearLog();
    const std::wstring heldPath = install + L"\\" + held;
    auto holder = std::make_unique<testsupport::StandIn>(
        temp_ / L"holder\\holder.exe", L"--hold \"" + heldPath + L"\" 60000");
    const DWORD any = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    for (int i = 0; i < 200 && KernelHandle(CreateFileW(heldPath.c_str(), DELETE, any, nullptr,
                                                         OPEN_EXISTING, 0, nullptr))
                                   .IsValid();
         ++i) {
      Sleep(10);  // until the holder has it
    }
    const ProcessHandles run = testsupport::StartProgram(moved + L"\\Patch.exe");
    for (int i = 0; i < 3000 && testsupport::CountContaining(testsupport::ReadMessages(),
                                                             "[Common]Enter.") == 0;
         ++i) {
      Sleep(1);
    }
    Sleep(300);  // within the ten tries, 100 ms apart, at the held file's turn
    TerminateProcess(run.process.Get(), 1);
    WaitForSingleObject(run.process.Get(), 60000);
    holder.reset();
    const auto now = testsupport::SnapshotTree(install);
    for (const auto* tree : {&oldTree, &newTree}) {
      for (const auto& file : *tree) {
        const auto at = now.find(file.first);
        const auto in = [&](const std::map<std::wstring, std::string>& side) {
          const auto found = side.find(file.first);
          return at == now.end() ? found == side.end()
                                 : found != side.end() && found->second == at->second;
        };
        EXPECT_TRUE(in(oldTree) || in(newTree) || (at == now.end() && now.count(file.first + kBak)))
            << NarrowToUtf8(file.first) << " after a kill at " << NarrowToUtf8(held);
      }
    }
    EXPECT_EQ(testsupport::RunProgram(moved + L"\\Patch.exe"), 0u);
    EXPECT_EQ(WithoutBackups(testsupport::SnapshotTree(install)), expected) << NarrowToUtf8(held);
    EXPECT_EQ(RunTool(kPatchUndo, Quoted(moved) + L" --remove-added").exitCode, 0u);
  }

  // --whole: nothing made from the installed files, applied to an installation of others.
  const std::wstring whole = temp_ / L"whole";
  made = RunTool(kPatchMake, trees + L" " + Quoted(whole) + L" --exclude *.LOG --whole");
  ASSERT_EQ(made.exitCode, 0u) << made.output;
  EXPECT_TRUE(Contains(made.output, "entry bin\\engine.dll: whole, ")) << made.output;
  EXPECT_TRUE(Contains(made.output, "entry manual.txt: compressed, ")) << made.output;
  testsupport::WriteBytes(install + L"\\bin\\engine.dll", "another build");
  EXPECT_EQ(testsupport::RunProgram(whole + L"\\Patch.exe"), 0u);
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\bin\\engine.dll"), Rebuilt(engine));
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\lib-1.1.dll"), Rebuilt(library));

  // Refused, nothing written: OUT_DIR not empty; a file that cannot be read half-way through.
  const auto written = testsupport::SnapshotTree(moved);
  EXPECT_EQ(RunTool(kPatchMake, trees + L" " + Quoted(moved)).exitCode, 2u);
  EXPECT_EQ(testsupport::SnapshotTree(moved), written) << "an existing package was changed";
  {
    const KernelHandle held = testsupport::HoldOpen(newDir + L"\\" + added, 0);
    ToolRun failed = RunTool(kPatchMake, trees + L" " + Quoted(temp_ / L"half"));
    EXPECT_EQ(failed.exitCode, 2u) << failed.output;
    EXPECT_TRUE(testsupport::FindEntries(temp_ / L"half*").empty())
        << "a half package was left: " << failed.output;
  }
  EXPECT_EQ(RunTool(kPatchMake, Quoted(oldDir)).exitCode, 2u);

  // What a run cannot do is an error, and the package is written all the same: also a backup of
  // an earlier patch in OLD_DIR beside a file the package replaces (a run skips it), not beside
  // one it leaves as it is.
  testsupport::WriteBytes(oldDir + L"\\plugins\\old.dll", "a folder removed in 1.1");
  testsupport::WriteBytes(oldDir + L"\\bin\\core.dll.220620.patch.bak", "core 0.9");
  testsupport::WriteBytes(oldDir + L"\\same.txt.220620.patch.bak", "same 0.9");
  ToolRun cannot = RunTool(kPatchMake, trees + L" " + Quoted(temp_ / L"errors") + L" --no-seal");
  EXPECT_EQ(cannot.exitCode, 1u) << cannot.output;
  for (const char* expected :
       {"plugins is a folder only in",
        "core.dll.220620.patch.bak, the backup of an earlier patch: a run skips this entry",
        "2 errors", "runner Patch.exe: unsealed"}) {
    EXPECT_TRUE(Contains(cannot.output, expected))
        << "expected \"" << expected << "\" in: " << cannot.output;
  }
  EXPECT_EQ(testsupport::ReadBytes(temp_ / L"errors\\patchfile\\files\\lang\\fr\\texts.txt"),
            "two new folders deep");
}

}  // namespace
