#include "platform/trust.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "platform/file.h"
#include "platform/handle.h"

namespace {
// NT SERVICE\TrustedInstaller has no well-known SID type of its own.
constexpr wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3159402300-2856007627-1713393432-2345237624";

constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// KEY_SET_VALUE and KEY_CREATE_SUB_KEY share their bits with FILE_WRITE_DATA and FILE_APPEND_DATA;
// a link key can send a reader anywhere.
constexpr ACCESS_MASK kKeyWriteRights = kWriteRights | KEY_CREATE_LINK;

bool IsWellKnown(PSID account, WELL_KNOWN_SID_TYPE type) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(buffer);
  return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(account, buffer);
}

// A SID made from its text once, kept for the process's lifetime.
std::vector<BYTE> SidFromText(const wchar_t* text) {
  LocalMemory sid;
  if (!ConvertStringSidToSidW(text, reinterpret_cast<PSID*>(sid.Put()))) return {};
  const BYTE* bytes = static_cast<const BYTE*>(sid.Get());
  return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid.Get()));
}

bool IsTrustedInstaller(PSID account) {
  static const std::vector<BYTE> trustedInstaller = SidFromText(kTrustedInstallerSid);
  return !trustedInstaller.empty() && EqualSid(account, const_cast<BYTE*>(trustedInstaller.data()));
}

// With `subkeysCount`, entries that only subkeys inherit count too: a key's subkeys are what
// its readers read.
bool GrantsWriteToUntrusted(PACL dacl, const TokenFacts& facts, ACCESS_MASK writeRights,
                            bool subkeysCount) {
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) return true;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    // Entries only inherited by children do not apply to the object itself.
    if ((header->AceFlags & INHERIT_ONLY_ACE) &&
        !(subkeysCount && (header->AceFlags & CONTAINER_INHERIT_ACE))) {
      continue;
    }
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      // Deny entries only take rights away; other allow kinds are not expected on files.
      if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
      return true;
    }
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID account = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & writeRights) != 0 && !IsTrustedAccount(account, facts)) return true;
  }
  return false;
}

// One token information class whose first member is a SID (TOKEN_USER, TOKEN_OWNER), copied.
std::vector<BYTE> ReadTokenSid(HANDLE token, TOKEN_INFORMATION_CLASS type) {
  DWORD size = 0;
  GetTokenInformation(token, type, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size < sizeof(PSID) || !GetTokenInformation(token, type, buffer.data(), size, &size))
    return {};
  PSID sid = *reinterpret_cast<PSID*>(buffer.data());
  std::vector<BYTE> copy(GetLengthSid(sid));
  if (!CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid)) return {};
  return copy;
}

// Walks the folders of `relative` below `base`; see MakeTrustedFolderChain.
TrustVerdict WalkFolderChain(const std::wstring& base, const std::wstring& relative, bool create) {
  std::wstring folder = base;
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.find(L'\\', start);
    if (end == std::wstring::npos) end = relative.size();
    if (end > start) {
      folder.append(relative, start, end - start);
      // A folder that appears between the test and the creation is checked like any other.
      if (create && GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES &&
          !CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return {TrustRefusal::kMissing, folder};
      }
      const TrustRefusal refusal = CheckPath(folder, kTrustOwner);
      if (refusal != TrustRefusal::kNone) return {refusal, folder};
      folder.push_back(L'\\');
    }
    start = end + 1;
  }
  return {};
}

// CheckDescriptor with the rights that count as writing, for files or for keys.
TrustRefusal CheckAnyDescriptor(PSECURITY_DESCRIPTOR descriptor, const TokenFacts& facts,
                                bool refuseForeignWriters, ACCESS_MASK writeRights,
                                bool subkeysCount) {
  if (descriptor == nullptr) return TrustRefusal::kUnreadable;
  PSID owner = nullptr;
  BOOL ownerDefaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted))
    return TrustRefusal::kUnreadable;
  if (!IsTrustedAccount(owner, facts)) return TrustRefusal::kUntrustedOwner;
  if (!refuseForeignWriters) return TrustRefusal::kNone;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  BOOL daclDefaulted = FALSE;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &daclDefaulted))
    return TrustRefusal::kUnreadable;
  // No DACL: everyone has full access.
  if (!present || dacl == nullptr || GrantsWriteToUntrusted(dacl, facts, writeRights, subkeysCount))
    return TrustRefusal::kForeignWriters;
  return TrustRefusal::kNone;
}
}  // namespace

