#include "package/plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One row: the entries' dests and facts, and what a run does with each ("move", "copy", ...;
// "=N" after it when the entry names the same file as entry N, counted from 1).
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
// p patch file (P: a folder), x device or stream.
EntryFacts Facts(const char* flags) {
  EntryFacts facts;
  for (const char* c = flags; *c != '\0'; ++c) {
    switch (*c) {
      case 'd': facts.destination = PathKind::kFile; break;
      case 'D': facts.destination = PathKind::kFolder; break;
      case 'b': facts.backupPresent = true; break;
      case 'f': facts.destinationFolderPresent = true; break;
      case 'p': facts.patchFile = PathKind::kFile; break;
      case 'P': facts.patchFile = PathKind::kFolder; break;
      case 'x': facts.refusedName = true; break;
    }
  }
  return facts;
}

const char* Name(EntryAction action) {
  switch (action) {
    case EntryAction::kRefuse: return "refuse";
    case EntryAction::kSkipMissingFile: return "missing";
    case EntryAction::kSkipBackupExists: return "patched";
    case EntryAction::kCopy: return "copy";
    case EntryAction::kMoveThenCopy: return "move";
    case EntryAction::kCopyFails: return "fails";
    case EntryAction::kNotReached: break;
  }
  return "-";
}

std::string Describe(const std::vector<PlannedEntry>& plan) {
  std::string text;
  for (const PlannedEntry& step : plan) {
    if (!text.empty()) text += " ";
    text += Name(step.action);
    if (step.action == EntryAction::kCopyFails && step.movesAside) text += "+back";
    if (step.sameAs != kNoEntry) text += "=" + std::to_string(step.sameAs + 1);
  }
  return text;
}

TEST(PlanEntries, EveryRowOfWhatARunDoesWithAnEntry) {
  const Row rows[] = {
      {"new file", {{"a", Facts("pf")}}, "copy"},
      {"replaced file", {{"a", Facts("pdf")}}, "move"},
      {"patched before", {{"a", Facts("pdbf")}}, "patched"},
      {"backup without destination (a stopped run)", {{"a", Facts("pbf")}}, "copy"},
      {"missing patch file, run goes on", {{"a", Facts("df")}, {"b", Facts("pf")}}, "missing copy"},
      {"destination is a folder", {{"sub", Facts("pDf")}}, "move"},
      {"folder as patch file", {{"a", Facts("Pdf")}, {"b", Facts("pf")}}, "fails+back -"},
      {"no destination folder", {{"a\\b", Facts("p")}, {"c", Facts("pf")}}, "fails -"},
      {"refused in the middle",
       {{"a", Facts("pf")}, {"NUL.txt", Facts("x")}, {"c", Facts("pdf")}},
       "copy refuse -"},
      {"repeated, existing: the second finds the first's backup",
       {{"a", Facts("pdf")}, {"A", Facts("pdf")}},
       "move patched=1"},
      {"repeated, new: the second moves the first's file aside",
       {{"a", Facts("pf")}, {"a", Facts("pf")}, {"a", Facts("pf")}},
       "copy move=1 patched=1"},
      {"repeated, spelled otherwise", {{"x\\..\\a.", Facts("pdf")}, {"a", Facts("pdf")}},
       "move patched=1"},
      {"repeated after a missing patch file", {{"a", Facts("df")}, {"a", Facts("pdf")}},
       "missing move"},
      {"not reached still tells repeats", {{"a", Facts("pdf")}, {"b", Facts("P")}, {"a", Facts("")}},
       "move fails -=1"},
  };
  for (const Row& row : rows) {
    PatchList entries;
    std::vector<EntryFacts> facts;
    for (const Entry& entry : row.entries) {
      entries.push_back({"src", entry.dest});
      facts.push_back(entry.facts);
    }
    EXPECT_EQ(Describe(PlanEntries(entries, facts)), row.expected) << row.name;
  }
}

TEST(PlanEntries, DestinationKeysNameTheFileTheSystemOpens) {
  EXPECT_EQ(DestinationKey(L"bin/./core.dll. "), L"bin\\core.dll");
  EXPECT_EQ(DestinationKey(L"a\\\\b\\..\\c"), L"a\\c");
  EXPECT_EQ(DestinationKey(L"..\\..\\x"), L"..\\..\\x") << "climbing out is kept";
  EXPECT_EQ(DestinationKey(L""), L"");
}

}  // namespace
