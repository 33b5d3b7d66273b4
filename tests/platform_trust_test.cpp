#include "platform/trust.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

#include "platform/handle.h"
#include "platform/text.h"
#include "tests/support/files.h"

namespace {

constexpr wchar_t kOtherUser[] = L"S-1-5-21-1000-2000-3000-1001";
constexpr wchar_t kAdminUser[] = L"S-1-5-21-1000-2000-3000-500";

LocalMemory Sid(const wchar_t* text) {
  PSID sid = nullptr;
  EXPECT_TRUE(ConvertStringSidToSidW(text, &sid)) << "SID " << NarrowToUtf8(text);
  return LocalMemory(sid);
}

// The token facts of the runs that matter, as Windows reports them: an elevated
// administrator's new objects belong to Administrators, a service's to SYSTEM, an unelevated
// program's to its user. Wine reports the group 513 as default owner and keeps no owners.
struct TokenRun {
  LocalMemory owner, user;
  bool ownersKept;
  TokenFacts Facts() const { return {owner.Get(), user.Get(), ownersKept}; }
};
const TokenRun& ElevatedAdmin() {
  static const TokenRun run{Sid(L"S-1-5-32-544"), Sid(kAdminUser), true};
  return run;
}
const TokenRun& Unelevated() {
  static const TokenRun run{Sid(kAdminUser), Sid(kAdminUser), true};
  return run;
}
const TokenRun& Service() {
  static const TokenRun run{Sid(L"S-1-5-18"), Sid(L"S-1-5-18"), true};
  return run;
}
const TokenRun& WineRun() {
  static const TokenRun run{Sid(L"S-1-5-21-0-0-0-513"), Sid(kAdminUser), false};
  return run;
}

// The trust decision for a descriptor written as SDDL, in an elevated administrator's run
// unless another run is given.
bool Trusted(const std::wstring& sddl, bool refuseForeignWriters,
             const TokenRun& run = ElevatedAdmin()) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                   &descriptor, nullptr))
      << "SDDL does not parse";
  const LocalMemory owned(descriptor);
  return CheckDescriptor(descriptor, run.Facts(), refuseForeignWriters) == TrustRefusal::kNone;
}

// The common application-data folder grants Users read and execute on everything below it,
// and "create files / create folders" (0x1000116) on every folder below it. A file made below it
// inherits the first rights and gets full control for its creator (CREATOR OWNER).
std::wstring FileMadeBy(const std::wstring& creator) {
  return L"O:" + creator + L"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;FA;;;" + creator +
         L")(A;ID;0x1200a9;;;BU)";
}
std::wstring FolderMadeBy(const std::wstring& creator) {
  return L"O:" + creator +
         L"D:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;ID;FA;;;" + creator +
         L")(A;OICIID;0x1200a9;;;BU)(A;CIID;0x1000116;;;BU)";
}

TEST(TrustDecision, OwnersFollowTheTokensDefaultOwnerNotItsUser) {
  const std::wstring admins = L"BA", admin = kAdminUser, system = L"SY";
  const std::wstring installer = L"S-1-5-80-956008885-3159402300-2856007627-1713393432-2345237624";
  for (const std::wstring& owner : {admins, system, installer}) {
    EXPECT_TRUE(Trusted(FolderMadeBy(owner), false)) << "folder made by " << owner.c_str();
    EXPECT_TRUE(Trusted(FileMadeBy(owner), true)) << "file made by " << owner.c_str();
  }
  // The elevated administrator's own unelevated programs can plant files owned by its account.
  EXPECT_FALSE(Trusted(FolderMadeBy(admin), false))
      << "folder planted by the same user, unelevated";
  EXPECT_FALSE(Trusted(FileMadeBy(admin), true)) << "file planted by the same user, unelevated";
  EXPECT_FALSE(Trusted(FileMadeBy(L"BA") + L"(A;;FW;;;" + admin + L")", true))
      << "file the same user may write";
  // An unelevated run creates as its user, a service as SYSTEM; another user stays refused.
  EXPECT_TRUE(Trusted(FileMadeBy(admin), true, Unelevated()));
  EXPECT_TRUE(Trusted(FileMadeBy(system), true, Service()));
  EXPECT_FALSE(Trusted(FileMadeBy(admin), true, Service()));
  for (const TokenRun* run : {&ElevatedAdmin(), &Unelevated(), &Service(), &WineRun()}) {
    EXPECT_FALSE(Trusted(FolderMadeBy(kOtherUser), false, *run)) << "another user's folder";
    EXPECT_FALSE(Trusted(FolderMadeBy(L"BU"), false, *run)) << "Users as owner";
  }
  // Where owners are not kept, everything reads as the user's: the user must pass there.
  EXPECT_TRUE(Trusted(FileMadeBy(admin), true, WineRun()));
  EXPECT_FALSE(Trusted(L"D:(A;;FA;;;SY)", false)) << "no owner at all";
  // Folders are judged by their owner alone: every folder below the common application-data
  // folder lets Users create files in it.
  EXPECT_FALSE(Trusted(FolderMadeBy(L"BA"), true)) << "the default folder rights, read as a file's";
}

