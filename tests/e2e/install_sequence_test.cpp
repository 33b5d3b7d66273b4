// The install sequence as a user meets it: the real Patch.exe in a package folder, the
// product key in the registry, a running product program, then the exit code, the files, the
// processes and the log.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/support.h"

namespace {

const std::string kBeginLine = "**************************BEGAIN***********************";
const std::string kEndLine = "**************************END******************************";
const char kConf[] = R"({
  "patch_list": [
    { "src": "PelliWareden.exe", "dest": "PelliWareden.exe" },
    { "src": "data\\a.txt", "dest": "data\\a.txt" }
  ]
})";

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += "  " + line + "\n";
  return text;
}

size_t CountErrors(const std::vector<std::string>& messages) {
  return static_cast<size_t>(
      std::count_if(messages.begin(), messages.end(),
                    [](const std::string& m) { return m.rfind("[Error]", 0) == 0; }));
}

class InstallSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    e2e::ClearLog();
    package_ = e2e::MakePackage(temp_ / L"pkg");
    package_.WriteConf(kConf);
    package_.AddPatchFile(L"PelliWareden.exe", "new program");
    package_.AddPatchFile(L"data\\a.txt", "new data");
    installDir_ = temp_ / L"install";
    e2e::WriteFileBytes(installDir_ + L"\\data\\a.txt", "old data");
  }

  // Runs the package's Patch.exe with the product program running from the installation,
  // and checks what every refused run must leave: exit code 0, the package and the
  // installation as they were, the product still running.
  void RunAndExpectNothingChanged(const std::wstring& args = L"") {
    e2e::StandIn product(installDir_ + L"\\PelliWareden.exe");
    const auto packageBefore = e2e::SnapshotTree(package_.dir);
    const auto installBefore = e2e::SnapshotTree(installDir_);

    EXPECT_EQ(e2e::RunProgram(package_.exe, args), 0u);

    EXPECT_EQ(e2e::SnapshotTree(package_.dir), packageBefore) << "the package folder changed";
    EXPECT_EQ(e2e::SnapshotTree(installDir_), installBefore) << "the installation changed";
    EXPECT_TRUE(product.Running()) << "the product program was stopped";
  }

  // The four progress lines every run that finds its patch folder begins with.
  std::vector<std::string> OpeningLines() const {
    const std::string dir = NarrowToUtf8(package_.dir);
    return {kBeginLine, "[Common]Enter. Start install...", "[Common]PackageDir[" + dir + "\\].",
            "[Common]PackageDir[" + dir + "\\patchfile].",
            "[Common]inst conf file path[" + dir + "\\patchfile\\conf.json]."};
  }

  // The log of a run that got past the configuration and ended with `error`: the opening
  // lines, whatever the configuration reader reported, then `error` as the only error, then END.
  void ExpectRunEndedWith(const std::string& error) const {
    const std::vector<std::string> messages = e2e::ReadLogMessages();
    const std::vector<std::string> opening = OpeningLines();
    ASSERT_GE(messages.size(), opening.size() + 2) << "log:\n" << Join(messages);
    EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + opening.size()),
              opening);
    EXPECT_EQ(messages[messages.size() - 2], error) << "log:\n" << Join(messages);
    EXPECT_EQ(messages.back(), kEndLine);
    EXPECT_EQ(CountErrors(messages), 1u) << "log:\n" << Join(messages);
  }

  e2e::TempDir temp_;
  e2e::ProductKeyGuard key_;
  e2e::Package package_;
  std::wstring installDir_;
};

TEST_F(InstallSequenceTest, PackageWithoutPatchFolderStopsAndNamesThePackageFolder) {
  e2e::RemoveTree(package_.patchDir);
  key_.SetInstallDir(installDir_);

  RunAndExpectNothingChanged();

  const std::string dir = NarrowToUtf8(package_.dir);
  const std::vector<std::string> expected = {
      kBeginLine,
      "[Common]Enter. Start install...",
      "[Common]PackageDir[" + dir + "\\].",
      "[Common]PackageDir[" + dir + "\\patchfile].",
      "[Error]PackageDir[" + dir + "\\] is not exist, exit.",
      kEndLine,
  };
  EXPECT_EQ(e2e::ReadLogMessages(), expected);
  EXPECT_FALSE(e2e::Exists(package_.patchDir)) << "the patch folder was created";
}

TEST_F(InstallSequenceTest, MissingProductKeyStopsBeforeThePatch) {
  RunAndExpectNothingChanged();
  ExpectRunEndedWith("[Error]Reg Open \\SOFTWARE\\Norvale\\Wareden failed.");
}

TEST_F(InstallSequenceTest, KeyWithoutInstallDirStopsBeforeThePatch) {
  key_.CreateKeyOnly();
  RunAndExpectNothingChanged();
  ExpectRunEndedWith("[Error]Reg Query InstallDir failed.");
}

TEST_F(InstallSequenceTest, NumericInstallDirStopsBeforeThePatch) {
  key_.SetInstallDirNumber(1);
  RunAndExpectNothingChanged();
  ExpectRunEndedWith("[Error]Reg Query InstallDir failed.");
}

TEST_F(InstallSequenceTest, InstallDirWithoutTerminatingNulStopsBeforeThePatch) {
  // Followed in memory by a non-zero unit, so a read past the stored data cannot find a NUL.
  std::wstring text = installDir_ + L"X";
  key_.SetInstallDirRaw(REG_SZ, text.c_str(),
                        static_cast<DWORD>(installDir_.size() * sizeof(wchar_t)));
  RunAndExpectNothingChanged();
  ExpectRunEndedWith("[Error]Reg Query InstallDir failed.");
}

TEST_F(InstallSequenceTest, InstallDirOf260CharactersStopsBeforeThePatch) {
  key_.SetInstallDir(L"C:\\" + std::wstring(257, L'a'));
  RunAndExpectNothingChanged();
  ExpectRunEndedWith("[Error]Reg Query InstallDir failed.");
}

TEST_F(InstallSequenceTest, EmptyInstallDirIsReadAndRefusedByThePatch) {
  key_.SetInstallDirRaw(REG_SZ, L"", sizeof(wchar_t));
  RunAndExpectNothingChanged();
  ExpectRunEndedWith("[Error]Start Patch failed.");
}

TEST_F(InstallSequenceTest, EmptyPatchListStillReadsInstallDirAndIsRefusedByThePatch) {
  package_.WriteConf(R"({ "patch_list": [] })");
  key_.SetInstallDir(installDir_);
  RunAndExpectNothingChanged();
  ExpectRunEndedWith("[Error]Start Patch failed.");
}

TEST_F(InstallSequenceTest, CommandLineArgumentsChangeNothing) {
  key_.CreateKeyOnly();
  RunAndExpectNothingChanged();
  const std::vector<std::string> plain = e2e::ReadLogMessages();

  for (const std::wstring args : {L"/S", L"--install-dir C:\\elsewhere /quiet", L"\"a b\" -x"}) {
    SCOPED_TRACE(NarrowToUtf8(args));
    e2e::ClearLog();
    RunAndExpectNothingChanged(args);
    EXPECT_EQ(e2e::ReadLogMessages(), plain) << "the arguments changed the run";
  }
  EXPECT_FALSE(plain.empty()) << "the runs wrote no log";
}

}  // namespace
