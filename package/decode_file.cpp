// The decoder on files: positional reads of the patch file and of the installed file, writes to
// the caller's output handle.
#include "package/decode_file.h"

#include <algorithm>

#include "platform/file.h"
#include "platform/sha256.h"

namespace {

bool ReadAt(void* context, uint64_t offset, uint8_t* into, size_t count, size_t& got,
            uint32_t& code) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  const DWORD ask = static_cast<DWORD>(std::min<size_t>(count, kFileChunkBytes));
  if (!ReadFile(static_cast<HANDLE>(context), into, ask, &read, &at)) {
    code = GetLastError();
    if (code != ERROR_HANDLE_EOF) return false;
    read = 0;
  }
  got = read;
  return true;
}

bool WriteAll(void* context, const uint8_t* data, size_t count, uint32_t& code) {
  while (count > 0) {
    DWORD written = 0;
    const DWORD ask = static_cast<DWORD>(std::min<size_t>(count, kFileChunkBytes));
    if (!WriteFile(static_cast<HANDLE>(context), data, ask, &written, nullptr)) {
      code = GetLastError();
      return false;
    }
    if (written == 0) {
      code = ERROR_WRITE_FAULT;
      return false;
    }
    data += written;
    count -= written;
  }
  return true;
}

// Opens `path` for positional reads; `source` describes it. The platform's code on failure.
DWORD OpenSource(const std::wstring& path, DWORD share, KernelHandle& file, ByteSource& source) {
  file.Reset(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.IsValid()) return GetLastError();
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.Get(), &size)) return GetLastError();
  source.context = file.Get();
  source.read = &ReadAt;
  source.size = static_cast<uint64_t>(size.QuadPart);
  return 0;
}

DecodeStatus OpenFailure(DecodeError error, DWORD code) {
  DecodeStatus status;
  status.error = error;
  status.code = code;
  return status;
}

}  // namespace

namespace {

// Opens the patch file and, for a difference, the base, and decodes them into `out`.
DecodeStatus DecodeFiles(Encoding encoding, const std::wstring& patchPath,
                         const std::wstring& basePath, const ByteSink& out,
                         uint64_t expectedSize) noexcept {
  KernelHandle patchFile, baseFile;
  ByteSource patch, base;
  DWORD code = OpenSource(patchPath, FILE_SHARE_READ, patchFile, patch);
  if (code != 0) return OpenFailure(DecodeError::kOpenPatch, code);
  if (encoding == Encoding::kDifference) {
    // The installed file may be in use by the product, which runs on while the copy is made.
    code = OpenSource(basePath, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, baseFile,
                      base);
    if (code != 0) return OpenFailure(DecodeError::kOpenBase, code);
  }
  return DecodePatch(encoding, patch, base, out, expectedSize);
}

bool HashAll(void* context, const uint8_t* data, size_t count, uint32_t& code) {
  DWORD error = 0;
  if (static_cast<Sha256*>(context)->Update(data, static_cast<DWORD>(count), error)) return true;
  code = error;
  return false;
}

struct WriteAndHash {
  HANDLE output = INVALID_HANDLE_VALUE;
  bool hashing = false;
  Sha256 hash;
};

bool WriteHashing(void* context, const uint8_t* data, size_t count, uint32_t& code) {
  WriteAndHash& both = *static_cast<WriteAndHash*>(context);
  return WriteAll(both.output, data, count, code) &&
         (!both.hashing || HashAll(&both.hash, data, count, code));
}

}  // namespace

DecodeStatus DecodePatchFile(Encoding encoding, const std::wstring& patchPath,
                             const std::wstring& basePath, HANDLE output,
                             std::string* sha256) noexcept try {
  WriteAndHash both;
  both.output = output;
  DWORD error = 0;
  if (sha256 != nullptr && !both.hash.Start(error)) return OpenFailure(DecodeError::kWrite, error);
  both.hashing = sha256 != nullptr;
  ByteSink out;
  out.context = &both;
  out.write = &WriteHashing;
  const DecodeStatus status = DecodeFiles(encoding, patchPath, basePath, out, kAnySize);
  if (status.Ok() && sha256 != nullptr && !both.hash.Finish(*sha256, error))
    return OpenFailure(DecodeError::kWrite, error);
  return status;
} catch (const std::bad_alloc&) {
  return OpenFailure(DecodeError::kNoMemory, ERROR_NOT_ENOUGH_MEMORY);
}

DecodeStatus DecodePatchFileSha256(Encoding encoding, const std::wstring& patchPath,
                                   const std::wstring& basePath, std::string& hex) noexcept try {
  Sha256 hash;
  DWORD error = 0;
  if (!hash.Start(error)) return OpenFailure(DecodeError::kWrite, error);
  ByteSink out;
  out.context = &hash;
  out.write = &HashAll;
  const DecodeStatus status = DecodeFiles(encoding, patchPath, basePath, out, kAnySize);
  if (status.Ok() && !hash.Finish(hex, error)) return OpenFailure(DecodeError::kWrite, error);
  return status;
} catch (const std::bad_alloc&) {
  return OpenFailure(DecodeError::kNoMemory, ERROR_NOT_ENOUGH_MEMORY);
}
