#include "tools/patchmake/encode_file.h"

#include <windows.h>

#include <new>
#include <vector>

#include "platform/file.h"
#include "platform/handle.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "tools/kit/files.h"
#include "tools/patchmake/differ.h"

Encoding ChooseEncoding(const EncodedSizes& sizes) {
  Encoding best = Encoding::kWhole;
  uint64_t bytes = sizes.whole;
  if (sizes.compressed < bytes) {
    best = Encoding::kCompressed;
    bytes = sizes.compressed;
  }
  if (sizes.difference < bytes) best = Encoding::kDifference;
  return best;
}

const char* EncodingName(Encoding encoding) {
  switch (encoding) {
    case Encoding::kCompressed:
      return "compressed";
    case Encoding::kDifference:
      return "difference";
    case Encoding::kWhole:
      break;
  }
  return "whole";
}

namespace {

KernelHandle OpenToRead(const std::wstring& path) {
  // Without write sharing, so that nobody changes a file while it is encoded.
  return KernelHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

uint64_t SizeOf(const KernelHandle& file) {
  LARGE_INTEGER size;
  return GetFileSizeEx(file.Get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

// Reads the rest of `file` in chunks, hashing each and handing it to `use`, which may fail
// with `failure` set.
template <typename Use>
bool ReadHashing(const KernelHandle& file, const std::wstring& path, std::string& sha256,
                 std::string& failure, Use use) {
  Sha256 hash;
  DWORD error = 0;
  if (!hash.Start(error)) {
    failure = "no SHA-256 provider (error " + std::to_string(error) + ")";
    return false;
  }
  std::vector<char> chunk;
  const bool read = ReadInChunks(
      file.Get(), chunk,
      [&](const char* data, DWORD count) {
        if (!hash.Update(data, count, error)) {
          failure = ErrorText("cannot hash", path, error);
          return false;
        }
        return use(reinterpret_cast<const uint8_t*>(data), count);
      },
      error);
  if (!read && failure.empty()) failure = ErrorText("cannot read", path, error);
  if (!failure.empty()) return false;
  if (!hash.Finish(sha256, error)) {
    failure = ErrorText("cannot hash", path, error);
    return false;
  }
  return true;
}

bool ReadWhole(const std::wstring& path, std::vector<uint8_t>& bytes, std::string& sha256,
               std::string& failure) {
  const KernelHandle file = OpenToRead(path);
  if (!file.IsValid()) {
    failure = ErrorText("cannot open", path, GetLastError());
    return false;
  }
  bytes.clear();
  bytes.reserve(static_cast<size_t>(SizeOf(file)));
  return ReadHashing(file, path, sha256, failure, [&bytes](const uint8_t* data, DWORD count) {
    bytes.insert(bytes.end(), data, data + count);
    return true;
  });
}

bool WriteAll(const KernelHandle& file, const std::wstring& path, const uint8_t* data,
              size_t count, std::string& failure) {
  while (count > 0) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(count, kFileChunkBytes));
    DWORD written = 0;
    if (!WriteFile(file.Get(), data, piece, &written, nullptr) || written != piece) {
      failure = ErrorText("cannot write", path, GetLastError());
      return false;
    }
    data += piece;
    count -= piece;
  }
  return true;
}

// The runner's copy of a whole file keeps its time of last write; the patch file of any
// encoding carries it too, so that a package shows when its files were made.
bool CopyTime(const KernelHandle& from, const KernelHandle& to, const std::wstring& path,
              std::string& failure) {
  FILETIME lastWrite;
  if (!GetFileTime(from.Get(), nullptr, nullptr, &lastWrite) ||
      !SetFileTime(to.Get(), nullptr, nullptr, &lastWrite)) {
    failure = ErrorText("cannot set the time of", path, GetLastError());
    return false;
  }
  return true;
}

// A file that cannot be diffed: compressed as it is read, in constant memory, or whole when
// that is not smaller.
bool CompressStreaming(const EncodeRequest& request, const KernelHandle& input,
                       const KernelHandle& out, EncodeResult& result, std::string& failure) {
  const uint64_t size = SizeOf(input);
  // Level 19 spends its time on data it cannot shrink: a fast pass over the first MiB tells
  // whether there is anything to gain before that is paid for.
  std::vector<uint8_t> probe(static_cast<size_t>(std::min<uint64_t>(size, 1 << 20)));
  DWORD read = 0;
  std::vector<uint8_t> quick;
  LARGE_INTEGER start = {};
  if (!ReadFile(input.Get(), probe.data(), static_cast<DWORD>(probe.size()), &read, nullptr) ||
      read != probe.size() || !SetFilePointerEx(input.Get(), start, nullptr, FILE_BEGIN)) {
    failure = ErrorText("cannot read", request.newPath, GetLastError());
    return false;
  }
  if (!EncodeCompressed(probe.data(), probe.size(), kQuickCompressionLevel, quick, failure))
    return false;
  const bool compressible = quick.size() + probe.size() / 16 < probe.size();
  std::vector<uint8_t>().swap(probe);
  FrameCompressor compressor;
  std::vector<uint8_t> pending = CompressedHeader(size);
  uint64_t written = 0;
  const auto flush = [&]() {
    written += pending.size();
    const bool ok = WriteAll(out, request.outPath, pending.data(), pending.size(), failure);
    pending.clear();
    return ok;
  };
  if (!compressor.Begin(size, compressible ? kPatchCompressionLevel : kQuickCompressionLevel,
                       failure))
    return false;
  if (!ReadHashing(input, request.newPath, result.sha256, failure,
                   [&](const uint8_t* data, DWORD count) {
                     return compressor.Add(data, count, pending, failure) && flush();
                   }) ||
      !compressor.End(pending, failure) || !flush()) {
    return false;
  }
  result.sizes.whole = size;
  result.sizes.compressed = written;
  result.encoding = ChooseEncoding(result.sizes);
  if (result.encoding == Encoding::kCompressed) return true;
  if (!SetFilePointerEx(out.Get(), start, nullptr, FILE_BEGIN) || !SetEndOfFile(out.Get()) ||
      !SetFilePointerEx(input.Get(), start, nullptr, FILE_BEGIN)) {
    failure = ErrorText("cannot rewrite", request.outPath, GetLastError());
    return false;
  }
  std::vector<char> chunk;
  DWORD error = 0;
  if (!ReadInChunks(input.Get(), chunk,
                    [&](const char* data, DWORD count) {
                      return WriteAll(out, request.outPath,
                                      reinterpret_cast<const uint8_t*>(data), count, failure);
                    },
                    error)) {
    if (failure.empty()) failure = ErrorText("cannot read", request.newPath, error);
    return false;
  }
  return true;
}

}  // namespace

bool EncodeFile(const EncodeRequest& request, EncodeResult& result, std::string& failure) try {
  result = EncodeResult();
  const KernelHandle input = OpenToRead(request.newPath);
  if (!input.IsValid()) {
    failure = ErrorText("cannot open", request.newPath, GetLastError());
    return false;
  }
  const KernelHandle out = OpenFile(request.outPath, GENERIC_WRITE, 0, CREATE_NEW, 0);
  if (!out.IsValid()) {
    failure = ErrorText("cannot create", request.outPath, GetLastError());
    return false;
  }
  uint64_t baseSize = 0;
  bool diff = !request.basePath.empty();
  if (diff) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(request.basePath.c_str(), GetFileExInfoStandard, &data)) {
      failure = ErrorText("cannot read", request.basePath, GetLastError());
      return false;
    }
    baseSize = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    result.tooLargeToDiff = !DifferenceFits(baseSize, SizeOf(input));
    diff = !result.tooLargeToDiff;
  }
  if (!diff) {
    return CompressStreaming(request, input, out, result, failure) &&
           CopyTime(input, out, request.outPath, failure);
  }

  std::vector<uint8_t> next, base;
  if (!ReadWhole(request.newPath, next, result.sha256, failure) ||
      !ReadWhole(request.basePath, base, result.baseSha256, failure)) {
    return false;
  }
  std::vector<uint8_t> difference, compressed;
  bool related = false;
  {
    DifferenceStreams streams;
    if (!MatchAgainstBase(base.data(), base.size(), next.data(), next.size(), streams, failure))
      return false;
    related = streams.related;
    if (related && !EncodeDifference(streams, base.size(), next.size(), kPatchCompressionLevel,
                                     difference, failure)) {
      return false;
    }
  }
  std::vector<uint8_t>().swap(base);
  // Level 19 costs more than the whole difference; a fast compression shows whether it can win
  // at all (level 19 is not half as large, and finds little where the fast level found
  // nothing), and is a valid compressed file itself.
  if (!EncodeCompressed(next.data(), next.size(), kQuickCompressionLevel, compressed, failure))
    return false;
  const bool compressible = compressed.size() + next.size() / 16 < next.size();
  if (compressible && (!related || difference.size() * 2 >= compressed.size()) &&
      !EncodeCompressed(next.data(), next.size(), kPatchCompressionLevel, compressed, failure))
    return false;
  result.sizes = {next.size(), compressed.size(), related ? difference.size() : kNotMade};
  result.encoding = ChooseEncoding(result.sizes);
  if (result.encoding != Encoding::kDifference) result.baseSha256.clear();
  const std::vector<uint8_t>& chosen = result.encoding == Encoding::kDifference ? difference
                                       : result.encoding == Encoding::kCompressed ? compressed
                                                                                  : next;
  return WriteAll(out, request.outPath, chosen.data(), chosen.size(), failure) &&
         CopyTime(input, out, request.outPath, failure);
} catch (const std::bad_alloc&) {
  failure = "out of memory while encoding " + NarrowToUtf8(request.newPath);
  return false;
}
