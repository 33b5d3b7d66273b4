#include "tools/patchmake/differ.h"

#include <divsufsort.h>
// For ZSTD_getCParams: the tools link zstd statically.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// How many bytes of `a` and `b` agree from their starts.
size_t MatchLength(const uint8_t* a, size_t aSize, const uint8_t* b, size_t bSize) {
  const size_t limit = std::min(aSize, bSize);
  size_t i = 0;
  for (; i + 8 <= limit; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) {
      const uint64_t differ = x ^ y;  // little-endian: the first byte that differs is the lowest
      return i + static_cast<size_t>(__builtin_ctzll(differ)) / 8;
    }
  }
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

// The longest match of `next` among the suffixes of `base`, by binary search over its sorted
// suffixes. Each step compares only past what both bounds are known to share with `next`.
size_t LongestMatch(const int32_t* suffixes, const uint8_t* base, size_t baseSize,
                    const uint8_t* next, size_t nextSize, int64_t& position) {
  size_t low = 0, high = baseSize - 1;
  const auto matched = [&](size_t index, size_t from) {
    const size_t start = static_cast<size_t>(suffixes[index]);
    return from + MatchLength(base + start + from, baseSize - start - from, next + from,
                              nextSize - from);
  };
  size_t lowLength = matched(low, 0), highLength = matched(high, 0);
  while (high - low > 1) {
    const size_t middle = low + (high - low) / 2;
    const size_t known = std::min(lowLength, highLength);
    const size_t length = matched(middle, known);
    const size_t start = static_cast<size_t>(suffixes[middle]);
    // The suffix sorts before `next` when it ends first or has the smaller byte where they part.
    const bool before = length < nextSize &&
                        (start + length == baseSize || base[start + length] < next[length]);
    if (before) {
      low = middle;
      lowLength = length;
    } else {
      high = middle;
      highLength = length;
    }
  }
  const bool takeLow = lowLength >= highLength;
  position = suffixes[takeLow ? low : high];
  return takeLow ? lowLength : highLength;
}

// Collects the records as the matcher finds them. A record that would add and copy nothing only
// moves the base position: its move goes into the next record's seek.
struct RecordWriter {
  DifferenceStreams& streams;
  int64_t pendingSeek = 0;

  void Add(uint64_t add, uint64_t copy, int64_t seekAfter) {
    if (add > 0 || copy > 0) {
      AppendRecord(streams.control, {pendingSeek, add, copy});
      pendingSeek = 0;
    }
    pendingSeek += seekAfter;
  }
};

// bsdiff's matcher: scan `next`; where the best match in `base` is not simply the continuation
// of the last one (more than 8 bytes better), close the last stretch. A stretch is the last
// match extended forwards, the bytes up to the next match extended backwards, and between them
// the bytes that match nothing (extra). Extended parts are sent as byte differences from the
// base, which are mostly zeros where code only moved, and compress well.
void Match(const int32_t* suffixes, const uint8_t* base, int64_t baseSize, const uint8_t* next,
           int64_t nextSize, DifferenceStreams& streams) {
  RecordWriter records{streams};
  int64_t scan = 0, length = 0, position = 0;
  int64_t lastScan = 0, lastPosition = 0, lastOffset = 0;
  const auto sameAtOffset = [&](int64_t at, int64_t offset) {
    const int64_t from = at + offset;
    return from >= 0 && from < baseSize && base[from] == next[at];
  };
  while (scan < nextSize) {
    int64_t oldScore = 0;
    int64_t scored = scan += length;
    for (; scan < nextSize; ++scan) {
      length = baseSize == 0 ? 0
                             : static_cast<int64_t>(LongestMatch(
                                   suffixes, base, static_cast<size_t>(baseSize), next + scan,
                                   static_cast<size_t>(nextSize - scan), position));
      for (; scored < scan + length; ++scored) {
        if (sameAtOffset(scored, lastOffset)) ++oldScore;
      }
      if ((length == oldScore && length != 0) || length > oldScore + 8) break;
      if (sameAtOffset(scan, lastOffset)) --oldScore;
    }
    if (length == oldScore && scan != nextSize) continue;

    // Forwards from the last match, while at least half of the bytes agree.
    int64_t forward = 0;
    for (int64_t i = 0, same = 0, best = 0; lastScan + i < scan && lastPosition + i < baseSize;) {
      if (base[lastPosition + i] == next[lastScan + i]) ++same;
      ++i;
      if (same * 2 - i > best * 2 - forward) {
        best = same;
        forward = i;
      }
    }
    // Backwards from the new match, the same way.
    int64_t backward = 0;
    if (scan < nextSize) {
      for (int64_t i = 1, same = 0, best = 0; scan >= lastScan + i && position >= i; ++i) {
        if (base[position - i] == next[scan - i]) ++same;
        if (same * 2 - i > best * 2 - backward) {
          best = same;
          backward = i;
        }
      }
    }
    // Where the two overlap, split them where the most bytes agree.
    if (lastScan + forward > scan - backward) {
      const int64_t overlap = (lastScan + forward) - (scan - backward);
      int64_t same = 0, best = 0, split = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        if (next[lastScan + forward - overlap + i] == base[lastPosition + forward - overlap + i])
          ++same;
        if (next[scan - backward + i] == base[position - backward + i]) --same;
        if (same > best) {
          best = same;
          split = i + 1;
        }
      }
      forward += split - overlap;
      backward -= split;
    }
    for (int64_t i = 0; i < forward; ++i)
      streams.diff.push_back(static_cast<uint8_t>(next[lastScan + i] - base[lastPosition + i]));
    const int64_t extra = (scan - backward) - (lastScan + forward);
    streams.extra.insert(streams.extra.end(), next + lastScan + forward,
                         next + lastScan + forward + extra);
    records.Add(static_cast<uint64_t>(forward), static_cast<uint64_t>(extra),
                (position - backward) - (lastPosition + forward));
    lastScan = scan - backward;
    lastPosition = position - backward;
    lastOffset = position - scan;
  }
}

