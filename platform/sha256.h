#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "platform/handle.h"

// SHA-256 with the platform's own provider: the CryptoAPI in advapi32, which the runner imports
// anyway, so no library is loaded for it.

inline void ReleaseCryptProvider(HCRYPTPROV provider) { CryptReleaseContext(provider, 0); }
using CryptProvider = UniqueHandle<NoneIs<HCRYPTPROV, 0, &ReleaseCryptProvider>>;
using CryptHash = UniqueHandle<NoneIs<HCRYPTHASH, 0, &CryptDestroyHash>>;

// A hash fed in pieces, for a caller that reads the data for another purpose and hashes it on
// the way. Each step returns false with the platform's code in `error`; Start begins anew.
class Sha256 {
 public:
  bool Start(DWORD& error) noexcept;
  bool Update(const void* data, DWORD size, DWORD& error) noexcept;
  // The digest of everything given since Start, as 64 lower-case hex digits; Start again before
  // the next Update. Throws only std::bad_alloc.
  bool Finish(std::string& hex, DWORD& error);

 private:
  CryptHash hash_;
};

// The hash of the file at `path` as 64 lower-case hex digits, read in chunks (constant memory,
// whatever the size). False, with the platform's code in `error`, when the file cannot be
// opened (tried again while it is held for a moment, as a move or a copy is) or read, or the
// provider is missing. The file is opened without write sharing, so that nobody changes it while
// it is read; `share` widens that for a file that its program may hold open.
bool HashFileSha256(const std::wstring& path, std::string& hex, DWORD& error,
                    DWORD share = FILE_SHARE_READ) noexcept;

// The hash of `bytes` held in memory (less than 4 GiB), as HashFileSha256 gives it.
bool HashBytesSha256(const std::string& bytes, std::string& hex, DWORD& error) noexcept;
