// The patch run as a user meets it: the real Patch.exe in a package folder, InstallDir in the
// registry, stand-in product programs running from the installation; then the files, the
// backups, the processes and the log.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "product/install_dir.h"
#include "log/log_internal.h"
#include "package/seal.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "tests/support/encode.h"
#include "tests/support/files.h"
#include "tests/support/log_files.h"
#include "tests/support/machine.h"
#include "tests/support/processes.h"
#include "tools/kit/runner_image.h"
#include "tools/kit/files.h"

namespace {

const std::string kEndLine = testsupport::Banner(kEndBanner);
const std::wstring kBak = L".220620.patch.bak";

// The log from the configuration reader's first line on; the install sequence's opening is
// another test's business.
std::vector<std::string> PatchRunLines() {
  const std::vector<std::string> messages = testsupport::ReadMessages();
  const auto first = std::find(messages.begin(), messages.end(), "[Common]Enter.");
  return std::vector<std::string>(first, messages.end());
}

// Three entries: nested folders, a name spelled with \u escapes, a destination that is new.
const char kThreeEntries[] = R"({
  // the program and its data
  "patch_list": [
    { "src": "bin\\core.dll", "dest": "bin\\core.dll" },
    { "src": "data\\\u00f1\\\u00fc.txt", "dest": "data\\\u00f1\\\u00fc.txt" },
    /* new in this patch */ { "src": "new\\fresh.cfg", "dest": "cfg\\fresh.cfg" }
  ]
})";
const std::wstring kDataFile = L"data\\\u00F1\\\u00FC.txt";

class PatchRunTest : public testsupport::MachineTest {
 protected:
  void SetUp() override {
    testsupport::MakeFolders(installDir_);
    key_.SetString(kInstallDirValue, installDir_);
  }
  void TearDown() override { testsupport::KillProcessesIn(installDir_); }

  std::wstring Inst(const std::wstring& relative) const { return installDir_ + L"\\" + relative; }
  // The three-entry package, and an installation holding the first two destinations.
  void PrepareThreeEntries() const {
    package_.WriteConf(kThreeEntries);
    package_.AddPatchFile(L"bin\\core.dll", "new core");
    package_.AddPatchFile(kDataFile, "new data");
    package_.AddPatchFile(L"new\\fresh.cfg", "fresh");
    testsupport::WriteBytes(Inst(L"bin\\core.dll"), "old core");
    testsupport::WriteBytes(Inst(kDataFile), "old data");
  }
  std::wstring Src(const std::wstring& relative) const {
    return package_.patchDir + L"\\" + relative;
  }
  std::string Run() const {
    return NarrowToUtf8(std::to_wstring(testsupport::RunProgram(package_.exe)));
  }
  std::string ConfPathLine() const {
    return "[Common]conf file pah[" + NarrowToUtf8(package_.patchDir) + "\\conf.json].";
  }
  std::string MoveLine(const std::wstring& dest) const {
    return "[Common]Move file successful, from[" + NarrowToUtf8(Inst(dest)) + "] to[" +
           NarrowToUtf8(Inst(dest) + kBak) + "].";
  }
  std::string CopyLine(const std::wstring& src, const std::wstring& dest) const {
    return "[Common]Copy file successful, from[" + NarrowToUtf8(Src(src)) + "] to[" +
           NarrowToUtf8(Inst(dest)) + "].";
  }
  std::string RestartLine(const std::string& exitCode) const {
    return "[Common]CreateProcessWaitCmd[\"" + NarrowToUtf8(Inst(L"PelliWareden.exe")) +
           "\" ] exit_code[" + exitCode + "].";
  }

  testsupport::Package package_ = testsupport::MakePackage(temp_ / L"pkg");
  // Non-ASCII folder names reach every path and log line.
  std::wstring installDir_ = temp_ / L"Ware\u00F0en \u00E9t\u00E9";
};

