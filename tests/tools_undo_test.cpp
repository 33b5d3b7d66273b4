#include "tools/undo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

InstalledEntry Installed(EntryRole role, Comparison holds, bool backup, size_t sameAs = 0) {
  InstalledEntry item;
  item.role = role;
  item.holds = holds;
  item.facts.backupPresent = backup;
  item.sameAs = sameAs;
  item.paths.destination = L"C:\\inst\\x";
  return item;
}

TEST(UndoPlan, EachEntryOnceLastFirstAndOnlyWhatTheRunDid) {
  const std::vector<InstalledEntry> installed = {
      Installed(EntryRole::kApplies, Comparison::kSame, true),          // replaced: back
      Installed(EntryRole::kApplies, Comparison::kSame, false),         // added by the package
      Installed(EntryRole::kApplies, Comparison::kDifferent, false),    // someone else's file
      Installed(EntryRole::kApplies, Comparison::kMissing, false),      // never there
      Installed(EntryRole::kSkipsMissing, Comparison::kSame, false),    // cannot tell
      Installed(EntryRole::kSkipsMissing, Comparison::kSame, true),     // a backup tells
      Installed(EntryRole::kSkipsRepeated, Comparison::kSame, true, 1),  // handled by entry 1
      Installed(EntryRole::kRefused, Comparison::kSame, true),          // never touched
      Installed(EntryRole::kApplies, Comparison::kUnreadable, false),
  };
  for (const bool removeAdded : {false, true}) {
    const std::vector<UndoStep> steps = UndoEntries(installed, removeAdded, false);
    std::vector<UndoAction> actions;
    for (const UndoStep& step : steps) actions.push_back(step.action);
    const std::vector<UndoAction> expected = {
        UndoAction::kLeaveAlone, UndoAction::kLeaveAlone, UndoAction::kSameAs,
        UndoAction::kRestore,    UndoAction::kLeaveAlone, UndoAction::kNothing,
        UndoAction::kLeaveAlone,
        removeAdded ? UndoAction::kRemove : UndoAction::kKeepAdded, UndoAction::kRestore};
    EXPECT_EQ(actions, expected) << "--remove-added " << removeAdded;
    EXPECT_TRUE(ChangesSomething(steps));
  }
  EXPECT_FALSE(ChangesSomething(UndoEntries({installed[2], installed[3]}, true, false)));
}

}  // namespace
