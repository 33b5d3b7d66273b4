#pragma once

// The access list of the key that holds the runs' records (kRecordsKey): whoever may write
// there can forge a record that undo and every verdict trust, so the runner creates it with its
// own list and readers believe a record only under a key that passes the checks.

#include <windows.h>

#include <string>

#include "platform/registry.h"
#include "platform/trust.h"
#include "product/run_record.h"

// Owner BUILTIN\Administrators; a protected DACL (nothing inherited from above): SYSTEM and
// Administrators KEY_ALL_ACCESS, Users KEY_READ, each inherited by subkeys. Not movable: the
// descriptor points into the object itself.
class RecordsKeyDescriptor {
 public:
  // Builds it; on failure IsValid() is false and Error() holds the platform's code.
  RecordsKeyDescriptor();
  RecordsKeyDescriptor(const RecordsKeyDescriptor&) = delete;
  RecordsKeyDescriptor& operator=(const RecordsKeyDescriptor&) = delete;

  bool IsValid() const { return error_ == ERROR_SUCCESS; }
  DWORD Error() const { return error_; }
  PSECURITY_DESCRIPTOR Get() { return &descriptor_; }
  // For RegistryKey::Create; valid while this object lives.
  SECURITY_ATTRIBUTES Attributes();

 private:
  static constexpr DWORD kAceBytes = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
  static constexpr DWORD kAclBytes = sizeof(ACL) + 3 * (kAceBytes + SECURITY_MAX_SID_SIZE);

  DWORD error_ = ERROR_SUCCESS;
  alignas(DWORD) BYTE administrators_[SECURITY_MAX_SID_SIZE] = {};
  alignas(DWORD) BYTE system_[SECURITY_MAX_SID_SIZE] = {};
  alignas(DWORD) BYTE users_[SECURITY_MAX_SID_SIZE] = {};
  alignas(DWORD) BYTE acl_[kAclBytes] = {};
  SECURITY_DESCRIPTOR descriptor_ = {};
};

// Opens HKLM\`recordsKey`\`name` for writing, creating it when missing: the records key
// first, with RecordsKeyDescriptor when it does not exist yet (one that exists keeps its list:
// the readers judge it), then the record's key, which inherits. The platform's code; on
// failure `key` is unchanged.
LONG CreateRecordKey(const std::wstring& recordsKey, const std::wstring& name, RegistryKey& key);

// The reader's verdict on HKLM\`recordsKey` as it is now (owner and DACL, judged by
// CheckKeyDescriptor with this process's facts); kNone when it does not exist, since it then
// holds nothing to believe, kUnreadable when its descriptor cannot be read.
TrustRefusal CheckRecordsKey(const wchar_t* recordsKey = kRecordsKey);
