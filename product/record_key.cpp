#include "product/record_key.h"

#include <vector>

namespace {
// The well-known SID `type` into `sid` (SECURITY_MAX_SID_SIZE bytes); the platform's code.
DWORD MakeSid(WELL_KNOWN_SID_TYPE type, BYTE* sid) {
  DWORD size = SECURITY_MAX_SID_SIZE;
  return CreateWellKnownSid(type, nullptr, sid, &size) ? ERROR_SUCCESS : GetLastError();
}
}  // namespace

RecordsKeyDescriptor::RecordsKeyDescriptor() {
  const struct {
    WELL_KNOWN_SID_TYPE type;
    BYTE* sid;
    REGSAM rights;
  } grants[] = {{WinLocalSystemSid, system_, KEY_ALL_ACCESS},
                {WinBuiltinAdministratorsSid, administrators_, KEY_ALL_ACCESS},
                {WinBuiltinUsersSid, users_, KEY_READ}};
  for (const auto& grant : grants) {
    error_ = MakeSid(grant.type, grant.sid);
    if (error_ != ERROR_SUCCESS) return;
  }
  PACL acl = reinterpret_cast<PACL>(acl_);
  if (!InitializeAcl(acl, sizeof(acl_), ACL_REVISION)) {
    error_ = GetLastError();
    return;
  }
  for (const auto& grant : grants) {
    if (!AddAccessAllowedAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, grant.rights, grant.sid)) {
      error_ = GetLastError();
      return;
    }
  }
  if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorOwner(&descriptor_, administrators_, FALSE) ||
      !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    error_ = GetLastError();
  }
}

SECURITY_ATTRIBUTES RecordsKeyDescriptor::Attributes() {
  return {sizeof(SECURITY_ATTRIBUTES), &descriptor_, FALSE};
}

LONG CreateRecordKey(const std::wstring& recordsKey, const std::wstring& name, RegistryKey& key) {
  const std::wstring recordKey = recordsKey + L"\\" + name;
  // A record written again (the run's end, an undo) finds its key at once, at the old cost.
  const LONG opened = key.Open(recordKey.c_str(), KEY_READ | KEY_WRITE);
  if (opened != ERROR_FILE_NOT_FOUND) return opened;
  RecordsKeyDescriptor descriptor;
  if (!descriptor.IsValid()) return static_cast<LONG>(descriptor.Error());
  SECURITY_ATTRIBUTES attributes = descriptor.Attributes();
  KeyHandle records;
  DWORD disposition = 0;
  LONG result =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, recordsKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_READ | WRITE_DAC | WRITE_OWNER, &attributes, records.Put(), &disposition);
  if (result != ERROR_SUCCESS) return result;
  // Some layers (Wine) give a new key their default list whatever was asked: set it again on
  // the key just made, never on one that was there.
  if (disposition == REG_CREATED_NEW_KEY) {
    result = RegSetKeySecurity(
        records.Get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor.Get());
    if (result != ERROR_SUCCESS) return result;
  }
  return key.Create(recordKey);
}

TrustRefusal CheckRecordsKey(const wchar_t* recordsKey) {
  RegistryKey key;
  const LONG opened = key.Open(recordsKey);
  if (opened == ERROR_FILE_NOT_FOUND) return TrustRefusal::kNone;
  if (opened != ERROR_SUCCESS) return TrustRefusal::kUnreadable;
  const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  LONG result = RegGetKeySecurity(key.Get(), wanted, nullptr, &size);
  std::vector<DWORD> descriptor;  // DWORDs: a descriptor's parts are aligned
  // The list may grow between the two calls: ask again with the new size.
  while (result == ERROR_INSUFFICIENT_BUFFER) {
    descriptor.assign(size / sizeof(DWORD) + 1, 0);
    size = static_cast<DWORD>(descriptor.size() * sizeof(DWORD));
    result = RegGetKeySecurity(key.Get(), wanted, descriptor.data(), &size);
  }
  if (result != ERROR_SUCCESS || descriptor.empty()) return TrustRefusal::kUnreadable;
  return CheckKeyDescriptor(descriptor.data(), CurrentTokenFacts());
}