TEST_F(PatchRunTest, ReplacesEveryEntryStopsTheProductAndStartsItAgain) {
  PrepareThreeEntries();
  testsupport::MakeFolders(Inst(L"cfg"));
  testsupport::StandIn product(Inst(L"PelliWareden.exe"));
  testsupport::StandIn downloader(Inst(L"VyxDL.exe"));
  testsupport::WriteBytes(Inst(L"cwd.request"), "");

  ASSERT_EQ(Run(), "0");

  EXPECT_EQ(testsupport::ReadBytes(Inst(L"bin\\core.dll")), "new core");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"bin\\core.dll") + kBak), "old core");
  EXPECT_EQ(testsupport::ReadBytes(Inst(kDataFile)), "new data");
  EXPECT_EQ(testsupport::ReadBytes(Inst(kDataFile) + kBak), "old data");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"cfg\\fresh.cfg")), "fresh");
  EXPECT_FALSE(testsupport::Exists(Inst(L"cfg\\fresh.cfg") + kBak)) << "a new file needs no backup";

  EXPECT_FALSE(product.Running());
  EXPECT_FALSE(downloader.Running());
  EXPECT_TRUE(testsupport::ProcessesRunning(Inst(L"VyxDL.exe")).empty())
      << "VyxDL.exe is never started again";
  const std::vector<DWORD> restarted = testsupport::ProcessesRunning(Inst(L"PelliWareden.exe"));
  ASSERT_EQ(restarted.size(), 1u) << "the main program must run again";
  // Not in the package folder, where its loads of libraries by bare name would look first.
  const std::string cwd = testsupport::ReadBytes(Inst(L"cwd.txt"));
  EXPECT_TRUE(EqualsIgnoringAsciiCase(
      std::wstring(reinterpret_cast<const wchar_t*>(cwd.data()), cwd.size() / 2), installDir_))
      << "started again in "
      << NarrowToUtf8(std::wstring(reinterpret_cast<const wchar_t*>(cwd.data()), cwd.size() / 2));

  const std::vector<std::string> expected = {
      "[Common]Enter.",
      ConfPathLine(),
      "[Common]process name:PelliWareden.exe, id:" + std::to_string(product.Pid()) + ".",
      "[Common]succeed in kill process.",
      "[Common]process name:VyxDL.exe, id:" + std::to_string(downloader.Pid()) + ".",
      "[Common]succeed in kill process.",
      MoveLine(L"bin\\core.dll"),
      CopyLine(L"bin\\core.dll", L"bin\\core.dll"),
      MoveLine(kDataFile),
      CopyLine(kDataFile, kDataFile),
      CopyLine(L"new\\fresh.cfg", L"cfg\\fresh.cfg"),
      // The stand-in runs on, so the wait ends without an exit code.
      "[Error]failed to call WaitForSingleObject, waitcode:258, lasterr:",
      RestartLine("4294967295"),
      "[Common]Patch successful.",
      kEndLine,
  };
  std::vector<std::string> lines = PatchRunLines();
  // The last error after a time-out is not ours to fix; compare up to it.
  for (std::string& line : lines) {
    if (line.rfind(expected[11], 0) == 0) line = expected[11];
  }
  EXPECT_EQ(lines, expected) << "log:\n" << testsupport::Join(lines);
}

TEST_F(PatchRunTest, SecondRunSkipsEveryPatchedEntryAndLeavesTheProductRunning) {
  PrepareThreeEntries();
  testsupport::WriteBytes(Inst(L"cfg\\fresh.cfg"), "old fresh");
  ASSERT_EQ(Run(), "0");
  ASSERT_EQ(testsupport::ReadBytes(Inst(L"cfg\\fresh.cfg") + kBak), "old fresh");
  const testsupport::StandIn product(Inst(L"PelliWareden.exe"));
  const auto afterFirst = testsupport::SnapshotTree(installDir_);
  testsupport::ClearLog();

  ASSERT_EQ(Run(), "0");

  EXPECT_EQ(testsupport::SnapshotTree(installDir_), afterFirst);
  const std::vector<std::string> expected = {
      "[Common]Enter.", ConfPathLine(),
      "[Common]Nothing to change: every entry is skipped or applied already; the product is not "
      "stopped.",
      "[Common]Patch successful.", kEndLine};
  EXPECT_EQ(PatchRunLines(), expected) << "nothing to change, so nothing is stopped or started";
  EXPECT_EQ(testsupport::ProcessesRunning(Inst(L"PelliWareden.exe")),
            std::vector<DWORD>{product.Pid()});
}

