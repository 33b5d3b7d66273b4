#include "tools/patchundo/undo_plan.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UndoDecision, OnlyWhatTheRecordSaysTheRunDidAndOnlyWhereItStillIs) {
  using A = RecordedAction;
  using H = DestinationHolds;
  using U = UndoAction;
  const struct {
    A recorded;
    H holds;
    bool backup;
    U expected, withRemoveAdded;
  } rows[] = {
      {A::kMovedThenCopied, H::kInstalledFile, true, U::kRestore, U::kRestore},
      {A::kMovedThenCopied, H::kMissing, true, U::kRestore, U::kRestore},  // cut off mid-swap
      {A::kMovedThenCopied, H::kOtherFile, true, U::kLeaveAlone, U::kLeaveAlone},  // newer
      {A::kMovedThenCopied, H::kInstalledFile, false, U::kLeaveAlone, U::kLeaveAlone},
      // No backup and not the installed file: put back by an undo that was cut off.
      {A::kMovedThenCopied, H::kOtherFile, false, U::kGone, U::kGone},
      {A::kMovedThenCopied, H::kMissing, false, U::kGone, U::kGone},
      {A::kCopied, H::kInstalledFile, false, U::kKeepAdded, U::kRemove},
      {A::kCopied, H::kOtherFile, true, U::kLeaveAlone, U::kLeaveAlone},  // not the run's
      // A later package moved the run's file aside and installed its own copy of the same bytes.
      {A::kCopied, H::kInstalledFile, true, U::kLeaveAlone, U::kLeaveAlone},
      {A::kCopied, H::kOtherFile, false, U::kGone, U::kGone},
      {A::kCopied, H::kMissing, false, U::kGone, U::kGone},
      // A backup someone else left is never the run's to put back.
      {A::kSkippedBackupExists, H::kInstalledFile, true, U::kNothing, U::kNothing},
      {A::kSkippedMissingFile, H::kOtherFile, true, U::kNothing, U::kNothing},
      {A::kNotReached, H::kOtherFile, true, U::kNothing, U::kNothing},
      {A::kFailed, H::kOtherFile, true, U::kNothing, U::kNothing},
      // A removal goes back only into its empty place; a folder only when the run made it and
      // nothing is left in it.
      {A::kRemoved, H::kMissing, true, U::kRestore, U::kRestore},
      {A::kRemoved, H::kOtherFile, true, U::kLeaveAlone, U::kLeaveAlone},
      {A::kRemoved, H::kMissing, false, U::kLeaveAlone, U::kLeaveAlone},
      {A::kRemoved, H::kOtherFile, false, U::kGone, U::kGone},
      {A::kFolderMade, H::kEmptyFolder, false, U::kRemoveFolder, U::kRemoveFolder},
      {A::kFolderMade, H::kFolder, false, U::kLeaveAlone, U::kLeaveAlone},
      {A::kFolderMade, H::kOtherFile, false, U::kLeaveAlone, U::kLeaveAlone},
      {A::kFolderMade, H::kMissing, false, U::kGone, U::kGone},
      {A::kSkippedFolderExists, H::kEmptyFolder, false, U::kNothing, U::kNothing},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(RecordedActionName(row.recorded)) + " backup " +
                 std::to_string(row.backup) + " holds " + std::to_string(static_cast<int>(row.holds)));
    const UndoDecision decided = DecideUndo(row.recorded, row.holds, row.backup, false);
    EXPECT_EQ(decided.action, row.expected);
    EXPECT_EQ(DecideUndo(row.recorded, row.holds, row.backup, true).action, row.withRemoveAdded);
    EXPECT_TRUE(decided.action != U::kLeaveAlone || !decided.reason.empty()) << "says why";
  }
}

}  // namespace
