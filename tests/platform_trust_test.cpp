#include "platform/trust.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

namespace {

constexpr wchar_t kOtherUser[] = L"S-1-5-21-1000-2000-3000-1001";
constexpr wchar_t kRunnerUser[] = L"S-1-5-21-1000-2000-3000-500";

struct Sid {
  explicit Sid(const wchar_t* text) { EXPECT_TRUE(ConvertStringSidToSidW(text, &sid)) << "SID " << sid; }
  ~Sid() { LocalFree(sid); }
  PSID sid = nullptr;
};

// The trust decision for a descriptor written as SDDL, with kRunnerUser as the process's user.
bool Trusted(const std::wstring& sddl, bool refuseForeignWriters) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                   &descriptor, nullptr))
      << "SDDL does not parse";
  Sid runner(kRunnerUser);
  const bool trusted = IsDescriptorTrusted(descriptor, runner.sid, refuseForeignWriters);
  LocalFree(descriptor);
  return trusted;
}

// What a folder or file below the common application-data folder inherits by default.
constexpr wchar_t kInheritedDefault[] =
    L"D:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;BU)";

TEST(TrustDecision, TrustedOwnersWithDefaultAclAreAccepted) {
  const std::wstring owners[] = {L"O:SY", L"O:BA", std::wstring(L"O:") + kRunnerUser,
                                 L"O:S-1-5-80-956008885-3159402300-2856007627-1713393432-2345237624"};
  for (const std::wstring& owner : owners) {
    EXPECT_TRUE(Trusted(owner + kInheritedDefault, false)) << "folder owned by " << owner.c_str();
    EXPECT_TRUE(Trusted(owner + kInheritedDefault, true)) << "file owned by " << owner.c_str();
  }
}

TEST(TrustDecision, FoldersAndFilesOwnedByAnotherUserAreRefused) {
  const std::wstring owner = std::wstring(L"O:") + kOtherUser;
  EXPECT_FALSE(Trusted(owner + kInheritedDefault, false));
  EXPECT_FALSE(Trusted(owner + kInheritedDefault, true));
  EXPECT_FALSE(Trusted(L"O:BU" + std::wstring(kInheritedDefault), false)) << "Users as owner";
  EXPECT_FALSE(Trusted(L"D:(A;;FA;;;SY)", false)) << "no owner at all";
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
    EXPECT_TRUE(Trusted(base + c.entry, false)) << c.what << " on a folder, where only the owner counts";
  }
}

TEST(TrustDecision, NullDaclIsRefusedForAFile) {
  // Built by hand: not every SDDL parser turns NO_ACCESS_CONTROL into a null DACL.
  SECURITY_DESCRIPTOR descriptor;
  ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
  Sid admins(L"S-1-5-32-544");
  ASSERT_TRUE(SetSecurityDescriptorOwner(&descriptor, admins.sid, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
  Sid runner(kRunnerUser);
  EXPECT_FALSE(IsDescriptorTrusted(&descriptor, runner.sid, true)) << "everyone may write";
  EXPECT_TRUE(IsDescriptorTrusted(&descriptor, runner.sid, false)) << "owner alone is trusted";
}

TEST(TrustDecision, RightsThatDoNotApplyToTheFileAreIgnored) {
  EXPECT_TRUE(Trusted(L"O:BAD:(A;;FA;;;BA)(A;;FR;;;WD)(A;;FX;;;BU)", true)) << "read and execute only";
  EXPECT_TRUE(Trusted(L"O:BAD:(A;;FA;;;BA)(A;OICIIO;FA;;;WD)", true)) << "inherit-only entry";
  EXPECT_TRUE(Trusted(L"O:BAD:(A;;FA;;;BA)(D;;FA;;;WD)", true)) << "deny entry";
  EXPECT_TRUE(Trusted(std::wstring(L"O:BAD:(A;;FA;;;") + kRunnerUser + L")", true)) << "runner's own user";
}

TEST(TrustOnDisk, OwnFolderIsTrustedAndMissingOrLinkedFilesAreNot) {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"trust-test-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring file = folder + L"\\a.log";
  HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);

  EXPECT_FALSE(GetProcessUserSid().empty());
  EXPECT_TRUE(IsPathTrusted(folder, kTrustOwner));
  EXPECT_TRUE(IsPathTrusted(file, kTrustSingleLink));
  EXPECT_FALSE(IsPathTrusted(folder + L"\\missing", kTrustOwner));

  const std::wstring link = folder + L"\\b.log";
  ASSERT_TRUE(CreateHardLinkW(link.c_str(), file.c_str(), nullptr));
  EXPECT_FALSE(IsPathTrusted(file, kTrustSingleLink)) << "a file with a second hard link";
  EXPECT_TRUE(IsPathTrusted(file, kTrustOwner)) << "link count only matters when asked";

  DeleteFileW(link.c_str());
  DeleteFileW(file.c_str());
  RemoveDirectoryW(folder.c_str());
}

}  // namespace