TEST_F(PatchRunTest, FailedCopyPutsTheOriginalBackAndStopsTheLoop) {
  package_.WriteConf(R"({"patch_list": [
    { "src": "a.txt", "dest": "a.txt" },
    { "src": "folder", "dest": "b.txt" },
    { "src": "c.txt", "dest": "c.txt" }
  ]})");
  package_.AddPatchFile(L"a.txt", "new a");
  testsupport::MakeFolders(Src(L"folder"));  // exists, but cannot be copied as a file
  package_.AddPatchFile(L"c.txt", "new c");
  for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt"}) {
    testsupport::WriteBytes(Inst(name), "old " + NarrowToUtf8(name));
  }
  testsupport::StandIn product(Inst(L"PelliWareden.exe"));

  ASSERT_EQ(Run(), "0");

  EXPECT_EQ(testsupport::ReadBytes(Inst(L"a.txt")), "new a");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"a.txt") + kBak), "old a.txt");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"b.txt")), "old b.txt") << "the original must be back";
  EXPECT_FALSE(testsupport::Exists(Inst(L"b.txt") + kBak));
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"c.txt")), "old c.txt");
  EXPECT_FALSE(testsupport::Exists(Inst(L"c.txt") + kBak));
  EXPECT_EQ(testsupport::ProcessesRunning(Inst(L"PelliWareden.exe")).size(), 1u)
      << "the main program is started again after a failure too";

  const std::vector<std::string> lines = PatchRunLines();
  const std::string b = NarrowToUtf8(Inst(L"b.txt"));
  const std::vector<std::string> expectedTail = {
      MoveLine(L"b.txt"),
      "[Error]Copy file failed, from[" + NarrowToUtf8(Src(L"folder")) + "] to[" + b + "].",
      "[Error]The file operation failed with err:5.",
      "[Error]Copy failed, original moved back, from[" + b + NarrowToUtf8(kBak) + "] to[" + b +
          "].",
  };
  auto at = std::search(lines.begin(), lines.end(), expectedTail.begin(), expectedTail.end());
  EXPECT_NE(at, lines.end()) << "log:\n" << testsupport::Join(lines);
  EXPECT_NE(testsupport::CountContaining(lines, CopyLine(L"a.txt", L"a.txt")), 0u)
      << "log:\n"
      << testsupport::Join(lines);
  EXPECT_EQ(testsupport::CountContaining(lines, "c.txt"), 0u)
      << "the third entry must not be looked at";
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], RestartLine("4294967295"));
  EXPECT_EQ(lines[lines.size() - 2], "[Error]Start Patch failed.");
}

// A destination whose folder is missing fails its copy; one that names a device or a stream is
// refused before anything is touched, and so are a removal of a folder and a folder over a file
// or outside the installation.
TEST_F(PatchRunTest, DestinationsThatCannotBeFilesStopTheRun) {
  package_.AddPatchFile(L"x.txt", "x");
  testsupport::WriteBytes(Inst(L"a.txt"), "a");
  testsupport::WriteBytes(Inst(L"sub\\b.txt"), "b");
  const auto refused = [this](const wchar_t* dest) {
    return "[Error]Dest[" + NarrowToUtf8(Inst(dest)) +
           "] refused: a folder, a link or a file in the way, or outside the installation folder.";
  };
  const struct {
    const char* dest;
    std::string error;
    const char* action = nullptr;
    const char* platform = nullptr;  // the line with the platform's code after a failed copy
  } cases[] = {
      {"sub", refused(L"sub"), "remove"},
      {"a.txt", refused(L"a.txt"), "folder"},
      {"sub\\\\..\\\\..\\\\out", refused(L"sub\\..\\..\\out"), "folder"},
      {"nowhere\\\\x.txt", "[Error]Copy file failed, from[" + NarrowToUtf8(Src(L"x.txt")) +
                               "] to[" + NarrowToUtf8(Inst(L"nowhere\\x.txt")) + "].",
       nullptr, "[Error]The file operation failed with err:3."},
      {"NUL",
       "[Error]Dest file[" + NarrowToUtf8(Inst(L"NUL")) + "] is a device or a stream, not a file."},
      {"sub\\\\Com1.log", "[Error]Dest file[" + NarrowToUtf8(Inst(L"sub\\Com1.log")) +
                              "] is a device or a stream, not a file."},
      {"a.txt:s", "[Error]Dest file[" + NarrowToUtf8(Inst(L"a.txt:s")) +
                      "] is a device or a stream, not a file."},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.dest);
    testsupport::ClearLog();
    const std::string src = test.action ? std::string("[], \"action\": \"") + test.action + "\""
                                        : std::string("\"x.txt\"");
    package_.WriteConf(R"({"patch_list": [{ "src": )" + src + R"(, "dest": ")" + test.dest +
                       "\" }]}");
    const auto before = testsupport::SnapshotTree(installDir_);
    ASSERT_EQ(Run(), "0");
    EXPECT_EQ(testsupport::SnapshotTree(installDir_), before);
    std::vector<std::string> expected = {"[Common]Enter.", ConfPathLine(), test.error,
                                         "[Error]Start Patch failed.", kEndLine};
    if (test.platform != nullptr) expected.insert(expected.begin() + 3, test.platform);
    EXPECT_EQ(PatchRunLines(), expected);
  }
}

