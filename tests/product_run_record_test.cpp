#include "product/run_record.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "platform/handle.h"
#include "platform/text.h"
#include "product/record_key.h"

namespace {

RecordedEntry Entry(RecordedAction action, char fill = 0) {
  RecordedEntry entry;
  entry.action = action;
  if (fill != 0) entry.installed = Sha256Of(std::string(64, fill));
  return entry;
}

TEST(RunRecordEntries, KeepTheirSizeWhateverThePathsAndReadBackAsWritten) {
  using A = RecordedAction;
  const std::vector<RecordedEntry> entries = {Entry(A::kMovedThenCopied, 'a'),
                                              Entry(A::kCopied, '0'), Entry(A::kNotReached)};
  const std::string bytes = EncodeEntries(entries);
  EXPECT_EQ(bytes.size(), 3u * 34u);
  std::vector<RecordedEntry> read;
  ASSERT_TRUE(DecodeEntries(bytes, read));
  EXPECT_EQ(EncodeEntries(read), bytes);
  ASSERT_EQ(read.size(), 3u);
  EXPECT_EQ(std::string(read[0].installed.bytes.data(), 32), std::string(32, '\xAA'));
  EXPECT_FALSE(DecodeEntries(bytes.substr(1), read)) << "a cut record";
  std::string unknown = bytes;
  unknown[0] = 17;
  EXPECT_FALSE(DecodeEntries(unknown, read)) << "an action no run writes";
}

TEST(RunRecordEntries, ALaterRunKeepsTheAccountOfWhatAnEarlierRunInstalled) {
  using A = RecordedAction;
  const std::vector<RecordedEntry> earlier = {
      Entry(A::kMovedThenCopied, '1'), Entry(A::kCopied, '2'), Entry(A::kMovedThenCopied, '3'),
      Entry(A::kFailed), Entry(A::kNotReached), Entry(A::kCopied, '6'),
      Entry(A::kMovedThenCopied, '7'), Entry(A::kCopied, '8'), Entry(A::kRemoved),
      Entry(A::kFolderMade), Entry(A::kRemoved)};
  const std::vector<RecordedEntry> now = {
      Entry(A::kSkippedBackupExists),  // patched before: the earlier account stands
      Entry(A::kSkippedMissingFile),   // the same
      Entry(A::kCopied, '4'),          // copied over the earlier run's backup: still a move
      Entry(A::kCopied, '5'), Entry(A::kSkippedMissingFile),
      Entry(A::kFailed),  // stopped there before touching it
      // Planned into the empty place of the earlier file: its account, copy or not.
      Entry(A::kPlannedCopy, '9'),
      // The earlier file is gone from there: planned, to be read by the progress made.
      Entry(A::kPlannedMoveThenCopy, 'a'),
      // Removed and made before: found so now, the earlier account stands; removed again.
      Entry(A::kSkippedNothingToRemove), Entry(A::kSkippedFolderExists), Entry(A::kPlannedRemove)};
  const std::vector<RecordedEntry> merged = MergeEntries(earlier, now);
  const A expected[] = {A::kMovedThenCopied, A::kCopied, A::kMovedThenCopied, A::kCopied,
                        A::kSkippedMissingFile, A::kCopied, A::kMovedThenCopied,
                        A::kPlannedMoveThenCopy, A::kRemoved, A::kFolderMade, A::kPlannedRemove};
  const char installed[] = {'1', '2', '4', '5', 0, '6', '9', 'a', 0, 0, 0};
  for (size_t i = 0; i < merged.size(); ++i) {
    EXPECT_EQ(merged[i].action, expected[i]) << "entry " << i + 1;
    EXPECT_EQ(merged[i].installed.bytes, Entry(A::kCopied, installed[i]).installed.bytes)
        << "entry " << i + 1;
  }
  EXPECT_EQ(MergeEntries({Entry(A::kCopied, '1')}, now).size(), now.size())
      << "a record of another length is not merged";
}

TEST(RunRecordEntries, PlannedCopiesAreDoneUpToTheEntryTheRunReachedAndNotReachedAfter) {
  using A = RecordedAction;
  const std::vector<RecordedEntry> read =
      EntriesAsReached({Entry(A::kPlannedMoveThenCopy, '1'), Entry(A::kPlannedCopy, '2'),
                        Entry(A::kSkippedBackupExists), Entry(A::kPlannedCopy, '4'),
                        Entry(A::kMovedThenCopied, '5'), Entry(A::kPlannedRemove),
                        Entry(A::kPlannedFolder)},
                       2);
  const A expected[] = {A::kMovedThenCopied, A::kCopied, A::kSkippedBackupExists, A::kNotReached,
                        A::kMovedThenCopied, A::kNotReached, A::kNotReached};
  for (size_t i = 0; i < read.size(); ++i) EXPECT_EQ(read[i].action, expected[i]) << i + 1;
  EXPECT_EQ(read[3].installed.kind, InstalledFile::Kind::kNone) << "nothing of it installed";
  EXPECT_EQ(read[1].installed.bytes, Entry(A::kCopied, '2').installed.bytes);
  EXPECT_EQ(EntriesAsReached({Entry(A::kPlannedRemove), Entry(A::kPlannedFolder)}, 2)[1].action,
            A::kFolderMade);
  EXPECT_EQ(EntriesAsReached({Entry(A::kPlannedRemove)}, 1)[0].action, A::kRemoved);
}

TEST(RunRecordEntries, StoppedProgramsReadBackAsWrittenAndNothingElseIsRead) {
  const std::vector<RecordedProgram> programs = {{1, L"S-1-5-21-1-2-3-1001"}, {0, L""}};
  std::vector<RecordedProgram> read;
  ASSERT_TRUE(ParseStoppedText(StoppedText(programs), read));
  EXPECT_TRUE(read == programs);
  for (const wchar_t* bad : {L"x S-1\n", L" S-1\n", L"12\n"})
    EXPECT_FALSE(ParseStoppedText(bad, read)) << NarrowToUtf8(bad);
}

TEST(RunRecordEntries, AnUndoMarksWhatItTookBackAndTheRecordPartlyOrWhollyUndone) {
  using A = RecordedAction;
  RunRecord record;
  record.state = RecordState::kApplied;
  record.entries = {Entry(A::kMovedThenCopied, '1'), Entry(A::kCopied, '2'),
                    Entry(A::kSkippedBackupExists)};
  const RunRecord partly = RecordAfterUndo(record, {true, false, false}, L"T1");
  EXPECT_EQ(partly.entries[0].action, A::kTakenBack);
  EXPECT_EQ(partly.entries[0].installed.kind, InstalledFile::Kind::kNone);
  EXPECT_EQ(partly.entries[1].action, A::kCopied) << "kept: not taken back";
  EXPECT_EQ(partly.state, RecordState::kPartlyUndone) << "no longer applied once anything went";
  EXPECT_EQ(partly.undone, L"T1");
  EXPECT_EQ(RecordAfterUndo(partly, {true, false, false}, L"T9").undone, L"T1")
      << "an undo that took back nothing more changes nothing";
  const RunRecord whole = RecordAfterUndo(partly, {false, true, false}, L"T2");
  EXPECT_EQ(whole.state, RecordState::kUndone);
  EXPECT_EQ(whole.undone, L"T2");
  EXPECT_EQ(whole.entries[2].action, A::kSkippedBackupExists) << "never the run's to take back";
  record.entries = {Entry(A::kFolderMade)};
  EXPECT_EQ(RecordAfterUndo(record, {false}, L"T3").state, RecordState::kApplied)
      << "a folder the run made is left to take back";
}

constexpr SECURITY_INFORMATION kParts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Owner and DACL of HKLM\`path` as SDDL; "unreadable" when they cannot be read.
std::string KeySddl(const std::wstring& path) {
  RegistryKey key;
  DWORD descriptor[1024], size = sizeof(descriptor);
  LocalMemory text;
  const bool read =
      key.Open(path.c_str()) == ERROR_SUCCESS &&
      RegGetKeySecurity(key.Get(), kParts, descriptor, &size) == ERROR_SUCCESS &&
      ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, kParts, reinterpret_cast<LPWSTR*>(text.Put()), nullptr);
  return read ? NarrowToUtf8(static_cast<const wchar_t*>(text.Get())) : "unreadable";
}