TEST(TrustDecision, FileWritableByAnUntrustedAccountIsRefused) {
  const std::wstring base = L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)";
  const struct {
    const wchar_t* entry;
    const char* what;
  } writable[] = {
      {L"(A;;FA;;;BU)", "Users full access"},
      {L"(A;;0x2;;;WD)", "Everyone write data"},
      {L"(A;;0x4;;;BU)", "Users append data"},
      {L"(A;;SD;;;WD)", "Everyone delete"},
      {L"(A;;WD;;;BU)", "Users write DAC"},
      {L"(A;;WO;;;BU)", "Users write owner"},
      {L"(A;;GW;;;AU)", "Authenticated Users generic write"},
      {L"(A;;GA;;;WD)", "Everyone generic all"},
      {L"(A;;FW;;;S-1-5-21-1000-2000-3000-1001)", "another user write"},
  };
  for (const auto& c : writable) {
    EXPECT_FALSE(Trusted(base + c.entry, true)) << c.what;
    EXPECT_TRUE(Trusted(base + c.entry, false))
        << c.what << " on a folder, where only the owner counts";
  }
}

TEST(TrustDecision, NullDaclIsRefusedForAFile) {
  // Built by hand: not every SDDL parser turns NO_ACCESS_CONTROL into a null DACL.
  SECURITY_DESCRIPTOR descriptor;
  ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
  const LocalMemory admins = Sid(L"S-1-5-32-544");
  ASSERT_TRUE(SetSecurityDescriptorOwner(&descriptor, admins.Get(), FALSE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
  EXPECT_EQ(CheckDescriptor(&descriptor, ElevatedAdmin().Facts(), true),
            TrustRefusal::kForeignWriters)
      << "everyone may write";
  EXPECT_EQ(CheckDescriptor(&descriptor, ElevatedAdmin().Facts(), false), TrustRefusal::kNone)
      << "owner alone is trusted";
}

TEST(TrustDecision, RightsThatDoNotApplyToTheFileAreIgnored) {
  EXPECT_TRUE(Trusted(L"O:BAD:(A;;FA;;;BA)(A;;FR;;;WD)(A;;FX;;;BU)", true))
      << "read and execute only";
  EXPECT_TRUE(Trusted(L"O:BAD:(A;;FA;;;BA)(A;OICIIO;FA;;;WD)", true)) << "inherit-only entry";
  EXPECT_TRUE(Trusted(L"O:BAD:(A;;FA;;;BA)(D;;FA;;;WD)", true)) << "deny entry";
  EXPECT_TRUE(Trusted(L"O:BAD:(A;;FA;;;BA)(A;;FA;;;SY)", true)) << "trusted accounts only";
}

TEST(TrustOnDisk, OwnFolderIsTrustedAndMissingOrLinkedFilesAreNot) {
  const testsupport::TempFolder folder;
  const std::wstring file = folder / L"a.log";
  testsupport::WriteBytes(file, "");

  EXPECT_NE(CurrentTokenFacts().user, nullptr);
  EXPECT_EQ(CheckPath(folder.Path(), kTrustOwner), TrustRefusal::kNone);
  EXPECT_EQ(CheckPath(file, kTrustSingleLink), TrustRefusal::kNone);
  EXPECT_EQ(CheckPath(folder / L"missing", kTrustOwner), TrustRefusal::kMissing);

  ASSERT_TRUE(CreateHardLinkW((folder / L"b.log").c_str(), file.c_str(), nullptr));
  EXPECT_EQ(CheckPath(file, kTrustSingleLink), TrustRefusal::kSecondLink);
  EXPECT_EQ(CheckPath(file, kTrustOwner), TrustRefusal::kNone) << "link count only when asked";
}

}  // namespace