// A run stopped during a copy leaves the destination missing beside its backup and a partial
// copy: the next run copies again and the partial copy goes.
TEST_F(PatchRunTest, ARunStoppedDuringACopyIsCompletedByTheNext) {
  package_.WriteConf(
      R"({"patch_list": [{ "src": "big.bin", "dest": "big.bin" }, { "src": "b", "dest": "b" }]})");
  package_.AddPatchFile(L"big.bin", std::string(100000, 'n'));
  package_.AddPatchFile(L"b", "new b");
  testsupport::WriteBytes(Inst(L"big.bin") + kBak, "old big");
  testsupport::WriteBytes(Inst(L"big.bin") + L".220620.patch.part", std::string(5000, 'n'));
  // A leftover of a killed run may be read-only: it goes all the same.
  SetFileAttributesW((Inst(L"big.bin") + L".220620.patch.part").c_str(), FILE_ATTRIBUTE_READONLY);
  testsupport::WriteBytes(Inst(L"b"), "new b");
  testsupport::WriteBytes(Inst(L"b") + kBak, "old b");
  testsupport::WriteBytes(Inst(L"b") + L".220620.patch.part", "cut");
  // A copy with the right bytes planted at a partial name is someone's file: copied again.
  package_.WriteConf(R"({"patch_list": [{ "src": "big.bin", "dest": "big.bin" }, )"
                     R"({ "src": "b", "dest": "b" }, { "src": "c", "dest": "c", "sha256": ")" +
                     testsupport::Sha256Of(Src(L"b")) + R"(" }]})");
  package_.AddPatchFile(L"c", "new b");
  const std::wstring planted = Inst(L"c") + L".220620.patch.part";
  testsupport::WriteBytes(planted, "new b");
  {
    const KernelHandle file(CreateFileW(planted.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    const FILETIME old = {0x10000000, 0x01c00000};  // 1990
    ASSERT_TRUE(SetFileTime(file.Get(), nullptr, nullptr, &old));
  }

  ASSERT_EQ(Run(), "0");

  WIN32_FILE_ATTRIBUTE_DATA installed = {};
  ASSERT_TRUE(GetFileAttributesExW(Inst(L"c").c_str(), GetFileExInfoStandard, &installed));
  EXPECT_NE(installed.ftLastWriteTime.dwHighDateTime, 0x01c00000u)
      << "the planted file became the installed one";

  EXPECT_EQ(testsupport::ReadBytes(Inst(L"big.bin")), std::string(100000, 'n'));
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"big.bin") + kBak), "old big");
  EXPECT_FALSE(testsupport::Exists(Inst(L"big.bin") + L".220620.patch.part"));
  EXPECT_FALSE(testsupport::Exists(Inst(L"b") + L".220620.patch.part"))
      << "a replaced entry's leftover stays";
  EXPECT_NE(testsupport::CountContaining(PatchRunLines(), "[Common]Patch successful."), 0u);
}

TEST_F(PatchRunTest, MissingPatchFileIsSkippedAndTheRunStillSucceeds) {
  package_.WriteConf(
      R"({"patch_list": [{ "src": "gone.txt", "dest": "a.txt" }, { "src": "b.txt", "dest": "b.txt" }]})");
  package_.AddPatchFile(L"b.txt", "new b");
  testsupport::WriteBytes(Inst(L"a.txt"), "old a");

  ASSERT_EQ(Run(), "0");

  EXPECT_EQ(testsupport::ReadBytes(Inst(L"a.txt")), "old a");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"b.txt")), "new b");
  const std::vector<std::string> expected = {
      "[Common]Enter.",
      ConfPathLine(),
      "[Error]Patch file[" + NarrowToUtf8(Src(L"gone.txt")) + "] is not exist.",
      CopyLine(L"b.txt", L"b.txt"),
      "[Common]Patch successful.",
      kEndLine,
  };
  EXPECT_EQ(PatchRunLines(), expected);
}

