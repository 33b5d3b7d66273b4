#include "package/plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace {

// One row: the entries' dests and facts, and what a run does with each (EntryActionName, with
// "+back" for a copy that fails over a destination moved aside, and "=N" when the entry names
// the same file as entry N, counted from 1).
struct Entry {
  const char* dest;
  EntryFacts facts;
};
struct Row {
  const char* name;
  std::vector<Entry> entries;
  const char* expected;
};

// The facts in short: d destination file, D destination folder, b backup, f folder present,
// p patch file (P: a folder), x device or stream, l a link at the partial name, i the file an
// earlier run of the package added, k a link at a removal's destination. A dest starting "rm:"
// is a removal, "md:" a folder entry.
EntryFacts Facts(const std::string& flags) {
  const auto has = [&flags](char c) { return flags.find(c) != std::string::npos; };
  EntryFacts facts;
  facts.destination = has('D')   ? PathKind::kFolder
                      : has('d') ? PathKind::kFile
                                 : PathKind::kMissing;
  facts.patchFile = has('P') ? PathKind::kFolder : has('p') ? PathKind::kFile : PathKind::kMissing;
  facts.backupPresent = has('b');
  facts.destinationFolderPresent = has('f');
  facts.refusedName = has('x');
  facts.partialLink = has('l');
  facts.installedByPackage = has('i');
  facts.destinationLink = has('k');
  return facts;
}

std::string Describe(const std::vector<PlannedEntry>& plan) {
  std::string text;
  for (const PlannedEntry& step : plan) {
    if (!text.empty()) text += " ";
    text += EntryActionName(step.action);
    if (step.action == EntryAction::kCopyFails && step.movesAside) text += "+back";
    if (step.sameAs != kNoEntry) text += "=" + std::to_string(step.sameAs + 1);
  }
  return text;
}

TEST(PlanEntries, EveryRowOfWhatARunDoesWithAnEntry) {
  const Row rows[] = {
      {"new file", {{"a", Facts("pf")}}, "copy"},
      {"replaced file", {{"a", Facts("pdf")}}, "move-then-copy"},
      {"patched before", {{"a", Facts("pdbf")}}, "skip-backup-exists"},
      {"backup without destination (a stopped run)", {{"a", Facts("pbf")}}, "copy"},
      {"missing patch file, run goes on",
       {{"a", Facts("df")}, {"b", Facts("pf")}},
       "skip-missing-file copy"},
      {"destination is a folder", {{"sub", Facts("pDf")}}, "move-then-copy"},
      {"folder as patch file",
       {{"a", Facts("Pdf")}, {"b", Facts("pf")}},
       "copy-fails+back not-reached"},
      {"no destination folder",
       {{"a\\b", Facts("p")}, {"c", Facts("pf")}},
       "copy-fails not-reached"},
      {"refused in the middle",
       {{"a", Facts("pf")}, {"NUL.txt", Facts("x")}, {"c", Facts("pdf")}},
       "copy refused not-reached"},
      {"repeated, existing: the second finds the first's backup",
       {{"a", Facts("pdf")}, {"A", Facts("pdf")}},
       "move-then-copy skip-backup-exists=1"},
      {"repeated, new: the second moves the first's file aside",
       {{"a", Facts("pf")}, {"a", Facts("pf")}, {"a", Facts("pf")}},
       "copy move-then-copy=1 skip-backup-exists=1"},
      {"repeated, spelled otherwise",
       {{"x\\..\\a.", Facts("pdf")}, {"a", Facts("pdf")}},
       "move-then-copy skip-backup-exists=1"},
      {"repeated after a missing patch file",
       {{"a", Facts("df")}, {"a", Facts("pdf")}},
       "skip-missing-file move-then-copy"},
      {"a link at the partial name", {{"a", Facts("pdfl")}}, "copy-fails"},
      {"added by an earlier run of the package, not moved aside by a second run",
       {{"a", Facts("pdfi")}, {"b", Facts("pdbfi")}},
       "skip-installed skip-backup-exists"},
      {"a dest that is an earlier entry's backup finds its original there",
       {{"a", Facts("pdf")}, {"a.220620.patch.bak", Facts("pf")}},
       "move-then-copy move-then-copy"},
      {"a backup named as an earlier dest exists once that one is copied",
       {{"a.220620.patch.bak", Facts("pf")}, {"a", Facts("pdf")}},
       "copy skip-backup-exists"},
      {"removals: moved aside, nothing there, patched before, a folder",
       {{"rm:a", Facts("df")}, {"rm:b", Facts("f")}, {"rm:c", Facts("dbf")}, {"rm:d", Facts("Df")}},
       "remove skip-missing skip-backup-exists refused"},
      {"removal of a link", {{"rm:a", Facts("dfk")}, {"b", Facts("pf")}}, "refused not-reached"},
      {"removed, then a new file of that name", {{"rm:a", Facts("df")}, {"a", Facts("pdf")}},
       "remove copy=1"},
      {"folders made for a copy, two levels, one there",
       {{"md:n", Facts("")}, {"md:n\\m", Facts("")}, {"n\\m\\c", Facts("p")}, {"md:e", Facts("D")}},
       "make-folder make-folder copy skip-exists"},
      {"a folder over a file", {{"md:a", Facts("d")}}, "refused"},
      {"folders and removals outside the installation",
       {{"md:x\\..\\..\\y", Facts("")}, {"rm:..", Facts("D")}},
       "refused not-reached"},
      {"not reached still tells repeats",
       {{"a", Facts("pdf")}, {"b", Facts("P")}, {"a", Facts("")}},
       "move-then-copy copy-fails not-reached=1"},
  };
  // Rows whose plan changes nothing: a run leaves the product running for them.
  const std::string unchanging[] = {"patched before",
                                    "added by an earlier run of the package, not moved aside "
                                    "by a second run"};
  for (const Row& row : rows) {
    PatchList entries;
    std::vector<EntryFacts> facts;
    for (const Entry& entry : row.entries) {
      const std::string dest = entry.dest;
      const EntryKind kind = dest.rfind("rm:", 0) == 0   ? EntryKind::kRemove
                             : dest.rfind("md:", 0) == 0 ? EntryKind::kFolder
                                                         : EntryKind::kCopy;
      entries.push_back({"src", kind == EntryKind::kCopy ? dest : dest.substr(3), "", kind});
      facts.push_back(entry.facts);
    }
    const std::vector<PlannedEntry> plan = PlanEntries(entries, facts);
    EXPECT_EQ(Describe(plan), row.expected) << row.name;
    EXPECT_EQ(ChangesNothing(plan), std::count(std::begin(unchanging), std::end(unchanging),
                                               row.name) == 1)
        << row.name;
  }
}


}  // namespace