TEST(RecordsKey, IsMadeProtectedForTheRunnerAndReadersBelieveNoOtherList) {
  const std::wstring records = L"SOFTWARE\\Norvale\\Wareden\\PatchesUnderTest";
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, records.c_str());
  EXPECT_STREQ(DescribeTrustRefusal(CheckRecordsKey(records.c_str())), "trusted") << "no key";
  RegistryKey key;
  ASSERT_EQ(CreateRecordKey(records, L"one", key), ERROR_SUCCESS);
  EXPECT_EQ(KeySddl(records), "O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)");
  EXPECT_STREQ(DescribeTrustRefusal(CheckRecordsKey(records.c_str())), "trusted");

  // Lists an earlier runner or an installer may have left.
  const char* writers = DescribeTrustRefusal(TrustRefusal::kForeignWriters);
  const struct {
    const wchar_t* sddl;
    const char* verdict;
  } lists[] = {{L"O:BAD:P(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;;0x2;;;BU)", writers},  // set value
               {L"O:BUD:P(A;CI;KA;;;BA)", "its owner is not a trusted account"},
               {L"O:BAD:P(A;CI;KA;;;BA)(A;CIIO;0x4;;;BU)", writers},  // in every record below
               {L"O:BAD:P(A;CI;KA;;;BA)(A;CI;0x20;;;WD)", writers}};  // create a link
  for (const auto& list : lists) {
    LocalMemory descriptor;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(list.sddl, SDDL_REVISION_1,
                                                                     descriptor.Put(), nullptr));
    EXPECT_STREQ(DescribeTrustRefusal(CheckKeyDescriptor(descriptor.Get(), CurrentTokenFacts())),
                 list.verdict)
        << NarrowToUtf8(list.sddl);
    if (&list != &lists[0]) continue;  // this one also as found on the key: judged, left alone
    ASSERT_EQ(key.Open(records.c_str(), WRITE_DAC | WRITE_OWNER), ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeySecurity(key.Get(), kParts, descriptor.Get()), ERROR_SUCCESS);
    EXPECT_EQ(CreateRecordKey(records, L"two", key), ERROR_SUCCESS);
    EXPECT_STREQ(DescribeTrustRefusal(CheckRecordsKey(records.c_str())), writers);
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, records.c_str());
}

}  // namespace