TEST_F(PatchRunTest, TrailingBackslashInInstallDirGivesTheSamePaths) {
  package_.WriteConf(R"({"patch_list": [{ "src": "a.txt", "dest": "sub\\a.txt" }]})");
  package_.AddPatchFile(L"a.txt", "new a");
  std::vector<std::string> runs[2];
  for (int withBackslash = 0; withBackslash < 2; ++withBackslash) {
    testsupport::KillProcessesIn(installDir_);
    testsupport::RemoveTree(installDir_);
    testsupport::WriteBytes(Inst(L"sub\\a.txt"), "old a");
    key_.SetString(kInstallDirValue, withBackslash ? installDir_ + L"\\" : installDir_);
    testsupport::StandIn product(Inst(L"PelliWareden.exe"));
    testsupport::ClearLog();
    ASSERT_EQ(Run(), "0");
    EXPECT_EQ(testsupport::ReadBytes(Inst(L"sub\\a.txt") + kBak), "old a");
    for (const std::string& line : PatchRunLines()) {
      if (line.find("file successful") != std::string::npos ||
          line.find("CreateProcessWaitCmd[") != std::string::npos) {
        runs[withBackslash].push_back(line);
      }
    }
  }
  const std::vector<std::string> expected = {
      MoveLine(L"sub\\a.txt"), CopyLine(L"a.txt", L"sub\\a.txt"), RestartLine("4294967295")};
  EXPECT_EQ(runs[0], expected);
  EXPECT_EQ(runs[1], expected);
}

// Two runners started together (a deployment that retries) run one after the other: the second
// waits for the first instead of stopping and starting the product beside it.
TEST_F(PatchRunTest, TwoRunnersStartedTogetherRunOneAfterTheOther) {
  PrepareThreeEntries();
  testsupport::MakeFolders(Inst(L"cfg"));
  testsupport::StandIn product(Inst(L"PelliWareden.exe"));
  const ProcessHandles first = testsupport::StartProgram(package_.exe);
  const ProcessHandles second = testsupport::StartProgram(package_.exe);
  for (const ProcessHandles* run : {&first, &second}) {
    ASSERT_EQ(WaitForSingleObject(run->process.Get(), 60000), WAIT_OBJECT_0);
  }
  const std::string begin = testsupport::Banner(kBeginBanner);
  std::vector<std::string> banners;
  for (const std::string& line : testsupport::ReadMessages()) {
    if (line == begin || line == kEndLine) banners.push_back(line);
  }
  EXPECT_EQ(banners, (std::vector<std::string>{begin, kEndLine, begin, kEndLine}));
  for (const WIN32_FIND_DATAW& side :
       testsupport::FindEntries(testsupport::LogPath() + L".run-*")) {
    ADD_FAILURE() << "a run found the log held by the other: " << NarrowToUtf8(side.cFileName);
    DeleteFileW((testsupport::LogFolder() + L"\\" + side.cFileName).c_str());
  }
  EXPECT_EQ(testsupport::ProcessesRunning(Inst(L"PelliWareden.exe")).size(), 1u);
}

// A patch file changed after its hash was recorded (a package cut short on the way, or changed in
// a folder any user may write) stops the run before anything is stopped, moved or copied; the
// file as recorded is applied as without a hash.
TEST_F(PatchRunTest, RecordedHashesAreCheckedBeforeAnythingIsTouched) {
  package_.AddPatchFile(L"a.txt", "new a");
  const std::string recorded = testsupport::Sha256Of(Src(L"a.txt"));
  package_.WriteConf(R"({"patch_list": [{ "src": "a.txt", "dest": "a.txt", "sha256": ")" +
                     recorded + "\" }]}");
  package_.AddPatchFile(L"a.txt", "new a, changed since");
  testsupport::WriteBytes(Inst(L"a.txt"), "old a");
  testsupport::StandIn product(Inst(L"PelliWareden.exe"));
  const auto before = testsupport::SnapshotTree(installDir_);
  ASSERT_EQ(Run(), "0");
  EXPECT_EQ(testsupport::SnapshotTree(installDir_), before);
  EXPECT_TRUE(product.Running()) << "the product was stopped for a package that is not as recorded";
  const std::vector<std::string> expected = {
      "[Common]Enter.", ConfPathLine(),
      "[Error]Patch file[" + NarrowToUtf8(Src(L"a.txt")) + "] sha256[" + testsupport::Sha256Of(Src(L"a.txt")) +
          "] differs from conf.json sha256[" + recorded + "].",
      "[Error]Start Patch failed.", kEndLine};
  EXPECT_EQ(PatchRunLines(), expected);

  package_.AddPatchFile(L"a.txt", "new a");
  testsupport::ClearLog();
  ASSERT_EQ(Run(), "0");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"a.txt")), "new a");
  EXPECT_EQ(testsupport::CountContaining(PatchRunLines(), "[Common]Patch successful."), 1u);
}

std::string HashOf(const std::string& bytes) {
  std::string hex;
  DWORD error = 0;
  EXPECT_TRUE(HashBytesSha256(bytes, hex, error)) << error;
  return hex;
}

