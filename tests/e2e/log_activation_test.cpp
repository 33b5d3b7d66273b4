#include <gtest/gtest.h>

#include <algorithm>

#include "log/log_internal.h"
#include "platform/text.h"
#include "tests/support/files.h"
#include "tests/support/log_files.h"
#include "tests/support/machine.h"
#include "tests/support/processes.h"

namespace {

class LogActivation : public testsupport::MachineTest {
 protected:
  // A package whose runner has its flag bytes set by `options`, as a package author sets them:
  // with patchflags.
  testsupport::Package FlaggedPackage(const std::wstring& options, bool withPatchFolder) const {
    const testsupport::Package package = testsupport::MakePackage(temp_ / L"pkg", withPatchFolder);
    EXPECT_EQ(testsupport::RunProgram(testsupport::BuiltFile(L"patchflags.exe"),
                                      L"\"" + package.exe + L"\" " + options),
              0u)
        << "patchflags " << NarrowToUtf8(options);
    return package;
  }

  // A run of a copied runner with its flags set by `options` and "EnableLogToView" at `value`:
  // the log opens at its first line.
  void ExpectLazilyOpenedLog(DWORD value, const std::wstring& options) const {
    testsupport::SetEnableLogToView(&value);
    EXPECT_EQ(testsupport::RunProgram(FlaggedPackage(options, true).exe), 0u);
    const auto messages = testsupport::ReadMessages();
    const std::string log = testsupport::Join(messages);
    ASSERT_GE(messages.size(), 2u) << log;
    EXPECT_EQ(messages.front(), testsupport::kMagicOpenMessage) << log;
    EXPECT_EQ(messages.back(), testsupport::Banner(kEndBanner)) << log;
    EXPECT_EQ(std::count(messages.begin(), messages.end(), testsupport::Banner(kBeginBanner)), 0)
        << "a lazily opened log got a BEGAIN line:\n"
        << log;
  }
};

TEST_F(LogActivation, AsBuiltTheLogOpensAtEntryBetweenBeginAndEnd) {
  testsupport::HookFixture hook;
  hook.Install();
  // No patch folder: the run ends early with an error line, which the hook must see.
  const testsupport::Package package = testsupport::MakePackage(temp_ / L"P\u00e4ck\u65e5", false);
  EXPECT_EQ(testsupport::RunProgram(package.exe), 0u);

  const auto messages = testsupport::ReadMessages();
  const std::string log = testsupport::Join(messages);
  ASSERT_GE(messages.size(), 2u) << log;
  EXPECT_EQ(messages.front(), testsupport::Banner(kBeginBanner)) << log;
  EXPECT_EQ(messages.back(), testsupport::Banner(kEndBanner)) << log;
  EXPECT_EQ(std::count(messages.begin(), messages.end(), testsupport::kMagicOpenMessage), 0) << log;
  EXPECT_NE(testsupport::CountContaining(messages, "PackageDir[" + NarrowToUtf8(package.dir)), 0u)
      << "the non-ASCII package folder is not in the log as UTF-8:\n"
      << log;

  const auto calls = hook.Calls();
  ASSERT_FALSE(calls.empty()) << "no error line reached the hook";
  for (const auto& call : calls) {
    EXPECT_EQ(call.second, L"Patch_Patch");
    EXPECT_EQ(call.first.rfind(L"[Error]", 0), 0u) << NarrowToUtf8(call.first);
    EXPECT_EQ(call.first.find(L'\n'), std::wstring::npos) << NarrowToUtf8(call.first);
    const std::string line = NarrowToUtf8(call.first);
    EXPECT_NE(std::find(messages.begin(), messages.end(), line), messages.end())
        << "hook message not in the log: " << line;
  }
}

TEST_F(LogActivation, LogEnabledInTheFileOpensOnTheFirstLineEvenWithTheSwitchAtZero) {
  ExpectLazilyOpenedLog(0, L"--magic-debug=0 --log-enabled=1");
}

TEST_F(LogActivation, TheRegistrySwitchOpensALogThatTheFileLeavesOff) {
  ExpectLazilyOpenedLog(1, L"--magic-debug=0");
}

TEST_F(LogActivation, WithEverySwitchOffNothingIsCreatedAndNoHookLoaded) {
  testsupport::RemoveTree(testsupport::LogFolder());
  ASSERT_FALSE(testsupport::Exists(testsupport::LogFolder()));
  testsupport::HookFixture hook;
  hook.Install();
  // Without a patch folder the run has an error line to hand to a hook.
  EXPECT_EQ(testsupport::RunProgram(FlaggedPackage(L"--magic-debug=0", false).exe), 0u);
  EXPECT_FALSE(testsupport::Exists(testsupport::LogFolder())) << "the log folder was created";
  EXPECT_FALSE(testsupport::Exists(testsupport::LogPath())) << "a log file was created";
  EXPECT_FALSE(hook.Called()) << "the hook library was called with the log off";
}

}  // namespace
