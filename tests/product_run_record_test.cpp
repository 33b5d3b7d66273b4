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
  unknown[0] = 9;
  EXPECT_FALSE(DecodeEntries(unknown, read)) << "an action no run writes";
}

TEST(RunRecordEntries, ALaterRunKeepsTheAccountOfWhatAnEarlierRunInstalled) {
  using A = RecordedAction;
  const std::vector<RecordedEntry> earlier = {
      Entry(A::kMovedThenCopied, '1'), Entry(A::kCopied, '2'), Entry(A::kMovedThenCopied, '3'),
      Entry(A::kFailed), Entry(A::kNotReached)};
  const std::vector<RecordedEntry> now = {
      Entry(A::kSkippedBackupExists),  // patched before: the earlier account stands
      Entry(A::kSkippedMissingFile),   // the same
      Entry(A::kCopied, '4'),          // copied over the earlier run's backup: still a move
      Entry(A::kCopied, '5'), Entry(A::kSkippedMissingFile)};
  const std::vector<RecordedEntry> merged = MergeEntries(earlier, now);
  const A expected[] = {A::kMovedThenCopied, A::kCopied, A::kMovedThenCopied, A::kCopied,
                        A::kSkippedMissingFile};
  const char installed[] = {'1', '2', '4', '5', 0};
  for (size_t i = 0; i < merged.size(); ++i) {
    EXPECT_EQ(merged[i].action, expected[i]) << "entry " << i + 1;
    EXPECT_EQ(merged[i].installed.bytes, Entry(A::kCopied, installed[i]).installed.bytes)
        << "entry " << i + 1;
  }
  EXPECT_EQ(MergeEntries({Entry(A::kCopied, '1')}, now).size(), now.size())
      << "a record of another length is not merged";
}

TEST(RunRecordEntries, AnUndoMarksWhatItTookBackAndTheRecordUndoneOnceNothingIsLeft) {
  using A = RecordedAction;
  RunRecord record;
  record.state = RecordState::kApplied;
  record.entries = {Entry(A::kMovedThenCopied, '1'), Entry(A::kCopied, '2'),
                    Entry(A::kSkippedBackupExists)};
  const RunRecord partly = RecordAfterUndo(record, {true, false, false}, L"T1");
  EXPECT_EQ(partly.entries[0].action, A::kTakenBack);
  EXPECT_EQ(partly.entries[0].installed.kind, InstalledFile::Kind::kNone);
  EXPECT_EQ(partly.entries[1].action, A::kCopied) << "kept: not taken back";
  EXPECT_EQ(partly.state, RecordState::kApplied);
  EXPECT_TRUE(partly.undone.empty());
  const RunRecord whole = RecordAfterUndo(partly, {false, true, false}, L"T2");
  EXPECT_EQ(whole.state, RecordState::kUndone);
  EXPECT_EQ(whole.undone, L"T2");
  EXPECT_EQ(whole.entries[2].action, A::kSkippedBackupExists) << "never the run's to take back";
}

// Owner and DACL as SDDL; "unreadable" when the platform cannot say.
std::string Sddl(PSECURITY_DESCRIPTOR descriptor) {
  LocalMemory text;
  return ConvertSecurityDescriptorToStringSecurityDescriptorW(
             descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
             reinterpret_cast<LPWSTR*>(text.Put()), nullptr)
             ? NarrowToUtf8(static_cast<const wchar_t*>(text.Get()))
             : "unreadable";
}
std::string KeySddl(const std::wstring& path) {
  RegistryKey key;
  std::vector<DWORD> descriptor(1024);
  DWORD size = static_cast<DWORD>(descriptor.size() * sizeof(DWORD));
  return key.Open(path.c_str()) == ERROR_SUCCESS &&
                 RegGetKeySecurity(key.Get(),
                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   descriptor.data(), &size) == ERROR_SUCCESS
             ? Sddl(descriptor.data())
             : "unreadable";
}

TEST(RecordsKey, IsMadeProtectedForTheRunnerAndReadersBelieveNoOtherList) {
  const std::wstring records = L"SOFTWARE\\Norvale\\Wareden\\PatchesUnderTest";
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, records.c_str());
  EXPECT_STREQ(DescribeTrustRefusal(CheckRecordsKey(records.c_str())), "trusted")
      << "no key: nothing to doubt";
  const std::string protectedList = "O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";
  RecordsKeyDescriptor built;
  ASSERT_TRUE(built.IsValid()) << "error " << built.Error();
  EXPECT_EQ(Sddl(built.Get()), protectedList);

  RegistryKey record;
  ASSERT_EQ(CreateRecordKey(records, L"one", record), ERROR_SUCCESS);
  EXPECT_EQ(KeySddl(records), protectedList) << "the records key as the runner made it";
  EXPECT_STREQ(DescribeTrustRefusal(CheckRecordsKey(records.c_str())), "trusted");

  // Lists other runners or installers may have left: judged, the key kept as it is.
  const struct {
    const wchar_t* sddl;
    TrustRefusal verdict;
  } lists[] = {{L"O:BAD:(A;CIIO;GR;;;BU)(A;;KA;;;BA)", TrustRefusal::kNone},  // Wine's default
               {L"O:BAD:P(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;;0x2;;;BU)", TrustRefusal::kForeignWriters},
               {L"O:BUD:P(A;CI;KA;;;BA)", TrustRefusal::kUntrustedOwner},
               {L"O:BAD:P(A;CI;KA;;;BA)(A;CIIO;0x4;;;BU)", TrustRefusal::kForeignWriters},
               {L"O:BAD:P(A;CI;KA;;;BA)(A;CI;0x20;;;BU)", TrustRefusal::kForeignWriters},
               {L"O:BAD:P(A;CI;KA;;;BA)(A;CI;GW;;;WD)", TrustRefusal::kForeignWriters}};
  for (const auto& list : lists) {
    LocalMemory descriptor;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(list.sddl, SDDL_REVISION_1,
                                                                     descriptor.Put(), nullptr));
    EXPECT_STREQ(DescribeTrustRefusal(CheckKeyDescriptor(descriptor.Get(), CurrentTokenFacts())),
                 DescribeTrustRefusal(list.verdict))
        << NarrowToUtf8(list.sddl);
    if (&list - lists > 1) continue;  // the first two also on the key itself, as found there
    KeyHandle key;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, records.c_str(), 0, WRITE_DAC | WRITE_OWNER, key.Put()),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeySecurity(key.Get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                descriptor.Get()),
              ERROR_SUCCESS);
    RegistryKey another;
    EXPECT_EQ(CreateRecordKey(records, L"two", another), ERROR_SUCCESS);
    EXPECT_EQ(KeySddl(records), Sddl(descriptor.Get())) << "an existing list was rewritten";
    EXPECT_STREQ(DescribeTrustRefusal(CheckRecordsKey(records.c_str())),
                 DescribeTrustRefusal(list.verdict))
        << NarrowToUtf8(list.sddl);
  }
  record.Close();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, records.c_str());
}

}  // namespace
