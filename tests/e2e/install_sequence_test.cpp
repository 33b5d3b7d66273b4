// The install sequence as a user meets it: the real Patch.exe in a package folder, the
// product key in the registry, a running product program, then the exit code, the files, the
// processes and the log.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "product/install_dir.h"
#include "log/log_internal.h"
#include "platform/text.h"
#include "tests/support/files.h"
#include "tests/support/log_files.h"
#include "tests/support/machine.h"
#include "tests/support/processes.h"

namespace {

const std::string kBeginLine = testsupport::Banner(kBeginBanner);
const std::string kEndLine = testsupport::Banner(kEndBanner);
const char kConf[] = R"({
  "patch_list": [
    { "src": "PelliWareden.exe", "dest": "PelliWareden.exe" },
    { "src": "data\\a.txt", "dest": "data\\a.txt" }
  ]
})";

class InstallSequenceTest : public testsupport::MachineTest {
 protected:
  void SetUp() override {
    package_.WriteConf(kConf);
    package_.AddPatchFile(L"PelliWareden.exe", "new program");
    package_.AddPatchFile(L"data\\a.txt", "new data");
    testsupport::WriteBytes(installDir_ + L"\\data\\a.txt", "old data");
  }

  // Runs the package's Patch.exe with the product program running from the installation,
  // and checks what every refused run must leave: exit code 0, the package and the
  // installation as they were, the product still running.
  void RunAndExpectNothingChanged(const std::wstring& args = L"") {
    testsupport::StandIn product(installDir_ + L"\\PelliWareden.exe");
    const auto packageBefore = testsupport::SnapshotTree(package_.dir);
    const auto installBefore = testsupport::SnapshotTree(installDir_);

    EXPECT_EQ(testsupport::RunProgram(package_.exe, args), 0u);

    EXPECT_EQ(testsupport::SnapshotTree(package_.dir), packageBefore)
        << "the package folder changed";
    EXPECT_EQ(testsupport::SnapshotTree(installDir_), installBefore) << "the installation changed";
    EXPECT_TRUE(product.Running()) << "the product program was stopped";
  }

  // The four progress lines every run that finds its patch folder begins with. The package
  // folder is the runner's own, ending in one backslash.
  std::vector<std::string> OpeningLines() const {
    const std::string dir = NarrowToUtf8(package_.dir);
    return {kBeginLine, "[Common]Enter. Start install...", "[Common]PackageDir[" + dir + "\\].",
            "[Common]PackageDir[" + dir + "\\patchfile].",
            "[Common]inst conf file path[" + dir + "\\patchfile\\conf.json]."};
  }

  // The log of a run that got past the configuration and ended with `error`: the opening
  // lines, whatever the configuration reader reported, then `error` as the only error, then END.
  void ExpectRunEndedWith(const std::string& error) const {
    const std::vector<std::string> messages = testsupport::ReadMessages();
    const std::string log = "log:\n" + testsupport::Join(messages);
    const std::vector<std::string> opening = OpeningLines();
    ASSERT_GE(messages.size(), opening.size() + 2) << log;
    EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + opening.size()),
              opening);
    EXPECT_EQ(messages[messages.size() - 2], error) << log;
    EXPECT_EQ(messages.back(), kEndLine);
    EXPECT_EQ(testsupport::CountContaining(messages, "[Error]"), 1u) << log;
  }

  testsupport::Package package_ = testsupport::MakePackage(temp_ / L"pkg");
  std::wstring installDir_ = temp_ / L"install";
};

TEST_F(InstallSequenceTest, PackageWithoutPatchFolderStopsAndNamesThePackageFolder) {
  testsupport::RemoveTree(package_.patchDir);
  key_.SetString(kInstallDirValue, installDir_);

  RunAndExpectNothingChanged();

  // The opening up to the patch folder, then the error where the configuration's path would be.
  std::vector<std::string> expected = OpeningLines();
  expected.back() = "[Error]PackageDir[" + NarrowToUtf8(package_.dir) + "\\] is not exist, exit.";
  expected.push_back(kEndLine);
  EXPECT_EQ(testsupport::ReadMessages(), expected);
  EXPECT_FALSE(testsupport::Exists(package_.patchDir)) << "the patch folder was created";
}

TEST_F(InstallSequenceTest, MissingProductKeyStopsBeforeThePatch) {
  RunAndExpectNothingChanged();
  ExpectRunEndedWith("[Error]Reg Open \\SOFTWARE\\Norvale\\Wareden failed.");
}

TEST_F(InstallSequenceTest, KeyWithoutInstallDirStopsBeforeThePatch) {
  key_.Create();
  RunAndExpectNothingChanged();
  ExpectRunEndedWith("[Error]Reg Query InstallDir failed.");
}

TEST_F(InstallSequenceTest, NumericInstallDirStopsBeforeThePatch) {
  key_.SetNumber(kInstallDirValue, 1);
  RunAndExpectNothingChanged();
  ExpectRunEndedWith("[Error]Reg Query InstallDir failed.");
}

TEST_F(InstallSequenceTest, InstallDirWithoutTerminatingNulStopsBeforeThePatch) {
  // Followed in memory by a non-zero unit, so a read past the stored data cannot find a NUL.
  std::wstring text = installDir_ + L"X";
  key_.SetRaw(kInstallDirValue, REG_SZ, text.c_str(),
              static_cast<DWORD>(installDir_.size() * sizeof(wchar_t)));
  RunAndExpectNothingChanged();
  ExpectRunEndedWith("[Error]Reg Query InstallDir failed.");
}

TEST_F(InstallSequenceTest, InstallDirOf260CharactersStopsBeforeThePatch) {
  key_.SetString(kInstallDirValue, L"C:\\" + std::wstring(257, L'a'));
  RunAndExpectNothingChanged();
  ExpectRunEndedWith("[Error]Reg Query InstallDir failed.");
}

TEST_F(InstallSequenceTest, EmptyInstallDirIsReadAndRefusedByThePatch) {
  key_.SetRaw(kInstallDirValue, REG_SZ, L"", sizeof(wchar_t));
  RunAndExpectNothingChanged();
  ExpectRunEndedWith("[Error]Start Patch failed.");
}

TEST_F(InstallSequenceTest, EmptyPatchListStillReadsInstallDirAndIsRefusedByThePatch) {
  package_.WriteConf(R"({ "patch_list": [] })");
  key_.SetString(kInstallDirValue, installDir_);
  RunAndExpectNothingChanged();
  ExpectRunEndedWith("[Error]Start Patch failed.");
}

TEST_F(InstallSequenceTest, CommandLineArgumentsChangeNothing) {
  key_.Create();
  RunAndExpectNothingChanged();
  const std::vector<std::string> plain = testsupport::ReadMessages();

  for (const std::wstring args : {L"/S", L"--install-dir C:\\elsewhere /quiet", L"\"a b\" -x"}) {
    SCOPED_TRACE(NarrowToUtf8(args));
    testsupport::ClearLog();
    RunAndExpectNothingChanged(args);
    EXPECT_EQ(testsupport::ReadMessages(), plain) << "the arguments changed the run";
  }
  EXPECT_FALSE(plain.empty()) << "the runs wrote no log";
}

}  // namespace
