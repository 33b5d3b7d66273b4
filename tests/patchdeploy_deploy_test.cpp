#include "tools/patchdeploy/deploy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PatchDeploy, TheInstallVerdictIsThisRunsRecordOrTheLockThatKeptItOut) {
  using S = RecordState;
  const RecordRead found = RecordRead::kFound, missing = RecordRead::kMissing;
  const wchar_t* const atStart = L"2026-12-08T03:00:05Z";
  const wchar_t* const later = L"2026-12-08T03:00:06Z";  // the record is an earlier run's
  const struct {
    RecordRead read;
    RecordState state;
    const wchar_t* startedAfter;
    bool unchanged;
    bool keptOut;
    int code;
  } rows[] = {
      {found, S::kApplied, atStart, false, false, 0},
      {found, S::kApplied, atStart, true, false, 0},  // two runs in one second
      {found, S::kApplied, later, false, false, 1603},
      {found, S::kApplied, later, false, true, 1618},
      {found, S::kFailed, atStart, true, true, 1618},  // an earlier run's, in the same second
      {found, S::kApplying, atStart, false, false, 1603},
      {found, S::kFailed, atStart, false, true, 1603},
      {found, S::kSkipped, atStart, false, false, 1603},
      {found, S::kPartlyUndone, atStart, false, false, 1603},
      {missing, S::kApplied, atStart, false, true, 1618},
      {missing, S::kApplied, atStart, false, false, 1603},
      {RecordRead::kUnreadable, S::kApplied, atStart, false, false, 1603},
  };
  for (const auto& row : rows) {
    RunRecord record;
    record.started = atStart;
    record.state = row.state;
    const InstallVerdict verdict =
        JudgeInstall(row.read, record, row.startedAfter, row.unchanged, row.keptOut);
    EXPECT_EQ(InstallExitCode(verdict), row.code)
        << static_cast<int>(row.read) << " " << RecordStateName(row.state) << " " << row.unchanged
        << row.keptOut << ": " << InstallVerdictText(verdict);
  }
}

TEST(PatchDeploy, OnlyThisPackagesWaitFollowedByAGiveUpMeansKeptOut) {
  const std::string wait =
      "12-08 03:00:00:001: [Common]Another patch run held the machine: waited 60000 ms, "
      "package[C:\\Pkg\\].\n";
  const std::string other =
      "12-08 03:00:00:002: [Common]Another patch run held the machine: waited 60000 ms, "
      "package[C:\\Pkg\\Other\\].\n";
  const std::string busy =
      "12-08 03:01:00:001: [Error]Another patch run still holds the machine after 60000 ms, "
      "exit.\n";
  const std::wstring dir = L"C:\\Pkg\\";
  EXPECT_TRUE(LogSaysKeptOut(other + wait + "12-08 03:00:01:000: [Common]x\n" + busy, dir));
  EXPECT_FALSE(LogSaysKeptOut(wait, dir)) << "it waited, then got in";
  EXPECT_FALSE(LogSaysKeptOut(busy + wait, dir)) << "that give-up was an earlier run's";
  EXPECT_FALSE(LogSaysKeptOut(other + busy, dir)) << "another package's wait";
}

TEST(PatchDeploy, UninstallAndDetectionTellOnlyWhatIsSo) {
  TakeBack outcome;
  EXPECT_EQ(UninstallExitCode(outcome), 0);
  outcome.error = "a patch run still holds the machine";
  EXPECT_TRUE(SameRun(RecordRead::kFound, RunRecord(), RecordRead::kFound, RunRecord()));
  EXPECT_FALSE(SameRun(RecordRead::kMissing, RunRecord(), RecordRead::kFound, RunRecord()));
  EXPECT_EQ(UninstallExitCode(outcome), 1603);
  outcome.lockBusy = true;
  EXPECT_EQ(UninstallExitCode(outcome), 1618);

  VerifyReport report;
  report.packageId = "ab12";
  report.recordRead = RecordRead::kFound;
  report.record.state = RecordState::kApplied;
  report.applied = true;
  EXPECT_NE(DetectionLine(report).find("package ab12"), std::string::npos);
  report.applied = false;
  EXPECT_EQ(DetectionLine(report), "") << "a file changed since the run";
  report.applied = true;
  report.record.state = RecordState::kPartlyUndone;
  EXPECT_EQ(DetectionLine(report), "") << "an undo took some of it back";
}

}  // namespace
