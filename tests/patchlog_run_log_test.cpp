#include "tools/patchlog/run_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log/log_readers.h"
#include "platform/text.h"

namespace {

// The lines of a log, each message given without its stamp.
RunEvidence Read(const std::vector<std::string>& messages) {
  RunEvidence run;
  for (const std::string& message : messages) AddLine(run, {"03-07 14:05:09:083", message});
  return run;
}

const std::string kBegin = std::string(kBeginBanner, std::strlen(kBeginBanner) - 1);
const std::string kEnd = std::string(kEndBanner, std::strlen(kEndBanner) - 1);

TEST(RunLog, VerdictsFollowTheRunnersOwnLines) {
  const std::string lazy = NarrowToUtf8(kMagicOpenMessage);
  const struct {
    std::vector<std::string> messages;
    RunVerdict expected;
    size_t errors, skipped;
  } cases[] = {
      {{kBegin, "[Common]Patch successful.", kEnd}, RunVerdict::kSucceeded, 0, 0},
      {{lazy, "[Common]Patch successful.", kEnd}, RunVerdict::kSucceeded, 0, 0},
      {{kBegin, "[Error]Patch file[C:\\p\\a] is not exist.", "[Common]Patch successful.", kEnd},
       RunVerdict::kSucceededWithSkips, 1, 1},
      {{kBegin, "[Error]Start Patch failed.", kEnd}, RunVerdict::kFailed, 1, 0},
      // The restarted program outlives the runner's wait: expected, not an error of the run.
      {{kBegin, "[Error]failed to call WaitForSingleObject, waitcode:258, lasterr:0.",
        "[Error]failed to call WaitForSingleObject, waitcode:4294967295, lasterr:6.",
        "[Common]Patch successful.", kEnd},
       RunVerdict::kSucceeded, 1, 0},
      {{kBegin, "[Common]Patch successful."}, RunVerdict::kIncomplete, 0, 0},
      // A later run starts the evidence anew; nothing of a run comes after its END.
      {{kBegin, "[Error]x", kEnd, kBegin}, RunVerdict::kIncomplete, 0, 0},
      {{kBegin, "[Common]Patch successful.", kEnd, "[Error]stray"}, RunVerdict::kSucceeded, 0, 0},
      // Lines that only look like the runner's count for nothing.
      {{kBegin, "[Common]Patch successful. ", "[Error]Patch file[a] is not exist", kEnd},
       RunVerdict::kFailed, 1, 0},
      {{"not a log"}, RunVerdict::kNoRun, 0, 0},
  };
  for (const auto& c : cases) {
    const RunEvidence run = Read(c.messages);
    SCOPED_TRACE(c.messages.size() > 1 ? c.messages[1] : c.messages[0]);
    EXPECT_EQ(VerdictName(JudgeRun(run)), std::string(VerdictName(c.expected)));
    EXPECT_EQ(run.errors.size(), c.errors);
    EXPECT_EQ(run.skipped, c.skipped);
  }
  // A run without its start continues the older generation; a file with its own start does not.
  const RunEvidence older = Read({kBegin, "[Error]Patch file[a] is not exist."});
  const RunEvidence later = Read({"[Common]Patch successful.", kEnd});
  const RunEvidence whole = ContinueRun(older, later);
  EXPECT_EQ(JudgeRun(whole), RunVerdict::kSucceededWithSkips);
  EXPECT_TRUE(whole.started);
  const RunEvidence alone = Read({kBegin, "[Error]Start Patch failed.", kEnd});
  EXPECT_EQ(JudgeRun(ContinueRun(older, alone)), RunVerdict::kFailed);

  // Stamps leave out the year: the file's last write gives it, the year before for a later month.
  EXPECT_EQ(IsoStamp("03-07 14:05:09:083", 2026, 3), "2026-03-07T14:05:09.083");
  EXPECT_EQ(IsoStamp("12-31 23:59:59:999", 2027, 1), "2026-12-31T23:59:59.999");
  EXPECT_EQ(IsoStamp("13-07 14:05:09:083", 2026, 3), "");
  EXPECT_EQ(IsoStamp("03-07 14:05:09", 2026, 3), "");
}

}  // namespace