// Encoded patch files are decoded into the copies before the stop, reading the installed files
// where they are (the product holds them); a base that is not the installed file, or a patch
// file that does not decode, ends the run before anything is stopped or touched.
TEST_F(PatchRunTest, EncodedPatchFilesAreDecodedAgainstTheInstalledFiles) {
  const std::string oldB = "old b, the first version", newB = "new b, the second version!";
  const std::string oldLib = "library 1.0 bytes", newLib = "library 1.1 bytes, longer";
  package_.AddPatchFile(L"a.zst", testsupport::CompressedPatch("new a"));
  package_.AddPatchFile(L"b.dif", testsupport::DifferencePatch(oldB, newB));
  package_.AddPatchFile(L"lib.dif", testsupport::DifferencePatch(oldLib, newLib));
  const std::string conf =
      R"({"patch_list": [{"src": "a.zst", "dest": "a.txt", "encoding": "compressed", "sha256": ")" +
      HashOf("new a") + R"("}, {"src": "b.dif", "dest": "b.txt", "encoding": "difference", "sha256": ")" +
      HashOf(newB) + R"(", "base_sha256": ")" + HashOf(oldB) +
      R"("}, {"src": "lib.dif", "dest": "lib-1.1.dll", "encoding": "difference", "sha256": ")" +
      HashOf(newLib) + R"(", "base_sha256": ")" + HashOf(oldLib) +
      R"(", "base": "lib-1.0.dll"}, {"action": "remove", "src": [], "dest": "lib-1.0.dll"}]})";
  package_.WriteConf(conf);
  testsupport::WriteBytes(Inst(L"b.txt"), "old b, changed by hand");
  testsupport::WriteBytes(Inst(L"lib-1.0.dll"), oldLib);
  testsupport::StandIn product(Inst(L"PelliWareden.exe"));
  const auto before = testsupport::SnapshotTree(installDir_);
  ASSERT_EQ(Run(), "0");
  EXPECT_EQ(testsupport::SnapshotTree(installDir_), before);
  EXPECT_TRUE(product.Running()) << "the product was stopped for a base that is not installed";
  const std::string notBase = "[Error]Base file[" + NarrowToUtf8(Inst(L"b.txt")) + "] sha256[" +
                              HashOf("old b, changed by hand") +
                              "] is not the base of patch file[" + NarrowToUtf8(Src(L"b.dif")) +
                              "], sha256[" + HashOf(oldB) + "].";
  EXPECT_EQ(testsupport::CountContaining(PatchRunLines(), notBase), 1u)
      << testsupport::Join(PatchRunLines());

  // A patch file cut short does not decode: nothing is touched either.
  testsupport::WriteBytes(Inst(L"b.txt"), oldB);
  const std::string cut = testsupport::DifferencePatch(oldB, newB);
  package_.AddPatchFile(L"b.dif", cut.substr(0, cut.size() - 3));
  const auto again = testsupport::SnapshotTree(installDir_);
  testsupport::ClearLog();
  ASSERT_EQ(Run(), "0");
  EXPECT_EQ(testsupport::SnapshotTree(installDir_), again);
  EXPECT_EQ(testsupport::CountContaining(PatchRunLines(), "[Error]Decode file failed, from[" +
                                                              NarrowToUtf8(Src(L"b.dif")) + "]"),
            1u)
      << testsupport::Join(PatchRunLines());

  package_.AddPatchFile(L"b.dif", cut);
  testsupport::ClearLog();
  ASSERT_EQ(Run(), "0");
  const std::vector<std::string> lines = PatchRunLines();
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"a.txt")), "new a");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"b.txt")), newB);
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"b.txt") + kBak), oldB);
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"lib-1.1.dll")), newLib);
  EXPECT_FALSE(testsupport::Exists(Inst(L"lib-1.0.dll")));
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"lib-1.0.dll") + kBak), oldLib);
  EXPECT_EQ(testsupport::CountContaining(
                lines, "[Common]Decode file successful, from[" + NarrowToUtf8(Src(L"lib.dif")) +
                           "] and base[" + NarrowToUtf8(Inst(L"lib-1.0.dll")) + "] to[" +
                           NarrowToUtf8(Inst(L"lib-1.1.dll")) + ".220620.patch.part], sha256[" +
                           HashOf(newLib) + "]."),
            1u)
      << testsupport::Join(lines);
  EXPECT_EQ(testsupport::CountContaining(lines, CopyLine(L"a.zst", L"a.txt")), 1u);
  EXPECT_EQ(testsupport::CountContaining(lines, "[Common]Patch successful."), 1u);
}

