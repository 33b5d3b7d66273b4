#include "platform/trust.h"

#include <aclapi.h>
#include <sddl.h>

#include "platform/handle.h"

namespace {
// NT SERVICE\TrustedInstaller has no well-known SID type of its own.
constexpr wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3159402300-2856007627-1713393432-2345237624";

constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool IsWellKnown(PSID account, WELL_KNOWN_SID_TYPE type) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(buffer);
  return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(account, buffer);
}

// A SID made from its text once, kept for the process's lifetime.
std::vector<BYTE> SidFromText(const wchar_t* text) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(text, &sid)) return {};
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  std::vector<BYTE> copy(bytes, bytes + GetLengthSid(sid));
  LocalFree(sid);
  return copy;
}

bool IsTrustedInstaller(PSID account) {
  static const std::vector<BYTE> trustedInstaller = SidFromText(kTrustedInstallerSid);
  return !trustedInstaller.empty() && EqualSid(account, const_cast<BYTE*>(trustedInstaller.data()));
}

bool GrantsWriteToUntrusted(PACL dacl, PSID processUser) {
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) return true;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    // Entries only inherited by children do not apply to the object itself.
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      // Deny entries only take rights away; other allow kinds are not expected on files.
      if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
      return true;
    }
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID account = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kWriteRights) != 0 && !IsTrustedAccount(account, processUser)) return true;
  }
  return false;
}

struct Descriptor {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ~Descriptor() { LocalFree(descriptor); }
};
}  // namespace

std::vector<BYTE> GetProcessUserSid() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  KernelHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) return {};
  PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  std::vector<BYTE> copy(GetLengthSid(sid));
  if (!CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid)) return {};
  return copy;
}

bool IsTrustedAccount(PSID account, PSID processUser) {
  if (account == nullptr || !IsValidSid(account)) return false;
  if (processUser != nullptr && EqualSid(account, processUser)) return true;
  return IsWellKnown(account, WinLocalSystemSid) || IsWellKnown(account, WinBuiltinAdministratorsSid) ||
         IsTrustedInstaller(account);
}

bool IsDescriptorTrusted(PSECURITY_DESCRIPTOR descriptor, PSID processUser,
                         bool refuseForeignWriters) {
  if (descriptor == nullptr) return false;
  PSID owner = nullptr;
  BOOL ownerDefaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted)) return false;
  if (!IsTrustedAccount(owner, processUser)) return false;
  if (!refuseForeignWriters) return true;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  BOOL daclDefaulted = FALSE;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &daclDefaulted)) return false;
  if (!present || dacl == nullptr) return false;  // no DACL: everyone has full access
  return !GrantsWriteToUntrusted(dacl, processUser);
}

bool IsHandleTrusted(HANDLE handle, unsigned checks) {
  // The two small queries, not GetFileInformationByHandle: that one also reads the volume and
  // costs a hundred times more on some systems.
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic))) return false;
  if (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
  if (checks & kTrustSingleLink) {
    FILE_STANDARD_INFO standard = {};
    if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof(standard))) return false;
    if (standard.NumberOfLinks > 1) return false;
  }

  Descriptor sd;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      nullptr, nullptr, nullptr, nullptr, &sd.descriptor) != ERROR_SUCCESS) {
    return false;
  }
  // The process's user does not change while it runs.
  static const std::vector<BYTE> user = GetProcessUserSid();
  return IsDescriptorTrusted(sd.descriptor, user.empty() ? nullptr : const_cast<BYTE*>(user.data()),
                             (checks & kTrustNoForeignWriters) != 0);
}

bool IsPathTrusted(const std::wstring& path, unsigned checks) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  KernelHandle handle(CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                  nullptr));
  return handle.IsValid() && IsHandleTrusted(handle.Get(), checks);
}

bool IsFolderChainTrusted(const std::wstring& base, const std::wstring& relative) {
  std::wstring folder = base;
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.find(L'\\', start);
    if (end == std::wstring::npos) end = relative.size();
    if (end > start) {
      folder.append(relative, start, end - start);
      if (!IsPathTrusted(folder, kTrustOwner)) return false;
      folder.push_back(L'\\');
    }
    start = end + 1;
  }
  return true;
}

void ApplyProcessMitigations() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  if (auto set = reinterpret_cast<SetDirectories>(
          reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")))) {
    set(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  // The redirection-trust policy (value 16) is newer than most SDK headers; its flag word has
  // EnforceRedirectionTrust as bit 0.
  using SetPolicy = BOOL(WINAPI*)(int, PVOID, SIZE_T);
  if (auto setPolicy = reinterpret_cast<SetPolicy>(
          reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessMitigationPolicy")))) {
    constexpr int kRedirectionTrustPolicy = 16;
    DWORD flags = 1;
    setPolicy(kRedirectionTrustPolicy, &flags, sizeof(flags));
  }
}
