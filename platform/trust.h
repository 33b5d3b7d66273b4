#pragma once

#include <windows.h>

#include <string>
#include <vector>

// An elevated runner must not load or write through anything an ordinary user could have
// planted or redirected. These checks decide that; they never log.

// The user of the current process's token, as a self-contained SID; empty on failure.
std::vector<BYTE> GetProcessUserSid();

// SYSTEM, BUILTIN\Administrators, NT SERVICE\TrustedInstaller, or `processUser`.
bool IsTrustedAccount(PSID account, PSID processUser);

// The decision on one descriptor: its owner is trusted and, when `refuseForeignWriters`, no
// allow entry that applies to the object grants a write-type right (write or append data,
// delete, write DAC, write owner, generic write or all) to an untrusted account. A missing
// owner or a null DACL (everyone may do anything) is refused.
bool IsDescriptorTrusted(PSECURITY_DESCRIPTOR descriptor, PSID processUser,
                         bool refuseForeignWriters);

enum TrustChecks : unsigned {
  kTrustOwner = 0,                // every checked object: no reparse point, trusted owner
  kTrustNoForeignWriters = 1u << 0,  // also no write right for untrusted accounts
  kTrustSingleLink = 1u << 1,        // also no second hard link
};

// Checks an existing file or folder by path and through a handle that does not follow
// reparse points (some systems report a link only one way). False when it cannot be checked.
bool IsPathTrusted(const std::wstring& path, unsigned checks);

// Checks an open handle the same way (for a file just opened without following links).
bool IsHandleTrusted(HANDLE handle, unsigned checks);

// Checks every folder of `relative` below `base`, from the first component down
// ("Norvale", "Norvale\PelliMgr", ...). `base` must end in a backslash.
bool IsFolderChainTrusted(const std::wstring& base, const std::wstring& relative);

// Restricts the DLL search path to System32 and turns on redirection trust, where the platform
// has them; silently does without elsewhere (older Windows, Wine).
void ApplyProcessMitigations();
