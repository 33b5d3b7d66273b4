// What an elevated run must refuse (links and planted files where it writes or loads) and what
// it must survive (files held for a moment), run through the real Patch.exe.

#include <gtest/gtest.h>

#include <string>

#include "product/install_dir.h"
#include "log/log_internal.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tests/support/files.h"
#include "tests/support/log_files.h"
#include "tests/support/machine.h"
#include "tests/support/processes.h"

namespace {

// The with-links emulator turns the folder under test into a link to this folder.
const std::wstring kLinkTarget = L"C:\\patchtest-links\\target";

bool IsLink(const std::wstring& folder) {
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

class ElevatedRun : public testsupport::MachineTest {
 protected:
  // Runs the runner from a package without a "patchfile" folder: it logs an error line and ends.
  DWORD RunFailingPackage() const {
    return testsupport::RunProgram(testsupport::MakePackage(temp_ / L"pkg", false).exe);
  }
  // What patchlog says, which must name what the run refused and why.
  std::string PatchLogOutput() const {
    return testsupport::RunTool(L"patchlog.exe", L"", temp_ / L"patchlog.txt").output;
  }
};

TEST_F(ElevatedRun, LogFolderIsALinkSoNothingIsWrittenThroughIt) {
  ASSERT_TRUE(IsLink(testsupport::LogFolder()))
      << "the log folder is no link: run this test through ctest (with-links)";
  EXPECT_EQ(RunFailingPackage(), 0u);
  EXPECT_FALSE(testsupport::Exists(kLinkTarget + L"\\patch_patch.log"))
      << "the log was written through a folder link";
  const std::string why = PatchLogOutput();
  EXPECT_NE(why.find("log folder " + NarrowToUtf8(testsupport::LogFolder()) + " refused: a link"),
            std::string::npos)
      << why;
}

TEST_F(ElevatedRun, LogParentIsALinkSoNoFolderIsCreatedThroughIt) {
  ASSERT_TRUE(IsLink(ParentFolder(testsupport::LogFolder())))
      << "the log's parent folder is no link: run this test through ctest (with-links)";
  EXPECT_EQ(RunFailingPackage(), 0u);
  EXPECT_FALSE(testsupport::Exists(kLinkTarget + L"\\MossLog"))
      << "the log folder was created through a link";
}

TEST_F(ElevatedRun, LogInARealFolderIsWritten) {
  ASSERT_FALSE(IsLink(testsupport::LogFolder()));
  EXPECT_EQ(RunFailingPackage(), 0u);
  const auto lines = testsupport::ReadMessages();
  EXPECT_EQ(testsupport::CountContaining(lines, "[Error]PackageDir["), 1u)
      << testsupport::Join(lines);
}

TEST_F(ElevatedRun, HookFolderIsALinkSoTheLibraryIsNotLoaded) {
  testsupport::HookFixture hook;
  ASSERT_TRUE(IsLink(ParentFolder(testsupport::HookFixture::Path())))
      << "the hook folder is no link: run this test through ctest (with-links)";
  ASSERT_TRUE(CopyFileW(testsupport::BuiltFile(kHookFileName).c_str(),
                        (kLinkTarget + L"\\" + kHookFileName).c_str(), FALSE));
  ASSERT_TRUE(testsupport::Exists(GetAssertHookPath()))
      << "the library is reachable through the link";
  EXPECT_EQ(RunFailingPackage(), 0u);
  EXPECT_FALSE(hook.Called()) << "a library reached through a folder link was loaded";
  const std::string why = PatchLogOutput();
  EXPECT_NE(why.find("hook library: refused: " +
                     NarrowToUtf8(ParentFolder(testsupport::HookFixture::Path())) + ": a link"),
            std::string::npos)
      << why;
  EXPECT_EQ(testsupport::CountContaining(testsupport::ReadMessages(), "[Error]PackageDir["), 1u)
      << "the log itself goes on";
}

TEST_F(ElevatedRun, HookInARealFolderIsCalled) {
  testsupport::HookFixture hook;
  ASSERT_FALSE(IsLink(ParentFolder(testsupport::HookFixture::Path())));
  hook.Install();
  EXPECT_EQ(RunFailingPackage(), 0u);
  EXPECT_EQ(hook.Calls().size(), 1u) << "the trusted library gets the one error line";

  // Any user may add files to the hook's folder: the library's dependencies come from System32
  // only, so one that needs a library planted beside it is not loaded at all.
  hook.Install(L"MossLogExNeedsDep.dll", L"MossDep.dll");
  EXPECT_EQ(RunFailingPackage(), 0u);
  EXPECT_EQ(hook.Calls().size(), 1u) << "the library or its planted dependency was loaded";
}

// Whoever may create files in the log folder may link a file of theirs there: that name is
// moved aside and the run gets a log of its own, which patchlog reads.
TEST_F(ElevatedRun, LogFileWithASecondHardLinkIsMovedAsideAndANewOneStarted) {
  const std::wstring victim = temp_ / L"victim.txt";
  testsupport::WriteBytes(victim, "must stay as it is\n");
  testsupport::MakeFolders(testsupport::LogFolder());
  ASSERT_TRUE(CreateHardLinkW(testsupport::LogPath().c_str(), victim.c_str(), nullptr))
      << GetLastError();
  EXPECT_EQ(RunFailingPackage(), 0u);
  EXPECT_EQ(testsupport::ReadBytes(victim), "must stay as it is\n");
  EXPECT_EQ(testsupport::CountContaining(testsupport::ReadMessages(), "[Error]PackageDir["), 1u)
      << "the log path is not a new file with the run's lines";
  const auto moved = testsupport::FindEntries(testsupport::LogPath() + L".linked-*");
  ASSERT_EQ(moved.size(), 1u) << "the linked name was not moved aside";
  const std::wstring aside = testsupport::LogFolder() + L"\\" + moved[0].cFileName;
  EXPECT_EQ(testsupport::ReadBytes(aside), "must stay as it is\n");
  const std::string verdict = PatchLogOutput();
  EXPECT_EQ(verdict.find("no run"), std::string::npos) << verdict;
  EXPECT_TRUE(DeleteFileW(aside.c_str())) << testsupport::LastErrorText("DeleteFileW", aside);
}

// The with-links emulator plants a link to a file outside at the partial name of a.txt here: it
// is neither written through nor touched, and the entry fails before its original is moved; the
// dry run says so beforehand.
TEST_F(ElevatedRun, ALinkAtThePartialNameIsNeverWrittenThrough) {
  const std::wstring install = L"C:\\patchtest-links\\install",
                     victim = kLinkTarget + L"\\victim.txt";
  ASSERT_EQ(testsupport::ReadBytes(install + L"\\a.txt.220620.patch.part"), "victim")
      << "no link at the partial name: run this test through ctest (with-links)";
  const testsupport::Package package = testsupport::MakePackage(temp_ / L"pkg");
  package.AddPatchFile(L"a.txt", "new a");
  package.WriteConf(R"({"patch_list":[{"src":"a.txt","dest":"a.txt"}]})");
  testsupport::WriteBytes(install + L"\\a.txt", "old a");
  key_.SetString(kInstallDirValue, install);
  const std::string dryRun =
      testsupport::RunTool(L"patchcheck.exe", L"\"" + package.dir + L"\" --install-dir \"" + install + L"\"",
                           temp_ / L"check.txt")
          .output;
  EXPECT_NE(dryRun.find("a link at " + NarrowToUtf8(install) + "\\a.txt.220620.patch.part"),
            std::string::npos)
      << dryRun;
  EXPECT_EQ(testsupport::RunProgram(package.exe), 0u);
  EXPECT_EQ(testsupport::ReadBytes(victim), "victim") << "written through the link, or moved";
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\a.txt.220620.patch.part"), "victim");
  EXPECT_EQ(testsupport::ReadBytes(install + L"\\a.txt"), "old a") << "never moved aside";
  EXPECT_EQ(testsupport::CountContaining(testsupport::ReadMessages(),
                                         "[Error]Partial copy[" + NarrowToUtf8(install) +
                                             "\\a.txt.220620.patch.part] is a link"),
            1u);
}

// --- files held for a moment --------------------------------------------------------------

class HeldFiles : public testsupport::MachineTest {
 protected:
  void SetUp() override {
    testsupport::WriteBytes(dest_, "original");
    package_.AddPatchFile(L"held.dll", "replacement");
    package_.WriteConf(R"({"patch_list":[{"src":"held.dll","dest":"bin\\held.dll"}]})");
    key_.SetString(kInstallDirValue, install_);
  }
  // A stand-in that holds the destination for `milliseconds`, once it has it open.
  std::wstring HoldArgs(const wchar_t* milliseconds) const {
    return L"--hold \"" + dest_ + L"\" " + milliseconds;
  }

  testsupport::Package package_ = testsupport::MakePackage(temp_ / L"pkg");
  std::wstring install_ = temp_ / L"install";
  std::wstring dest_ = install_ + L"\\bin\\held.dll";
};

// True once `path` cannot be opened for deletion, that is, once the holder has it open.
bool WaitUntilHeld(const std::wstring& path) {
  // The pause comes after the probe is closed: an open probe would keep the holder out.
  for (int i = 0; i < 200; ++i, Sleep(10)) {
    const KernelHandle probe(CreateFileW(path.c_str(), DELETE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    if (!probe.IsValid()) return GetLastError() == ERROR_SHARING_VIOLATION;
  }
  return false;
}

TEST_F(HeldFiles, ADestinationHeldBrieflyIsReplacedAfterRetries) {
  testsupport::StandIn holder(temp_ / L"holder\\holder.exe", HoldArgs(L"300"));
  ASSERT_TRUE(WaitUntilHeld(dest_)) << "the holder did not open the file";
  EXPECT_EQ(testsupport::RunProgram(package_.exe), 0u);
  EXPECT_EQ(testsupport::ReadBytes(dest_), "replacement");
  EXPECT_EQ(testsupport::ReadBytes(dest_ + L".220620.patch.bak"), "original");
  const auto lines = testsupport::ReadMessages();
  EXPECT_EQ(testsupport::CountContaining(lines, "failed"), 0u) << testsupport::Join(lines);
  EXPECT_EQ(testsupport::CountContaining(lines, "[Common]Patch successful."), 1u)
      << testsupport::Join(lines);
}

// The product holds its patch file while the copies are made before it is stopped: that copy
// is made again at its place, once the product is stopped, with the lines of any run.
TEST_F(HeldFiles, APatchFileHeldUntilTheProductStopsIsCopiedAtItsPlace) {
  const std::wstring source = package_.patchDir + L"\\held.dll";
  testsupport::StandIn product(install_ + L"\\PelliWareden.exe",
                               L"--hold \"" + source + L"\" 60000");
  ASSERT_TRUE(WaitUntilHeld(source)) << "the product did not open the patch file";
  EXPECT_EQ(testsupport::RunProgram(package_.exe), 0u);
  EXPECT_EQ(testsupport::ReadBytes(dest_), "replacement");
  const auto lines = testsupport::ReadMessages();
  EXPECT_EQ(testsupport::CountContaining(lines, "file successful"), 2u) << testsupport::Join(lines);
  EXPECT_EQ(testsupport::CountContaining(lines, "file failed"), 0u) << testsupport::Join(lines);
  testsupport::KillProcessesIn(install_);
}

TEST_F(HeldFiles, ADestinationHeldThroughoutFailsOnceAndNothingIsLost) {
  testsupport::StandIn product(install_ + L"\\PelliWareden.exe");
  testsupport::StandIn holder(temp_ / L"holder\\holder.exe", HoldArgs(L"60000"));
  ASSERT_TRUE(WaitUntilHeld(dest_)) << "the holder did not open the file";
  EXPECT_EQ(testsupport::RunProgram(package_.exe), 0u);

  EXPECT_EQ(testsupport::ReadBytes(dest_), "original") << "the held file must stay as it was";
  EXPECT_FALSE(testsupport::Exists(dest_ + L".220620.patch.bak"));
  const auto lines = testsupport::ReadMessages();
  EXPECT_EQ(testsupport::CountContaining(lines, "[Error]Move file failed, from["), 1u)
      << "one line for the final outcome:\n"
      << testsupport::Join(lines);
  EXPECT_EQ(testsupport::CountContaining(
                lines, "[Error]The file operation failed with err:32: another program holds"),
            1u)
      << testsupport::Join(lines);
  EXPECT_EQ(testsupport::CountContaining(lines, "[Error]Start Patch failed."), 1u)
      << testsupport::Join(lines);
  EXPECT_EQ(testsupport::CountContaining(lines, "[Common]CreateProcessWaitCmd["), 1u)
      << "the product is started again:\n"
      << testsupport::Join(lines);
  EXPECT_EQ(testsupport::ProcessesRunning(install_ + L"\\PelliWareden.exe").size(), 1u);
  testsupport::KillProcessesIn(install_);
}

// A run killed while the product is stopped (its move waits for a held file) leaves the product
// stopped; its record says so, and the next run starts it again though it stopped nothing.
TEST_F(HeldFiles, AProductLeftStoppedByAKilledRunIsStartedByTheNextRun) {
  testsupport::StandIn product(install_ + L"\\PelliWareden.exe");
  testsupport::StandIn holder(temp_ / L"holder\\holder.exe", HoldArgs(L"60000"));
  ASSERT_TRUE(WaitUntilHeld(dest_)) << "the holder did not open the file";
  const ProcessHandles run = testsupport::StartProgram(package_.exe);
  const std::wstring main = install_ + L"\\PelliWareden.exe";
  for (int i = 0; i < 500 && !testsupport::ProcessesRunning(main).empty(); ++i) Sleep(10);
  ASSERT_TRUE(testsupport::ProcessesRunning(main).empty()) << "the run did not stop the product";
  Sleep(200);  // the run is in its commit now, retrying the held file
  ASSERT_TRUE(TerminateProcess(run.process.Get(), 1));
  WaitForSingleObject(run.process.Get(), INFINITE);
  ASSERT_TRUE(testsupport::ProcessesRunning(main).empty());

  testsupport::ClearLog();
  EXPECT_EQ(testsupport::RunProgram(package_.exe), 0u);
  EXPECT_EQ(testsupport::ProcessesRunning(main).size(), 1u) << testsupport::Join(testsupport::ReadMessages());
  EXPECT_EQ(testsupport::CountContaining(testsupport::ReadMessages(), "left " + NarrowToUtf8(main)), 1u)
      << testsupport::Join(testsupport::ReadMessages());
  testsupport::KillProcessesIn(install_);
}

}  // namespace