// A patch file swapped after its copy was checked (here by an earlier entry that writes into
// the package itself) changes nothing: the checked copy, made before the product was stopped,
// is what is installed.
TEST_F(PatchRunTest, TheCheckedCopyIsWhatIsInstalled) {
  package_.AddPatchFile(L"b.txt", "new b");
  package_.AddPatchFile(L"swap.txt", "swapped b");
  const std::string recorded = testsupport::Sha256Of(Src(L"b.txt"));
  package_.WriteConf(R"({"patch_list": [{ "src": "swap.txt", "dest": "..\\pkg\\patchfile\\b.txt" },
                       { "src": "b.txt", "dest": "b.txt", "sha256": ")" +
                     recorded + "\" }]})");
  testsupport::WriteBytes(Inst(L"b.txt"), "old b");
  ASSERT_EQ(Run(), "0");
  EXPECT_EQ(testsupport::ReadBytes(Src(L"b.txt")), "swapped b");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"b.txt")), "new b");
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"b.txt") + kBak), "old b");
  EXPECT_FALSE(testsupport::Exists(Inst(L"b.txt") + L".220620.patch.part"));
  const std::vector<std::string> lines = PatchRunLines();
  EXPECT_EQ(testsupport::CountContaining(lines, "[Common]Patch successful."), 1u)
      << testsupport::Join(lines);
}

// Milliseconds of the day of the first (or `last`) log line that contains `part`.
long StampOf(const std::vector<std::string>& lines, const std::string& part, bool last = false) {
  long found = -1, hour = 0, minute = 0, second = 0, millisecond = 0;
  for (const std::string& line : lines) {
    if (line.find(part) == std::string::npos ||
        std::sscanf(line.c_str() + 6, "%2ld:%2ld:%2ld:%3ld", &hour, &minute, &second,
                    &millisecond) != 4) {
      continue;
    }
    found = ((hour * 60 + minute) * 60 + second) * 1000 + millisecond;
    if (!last) break;
  }
  return found;
}

// The product is stopped only while the destinations are swapped: the copies, their flush and
// their hash come before the first kill.
TEST_F(PatchRunTest, TheProductIsStoppedOnlyForTheSwap) {
  testsupport::MakeFileOfSize(Src(L"big.bin"), "big", 48u << 20);
  package_.WriteConf(R"({"patch_list": [{ "src": "big.bin", "dest": "big.bin", "sha256": ")" +
                     testsupport::Sha256Of(Src(L"big.bin")) + "\" }]}");
  testsupport::WriteBytes(Inst(L"big.bin"), "old big");
  testsupport::StandIn product(Inst(L"PelliWareden.exe"));
  ASSERT_EQ(Run(), "0");
  const std::vector<std::string> lines =
      testsupport::SplitLines(testsupport::ReadBytes(testsupport::LogPath()));
  const long read = StampOf(lines, "conf file pah["), kill = StampOf(lines, "process name:");
  const long swapped = StampOf(lines, "Copy file successful", true);
  ASSERT_TRUE(read >= 0 && kill >= 0 && swapped >= 0) << testsupport::Join(lines);
  EXPECT_LT(swapped - kill, kill - read)
      << "stopped " << swapped - kill << " ms, copying before " << kill - read << " ms:\n"
      << testsupport::Join(lines);
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"big.bin")).size(), 48u << 20);
}

