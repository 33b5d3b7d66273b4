#include "platform/sha256.h"

#include <algorithm>
#include <new>
#include <vector>

#include "platform/file.h"
#include "platform/retry.h"
#include "platform/text.h"

namespace {
constexpr DWORD kSha256Bytes = 32;

// Acquired once: a provider that verifies nothing and keeps no keys is cheap to hold, and
// acquiring it costs more than hashing a small file.
HCRYPTPROV Provider() {
  static const CryptProvider provider = [] {
    CryptProvider acquired;
    CryptAcquireContextW(acquired.Put(), nullptr, nullptr, PROV_RSA_AES,
                         CRYPT_VERIFYCONTEXT | CRYPT_SILENT);
    return acquired;
  }();
  return provider.Get();
}

bool Fail(DWORD& error) {
  error = GetLastError();
  return false;
}
}  // namespace

bool Sha256::Start(DWORD& error) noexcept {
  error = 0;
  if (Provider() == 0 || !CryptCreateHash(Provider(), CALG_SHA_256, 0, 0, hash_.Put()))
    return Fail(error);
  return true;
}

bool Sha256::Update(const void* data, DWORD size, DWORD& error) noexcept {
  error = 0;
  if (!hash_.IsValid()) {
    error = ERROR_INVALID_HANDLE;
    return false;
  }
  return CryptHashData(hash_.Get(), static_cast<const BYTE*>(data), size, 0) || Fail(error);
}

bool Sha256::Finish(std::string& hex, DWORD& error) {
  error = 0;
  BYTE digest[kSha256Bytes];
  DWORD size = sizeof(digest);
  if (!hash_.IsValid()) {
    error = ERROR_INVALID_HANDLE;
    return false;
  }
  const bool done =
      CryptGetHashParam(hash_.Get(), HP_HASHVAL, digest, &size, 0) && size == kSha256Bytes;
  if (!done) return Fail(error);
  hash_.Reset();
  hex = HexOfBytes(std::string(reinterpret_cast<const char*>(digest), sizeof(digest)));
  return true;
}

bool HashFileSha256(const std::wstring& path, std::string& hex, DWORD& error,
                    DWORD share) noexcept try {
  Sha256 hash;
  if (!hash.Start(error)) return false;
  KernelHandle file;
  // A file held for a moment (a scanner) is waited for as a move or a copy would wait.
  if (!RetryWhileHeld([&] {
        file = OpenFile(path, GENERIC_READ, share, OPEN_EXISTING,
                        FILE_FLAG_SEQUENTIAL_SCAN);
        return file.IsValid();
      })) {
    return Fail(error);
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.Get(), &size)) return Fail(error);
  // Fitted to the file: mapping a megabyte for each small file costs more than hashing it.
  std::vector<char> chunk(static_cast<size_t>(std::min<LONGLONG>(size.QuadPart, kFileChunkBytes)) +
                          1);
  bool hashed = true;
  if (!ReadInChunks(
          file.Get(), chunk,
          [&](const char* data, DWORD read) { return hashed = hash.Update(data, read, error); },
          error)) {
    return false;
  }
  return hashed && hash.Finish(hex, error);
} catch (const std::bad_alloc&) {
  // No room for the chunk: the caller may be between moving a file aside and putting it back.
  error = ERROR_NOT_ENOUGH_MEMORY;
  return false;
}

bool HashBytesSha256(const std::string& bytes, std::string& hex, DWORD& error) noexcept try {
  Sha256 hash;
  return hash.Start(error) && hash.Update(bytes.data(), static_cast<DWORD>(bytes.size()), error) &&
         hash.Finish(hex, error);
} catch (const std::bad_alloc&) {
  error = ERROR_NOT_ENOUGH_MEMORY;
  return false;
}