// Whether `next` shares enough with `base` to be worth matching: of kSamples stretches spread
// over it, at least one in eight found in `base` at kSampleBytes or longer.
bool Related(const int32_t* suffixes, const uint8_t* base, size_t baseSize, const uint8_t* next,
             size_t nextSize) {
  constexpr size_t kSamples = 64, kSampleBytes = 24;
  // Too small to judge, and quickly matched anyway.
  if (baseSize < kSampleBytes || nextSize < kSamples * kSampleBytes) return true;
  size_t found = 0;
  for (size_t i = 0; i < kSamples; ++i) {
    const size_t at = i * (nextSize - kSampleBytes) / (kSamples - 1);
    int64_t position = 0;
    if (LongestMatch(suffixes, base, baseSize, next + at, kSampleBytes, position) >= kSampleBytes)
      ++found;
  }
  return found * 8 >= kSamples;
}

}  // namespace

void AppendRecord(std::vector<uint8_t>& control, const DiffRecord& record) {
  uint8_t bytes[30];
  size_t count = StoreVarint(ZigZag(record.seek), bytes);
  count += StoreVarint(record.add, bytes + count);
  count += StoreVarint(record.copy, bytes + count);
  control.insert(control.end(), bytes, bytes + count);
}

uint64_t DifferenceMemoryBytes(uint64_t baseSize, uint64_t newSize) {
  // While matching: the suffix array (4 bytes a base byte), both files, the diff and the extra
  // stream (each at most the new file; the extra stream grows by doubling) and the records. The
  // suffix array is gone before the streams are compressed, which then needs less.
  constexpr uint64_t kCompressor = uint64_t{128} << 20;
  return 5 * baseSize + 4 * newSize + kCompressor;
}

bool MatchAgainstBase(const uint8_t* base, size_t baseSize, const uint8_t* next, size_t nextSize,
                      DifferenceStreams& streams, std::string& error) {
  streams = DifferenceStreams();
  if (baseSize > INT32_MAX || nextSize > INT32_MAX) {
    error = "files of 2 GiB or more cannot be diffed";
    return false;
  }
  try {
    std::vector<int32_t> suffixes(baseSize);
    if (baseSize > 0 &&
        divsufsort(base, suffixes.data(), static_cast<saidx_t>(baseSize)) != 0) {
      error = "the suffix array could not be made";
      return false;
    }
    streams.related = Related(suffixes.data(), base, baseSize, next, nextSize);
    if (!streams.related) return true;
    streams.diff.reserve(nextSize);
    Match(suffixes.data(), base, static_cast<int64_t>(baseSize), next,
          static_cast<int64_t>(nextSize), streams);
    return true;
  } catch (const std::bad_alloc&) {
    streams = DifferenceStreams();
    error = "out of memory while diffing";
    return false;
  }
}

struct FrameCompressor::Context {
  ZSTD_CCtx* zstd = nullptr;
  std::vector<uint8_t> buffer;
  ~Context() { ZSTD_freeCCtx(zstd); }
};

FrameCompressor::FrameCompressor() = default;
FrameCompressor::~FrameCompressor() = default;

namespace {

bool ZstdFailed(size_t result, std::string& error) {
  if (!ZSTD_isError(result)) return false;
  error = std::string("zstd: ") + ZSTD_getErrorName(result);
  return true;
}

}  // namespace

