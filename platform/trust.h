#pragma once

#include <windows.h>

#include <string>

// An elevated runner must not load or write through anything an ordinary user could have
// planted or redirected. These checks decide that; they never log.

// What the trust decision needs to know about the running process's token.
struct TokenFacts {
  PSID defaultOwner = nullptr;  // TokenOwner: owns what this process creates
  PSID user = nullptr;          // TokenUser
  // False where the file system reports every object as owned by the process's user, so that
  // an owner cannot tell anything apart (see PlatformKeepsFileOwners).
  bool ownersKept = true;
};

// The facts of this process, read once; SIDs missing when the token cannot be read.
const TokenFacts& CurrentTokenFacts();

// False on a compatibility layer that reports every file as owned by the process's user
// whatever was set (Wine). There the owner test cannot refuse anything, and counting the user
// as trusted keeps the runner working; on Windows the user's own account is not trusted when it
// differs from the token's default owner, since its unelevated programs can plant files.
bool PlatformKeepsFileOwners();

// SYSTEM, BUILTIN\Administrators, NT SERVICE\TrustedInstaller, the token's default owner, and
// the process's user where owners are not kept.
bool IsTrustedAccount(PSID account, const TokenFacts& facts);

// Why a file or folder fails the checks below; kNone when it passes.
enum class TrustRefusal {
  kNone,
  kMissing,         // nothing at the path
  kUnreadable,      // cannot be opened, or its facts or rights cannot be read
  kLink,            // a reparse point: a junction or a symbolic link
  kSecondLink,      // a file with a second hard link
  kUntrustedOwner,  // owned by an account that is not trusted, or by none
  kForeignWriters,  // an untrusted account may write to it, or it has no DACL at all
};
// A few words for a report: "a link (junction or symbolic link)", ...
const char* DescribeTrustRefusal(TrustRefusal refusal);

// The first file or folder refused and why; an empty path with kNone when all passed.
struct TrustVerdict {
  TrustRefusal refusal = TrustRefusal::kNone;
  std::wstring path;
};

// The decision on one descriptor: its owner is trusted and, when `refuseForeignWriters`, no
// allow entry that applies to the object grants a write-type right (write or append data,
// delete, write DAC, write owner, generic write or all) to an untrusted account. A missing
// owner or a null DACL (everyone may do anything) is refused.
TrustRefusal CheckDescriptor(PSECURITY_DESCRIPTOR descriptor, const TokenFacts& facts,
                             bool refuseForeignWriters);

// The same decision on a registry key's descriptor, writers always refused: creating a link
// also counts as writing, and so does an entry only its subkeys inherit (readers read those).
TrustRefusal CheckKeyDescriptor(PSECURITY_DESCRIPTOR descriptor, const TokenFacts& facts);

enum TrustChecks : unsigned {
  kTrustOwner = 0,                   // every checked object: no reparse point, trusted owner
  kTrustNoForeignWriters = 1u << 0,  // also no write right for untrusted accounts
  kTrustSingleLink = 1u << 1,        // also no second hard link
};

// Checks an existing file or folder by path and through a handle that does not follow
// reparse points (some systems report a link only one way).
TrustRefusal CheckPath(const std::wstring& path, unsigned checks);

// Checks an open handle the same way (for a file just opened without following links).
TrustRefusal CheckHandle(HANDLE handle, unsigned checks);

// Only the link part of CheckHandle: no reparse point and, when asked, no second hard link.
TrustRefusal CheckHandleLinks(HANDLE handle, unsigned checks);

// Checks every folder of `relative` below `base`, from the first component down
// ("Norvale", "Norvale\PelliMgr", ...), creating nothing. `base` must end in a backslash.
TrustVerdict CheckFolderChain(const std::wstring& base, const std::wstring& relative);

// As CheckFolderChain, but a missing folder is created, then checked, one level at a time:
// nothing is ever created inside a folder that failed its check. kNone when the whole chain
// exists and passed; kMissing for a folder that could not be made.
TrustVerdict MakeTrustedFolderChain(const std::wstring& base, const std::wstring& relative);