bool PlatformKeepsFileOwners() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll == nullptr || FindExport<FARPROC>(ntdll, "wine_get_version") == nullptr;
}

const TokenFacts& CurrentTokenFacts() {
  struct Held {
    std::vector<BYTE> owner, user;
    TokenFacts facts;
    Held() {
      KernelHandle token;
      if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) {
        owner = ReadTokenSid(token.Get(), TokenOwner);
        user = ReadTokenSid(token.Get(), TokenUser);
      }
      facts.defaultOwner = owner.empty() ? nullptr : owner.data();
      facts.user = user.empty() ? nullptr : user.data();
      facts.ownersKept = PlatformKeepsFileOwners();
    }
  };
  // The token's user and owner do not change while the process runs.
  static const Held held;
  return held.facts;
}

bool IsTrustedAccount(PSID account, const TokenFacts& facts) {
  if (account == nullptr || !IsValidSid(account)) return false;
  if (facts.defaultOwner != nullptr && EqualSid(account, facts.defaultOwner)) return true;
  if (!facts.ownersKept && facts.user != nullptr && EqualSid(account, facts.user)) return true;
  return IsWellKnown(account, WinLocalSystemSid) ||
         IsWellKnown(account, WinBuiltinAdministratorsSid) || IsTrustedInstaller(account);
}

TrustRefusal CheckDescriptor(PSECURITY_DESCRIPTOR descriptor, const TokenFacts& facts,
                             bool refuseForeignWriters) {
  return CheckAnyDescriptor(descriptor, facts, refuseForeignWriters, kWriteRights, false);
}

TrustRefusal CheckKeyDescriptor(PSECURITY_DESCRIPTOR descriptor, const TokenFacts& facts) {
  return CheckAnyDescriptor(descriptor, facts, true, kKeyWriteRights, true);
}

TrustRefusal CheckHandleLinks(HANDLE handle, unsigned checks) {
  // The two small queries, not GetFileInformationByHandle: that one also reads the volume and
  // costs far more on some systems.
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic)))
    return TrustRefusal::kUnreadable;
  if (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return TrustRefusal::kLink;
  if (checks & kTrustSingleLink) {
    FILE_STANDARD_INFO standard = {};
    if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof(standard)))
      return TrustRefusal::kUnreadable;
    if (standard.NumberOfLinks > 1) return TrustRefusal::kSecondLink;
  }
  return TrustRefusal::kNone;
}

TrustRefusal CheckHandle(HANDLE handle, unsigned checks) {
  const TrustRefusal links = CheckHandleLinks(handle, checks);
  if (links != TrustRefusal::kNone) return links;
  LocalMemory descriptor;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, descriptor.Put()) != ERROR_SUCCESS) {
    return TrustRefusal::kUnreadable;
  }
  return CheckDescriptor(descriptor.Get(), CurrentTokenFacts(),
                         (checks & kTrustNoForeignWriters) != 0);
}

TrustRefusal CheckPath(const std::wstring& path, unsigned checks) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? TrustRefusal::kMissing
               : TrustRefusal::kUnreadable;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return TrustRefusal::kLink;
  const KernelHandle handle =
      OpenFile(path, READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
  if (!handle.IsValid()) return TrustRefusal::kUnreadable;
  return CheckHandle(handle.Get(), checks);
}

TrustVerdict CheckFolderChain(const std::wstring& base, const std::wstring& relative) {
  return WalkFolderChain(base, relative, false);
}

TrustVerdict MakeTrustedFolderChain(const std::wstring& base, const std::wstring& relative) {
  return WalkFolderChain(base, relative, true);
}

const char* DescribeTrustRefusal(TrustRefusal refusal) {
  switch (refusal) {
    case TrustRefusal::kNone:
      return "trusted";
    case TrustRefusal::kMissing:
      return "missing";
    case TrustRefusal::kUnreadable:
      return "cannot be opened or its rights read";
    case TrustRefusal::kLink:
      return "a link (junction or symbolic link)";
    case TrustRefusal::kSecondLink:
      return "a file with a second hard link";
    case TrustRefusal::kUntrustedOwner:
      return "its owner is not a trusted account";
    case TrustRefusal::kForeignWriters:
      return "an account that is not trusted may write to it";
  }
  return "?";
}