bool FrameCompressor::Begin(uint64_t size, int level, std::string& error) {
  try {
    if (!context_) {
      context_ = std::make_unique<Context>();
      context_->buffer.resize(ZSTD_CStreamOutSize());
    }
  } catch (const std::bad_alloc&) {
    error = "out of memory for the compressor";
    return false;
  }
  if (context_->zstd == nullptr) context_->zstd = ZSTD_createCCtx();
  if (context_->zstd == nullptr) {
    error = "out of memory for the compressor";
    return false;
  }
  ZSTD_CCtx* zstd = context_->zstd;
  const int windowLog = static_cast<int>(ZSTD_getCParams(level, size, 0).windowLog);
  return !ZstdFailed(ZSTD_CCtx_reset(zstd, ZSTD_reset_session_and_parameters), error) &&
         !ZstdFailed(ZSTD_CCtx_setParameter(zstd, ZSTD_c_compressionLevel, level), error) &&
         !ZstdFailed(ZSTD_CCtx_setParameter(zstd, ZSTD_c_windowLog,
                                            std::min(windowLog, kMaxWindowLog)),
                     error) &&
         !ZstdFailed(ZSTD_CCtx_setPledgedSrcSize(zstd, size), error);
}

namespace {

bool Drive(ZSTD_CCtx* zstd, std::vector<uint8_t>& buffer, ZSTD_inBuffer& in,
           ZSTD_EndDirective mode, std::vector<uint8_t>& out, std::string& error) {
  try {
    for (;;) {
      ZSTD_outBuffer piece = {buffer.data(), buffer.size(), 0};
      const size_t left = ZSTD_compressStream2(zstd, &piece, &in, mode);
      if (ZstdFailed(left, error)) return false;
      out.insert(out.end(), buffer.data(), buffer.data() + piece.pos);
      const bool done = mode == ZSTD_e_end ? left == 0 : in.pos == in.size;
      if (done) return true;
    }
  } catch (const std::bad_alloc&) {
    error = "out of memory for the compressed bytes";
    return false;
  }
}

}  // namespace

bool FrameCompressor::Add(const uint8_t* data, size_t count, std::vector<uint8_t>& out,
                          std::string& error) {
  ZSTD_inBuffer in = {data, count, 0};
  return Drive(context_->zstd, context_->buffer, in, ZSTD_e_continue, out, error);
}

bool FrameCompressor::End(std::vector<uint8_t>& out, std::string& error) {
  ZSTD_inBuffer in = {nullptr, 0, 0};
  return Drive(context_->zstd, context_->buffer, in, ZSTD_e_end, out, error);
}

bool CompressFrame(FrameCompressor& compressor, const uint8_t* data, size_t size, int level,
                   std::vector<uint8_t>& out, std::string& error) {
  return compressor.Begin(size, level, error) && compressor.Add(data, size, out, error) &&
         compressor.End(out, error);
}

std::vector<uint8_t> CompressedHeader(uint64_t newSize) {
  std::vector<uint8_t> header(kCompressedHeaderBytes);
  std::memcpy(header.data(), kCompressedMagic, kMagicBytes);
  StoreU64(newSize, header.data() + kMagicBytes);
  return header;
}

std::vector<uint8_t> DifferenceHeaderBytes(const DifferenceHeader& header) {
  std::vector<uint8_t> bytes(kDifferenceHeaderBytes);
  std::memcpy(bytes.data(), kDifferenceMagic, kMagicBytes);
  uint8_t* field = bytes.data() + kMagicBytes;
  for (uint64_t value : {header.newSize, header.baseSize, header.controlBytes, header.diffBytes,
                         header.extraBytes}) {
    StoreU64(value, field);
    field += 8;
  }
  return bytes;
}

bool EncodeCompressed(const uint8_t* data, size_t size, int level, std::vector<uint8_t>& patch,
                      std::string& error) {
  try {
    patch = CompressedHeader(size);
  } catch (const std::bad_alloc&) {
    error = "out of memory for the compressed bytes";
    return false;
  }
  FrameCompressor compressor;
  return CompressFrame(compressor, data, size, level, patch, error);
}

bool EncodeDifference(const DifferenceStreams& streams, uint64_t baseSize, uint64_t newSize,
                      int level, std::vector<uint8_t>& patch, std::string& error) {
  FrameCompressor compressor;
  try {
    patch.assign(kDifferenceHeaderBytes, 0);
    DifferenceHeader header;
    header.newSize = newSize;
    header.baseSize = baseSize;
    uint64_t* lengths[] = {&header.controlBytes, &header.diffBytes, &header.extraBytes};
    const std::vector<uint8_t>* parts[] = {&streams.control, &streams.diff, &streams.extra};
    for (int i = 0; i < 3; ++i) {
      const size_t before = patch.size();
      if (!CompressFrame(compressor, parts[i]->data(), parts[i]->size(), level, patch, error))
        return false;
      *lengths[i] = patch.size() - before;
    }
    const std::vector<uint8_t> bytes = DifferenceHeaderBytes(header);
    std::copy(bytes.begin(), bytes.end(), patch.begin());
    return true;
  } catch (const std::bad_alloc&) {
    error = "out of memory for the compressed bytes";
    return false;
  }
}