// A sealed runner refuses every conf.json but its own before anything is touched: one byte more,
// an entry added, a hash changed; and its own when an entry has no hash. (Sealed packages that
// apply: PatchMake's test.)
TEST_F(PatchRunTest, ASealedRunnerRefusesEveryOtherConfBeforeAnythingIsTouched) {
  package_.AddPatchFile(L"a.txt", "new a");
  package_.AddPatchFile(L"b.txt", "new b");
  const std::wstring conf = Src(L"conf.json");
  const auto entry = [this](const char* name, const std::wstring& hashOf) {
    return std::string(R"({ "src": ")") + name + R"(", "dest": ")" + name + R"(", "sha256": ")" +
           testsupport::Sha256Of(Src(hashOf)) + "\" }";
  };
  const auto sealWith = [&](const std::string& text) {
    package_.WriteConf(text);
    SealLocation at;
    std::string error;
    ASSERT_TRUE(FindSealInFile(package_.exe, at, error)) << error;
    ASSERT_TRUE(WriteChangedCopy(package_.exe, package_.exe,
                                 {{at.offset, SealFromHex(testsupport::Sha256Of(conf))}}, error))
        << error;
  };
  const std::string sealed = R"({"patch_list": [)" + entry("a.txt", L"a.txt") + "]}";
  sealWith(sealed);
  const std::string seal = testsupport::Sha256Of(conf);
  testsupport::WriteBytes(Inst(L"a.txt"), "old a");
  testsupport::StandIn product(Inst(L"PelliWareden.exe"));
  const auto before = testsupport::SnapshotTree(installDir_);
  for (const std::string& other :
       {sealed + "\n",
        R"({"patch_list": [)" + entry("a.txt", L"a.txt") + "," + entry("b.txt", L"b.txt") + "]}",
        R"({"patch_list": [)" + entry("a.txt", L"b.txt") + "]}"}) {
    SCOPED_TRACE(other);
    package_.WriteConf(other);
    testsupport::ClearLog();
    ASSERT_EQ(Run(), "0");
    EXPECT_EQ(testsupport::SnapshotTree(installDir_), before);
    EXPECT_TRUE(product.Running())
        << "the product was stopped for a conf.json it was not sealed for";
    const std::vector<std::string> expected = {"[Common]Enter.", ConfPathLine(),
                                               "[Error]conf file[" + NarrowToUtf8(conf) +
                                                   "] sha256[" + testsupport::Sha256Of(conf) +
                                                   "] differs from the seal sha256[" + seal + "].",
                                               "[Error]ParseConf failed.", kEndLine};
    EXPECT_EQ(PatchRunLines(), expected);
  }

  sealWith(R"({"patch_list": [{ "src": "a.txt", "dest": "a.txt" }]})");
  testsupport::ClearLog();
  ASSERT_EQ(Run(), "0");
  EXPECT_EQ(testsupport::SnapshotTree(installDir_), before);
  EXPECT_TRUE(product.Running());
  const std::vector<std::string> expected = {
      "[Common]Enter.",
      ConfPathLine(),
      "[Common]conf file sha256[" + testsupport::Sha256Of(conf) + "] matches the seal.",
      "[Error]conf json parse failed, a value is outside the format.",
      "[Error]ParseConf failed.",
      kEndLine};
  EXPECT_EQ(PatchRunLines(), expected);
}

// A short (8.3) spelling of InstallDir names the same files: the product is still recognised,
// and stopped before its files are replaced.
TEST_F(PatchRunTest, AShortSpellingOfInstallDirStillStopsTheProduct) {
  package_.WriteConf(R"({"patch_list": [{ "src": "a.txt", "dest": "a.txt" }]})");
  package_.AddPatchFile(L"a.txt", "new a");
  testsupport::StandIn product(Inst(L"PelliWareden.exe"));
  wchar_t shortDir[MAX_PATH + 1] = {};
  ASSERT_GT(GetShortPathNameW(installDir_.c_str(), shortDir, MAX_PATH), 0u);
  ASSERT_FALSE(EqualsIgnoringAsciiCase(shortDir, installDir_)) << "no short name to test with";
  key_.SetString(kInstallDirValue, shortDir);
  ASSERT_EQ(Run(), "0");
  EXPECT_FALSE(product.Running()) << "the product ran on while its files were replaced";
  EXPECT_EQ(testsupport::ProcessesRunning(Inst(L"PelliWareden.exe")).size(), 1u);
  EXPECT_EQ(testsupport::ReadBytes(Inst(L"a.txt")), "new a");
}

TEST_F(PatchRunTest, ConfigurationProblemsEndTheRunBeforeAnythingIsTouched) {
  testsupport::StandIn product(Inst(L"PelliWareden.exe"));
  const struct {
    const char* conf;  // nullptr: no conf.json
    std::string error;
  } cases[] = {
      {nullptr, "[Error]inst conf is not exist."},
      {"\xEF\xBB\xBF{\"patch_list\":[]}", "[Error]conf json parse failed."},
      {"{\"patch_list\":{}}", "[Error]conf json parse failed \"patch_list\" is not array."},
      {"[{\"src\":\"a\",\"dest\":\"b\"}]",
       "[Error]conf json parse failed, a value is outside the format."},
      {"{\"patch_list\":[{\"src\":[],\"dest\":\"b\"}]}",
       "[Error]conf json parse failed, a value is outside the format."},
      {"{\"patch_list\":[{\"src\":\"a\",\"dest\":\"b\",\"sha256\":\"0a1b\"}]}",
       "[Error]conf json parse failed, a value is outside the format."},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.error);
    testsupport::ClearLog();
    DeleteFileW((package_.patchDir + L"\\conf.json").c_str());
    if (test.conf != nullptr) package_.WriteConf(test.conf);
    ASSERT_EQ(Run(), "0");
    const std::vector<std::string> expected = {"[Common]Enter.", ConfPathLine(), test.error,
                                               "[Error]ParseConf failed.", kEndLine};
    EXPECT_EQ(PatchRunLines(), expected);
    EXPECT_TRUE(product.Running());
  }
}

}  // namespace
