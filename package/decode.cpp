// The pure half of the decoder: no platform calls, so that it builds anywhere and is fuzzed.
#include "package/decode.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

// Output is made in pieces of this size; a stream's input is read in zstd's own block size.
constexpr size_t kPieceBytes = 256 * 1024;

struct DCtxDeleter {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

DecodeStatus Failure(DecodeError error, uint64_t at, uint32_t code = 0) {
  DecodeStatus status;
  status.error = error;
  status.code = code;
  status.at = at;
  return status;
}

// Exactly `count` bytes at `offset`; a short read is the file changing under the decoder.
bool ReadExactly(const ByteSource& source, uint64_t offset, uint8_t* into, size_t count,
                 uint32_t& code) {
  while (count > 0) {
    size_t got = 0;
    if (!source.read(source.context, offset, into, count, got, code)) return false;
    if (got == 0 || got > count) {
      code = 38;  // the platform's "reached the end of the file"
      return false;
    }
    offset += got;
    into += got;
    count -= got;
  }
  return true;
}

// One zstd stream of the patch file, [next, end), decoded on demand.
class Stream {
 public:
  Stream(const ByteSource& patch, uint64_t begin, uint64_t end) : patch_(patch), next_(begin), end_(end) {}

  DecodeError Open() {
    context_.reset(ZSTD_createDCtx());
    if (!context_) return DecodeError::kNoMemory;
    // The window bounds the memory a frame may ask for; larger frames are refused.
    if (ZSTD_isError(ZSTD_DCtx_setParameter(context_.get(), ZSTD_d_windowLogMax, kMaxWindowLog)))
      return DecodeError::kNoMemory;
    input_.resize(ZSTD_DStreamInSize());
    return DecodeError::kNone;
  }

  // Fills `into` with up to `count` bytes and sets `got`; fewer only when the stream has ended
  // at a frame's end. On failure `code` holds the platform's or zstd's code.
  DecodeError Pull(uint8_t* into, size_t count, size_t& got, uint32_t& code) {
    ZSTD_outBuffer out = {into, count, 0};
    while (out.pos < out.size) {
      if (in_.pos == in_.size && next_ < end_) {
        const size_t size = static_cast<size_t>(std::min<uint64_t>(input_.size(), end_ - next_));
        if (!ReadExactly(patch_, next_, input_.data(), size, code)) return DecodeError::kReadPatch;
        next_ += size;
        in_ = {input_.data(), size, 0};
      }
      const size_t inBefore = in_.pos, outBefore = out.pos;
      const size_t result = ZSTD_decompressStream(context_.get(), &out, &in_);
      if (ZSTD_isError(result)) {
        code = static_cast<uint32_t>(ZSTD_getErrorCode(result));
        return DecodeError::kStreamCorrupt;
      }
      if (in_.pos == inBefore && out.pos == outBefore) {
        // Nothing more comes: the input is spent, and zstd holds nothing back. (Its hint after a
        // call without progress asks for the next frame's header, so the state of the frame is
        // the one of the last call that moved.)
        if (next_ < end_ || in_.pos < in_.size) return DecodeError::kStreamCorrupt;
        if (frameOpen_) return DecodeError::kStreamShort;
        break;
      }
      frameOpen_ = result != 0;
    }
    got = out.pos;
    return DecodeError::kNone;
  }

  // Exactly `count` bytes.
  DecodeError PullExactly(uint8_t* into, size_t count, uint32_t& code) {
    size_t got = 0;
    const DecodeError error = Pull(into, count, got, code);
    if (error != DecodeError::kNone) return error;
    return got == count ? DecodeError::kNone : DecodeError::kStreamShort;
  }

  // The stream must end here: no byte left to decode, no frame left open.
  DecodeError Finish(uint32_t& code) {
    uint8_t probe = 0;
    size_t got = 0;
    const DecodeError error = Pull(&probe, 1, got, code);
    if (error != DecodeError::kNone) return error;
    return got == 0 ? DecodeError::kNone : DecodeError::kStreamLong;
  }

 private:
  const ByteSource& patch_;
  uint64_t next_, end_;
  std::unique_ptr<ZSTD_DCtx, DCtxDeleter> context_;
  std::vector<uint8_t> input_;
  ZSTD_inBuffer in_ = {nullptr, 0, 0};
  bool frameOpen_ = false;
};

// The control stream's records, read through a small buffer.
class Records {
 public:
  explicit Records(Stream& stream) : stream_(stream) {}

  // kNone with `ended` set when the stream ends between two records.
  DecodeError Next(DiffRecord& record, bool& ended, uint32_t& code) {
    uint64_t numbers[3];
    for (int i = 0; i < 3; ++i) {
      bool none = false;
      const DecodeError error = ReadNumber(numbers[i], none, code);
      if (error != DecodeError::kNone) return error;
      if (none) {
        if (i > 0) return DecodeError::kStreamShort;
        ended = true;
        return DecodeError::kNone;
      }
    }
    ended = false;
    record.seek = UnZigZag(numbers[0]);
    record.add = numbers[1];
    record.copy = numbers[2];
    return DecodeError::kNone;
  }

 private:
  DecodeError ReadNumber(uint64_t& value, bool& none, uint32_t& code) {
    value = 0;
    for (int shift = 0;; shift += 7) {
      if (pos_ == size_) {
        const DecodeError error = stream_.Pull(buffer_, sizeof(buffer_), size_, code);
        if (error != DecodeError::kNone) return error;
        pos_ = 0;
        if (size_ == 0) {
          if (shift > 0) return DecodeError::kStreamShort;
          none = true;
          return DecodeError::kNone;
        }
      }
      const uint8_t byte = buffer_[pos_++];
      // The tenth byte holds the top bit of 64 only.
      if (shift == 63 && byte > 1) return DecodeError::kBadRecord;
      value |= static_cast<uint64_t>(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) return DecodeError::kNone;
    }
  }

  Stream& stream_;
  uint8_t buffer_[4096];
  size_t pos_ = 0, size_ = 0;
};

DecodeStatus Write(const ByteSink& out, const uint8_t* data, size_t count, uint64_t at) {
  uint32_t code = 0;
  if (count > 0 && !out.write(out.context, data, count, code))
    return Failure(DecodeError::kWrite, at, code);
  return {};
}

DecodeStatus CheckMagic(const ByteSource& patch, const char* magic, uint8_t* header,
                        size_t headerBytes) {
  uint32_t code = 0;
  const size_t first = static_cast<size_t>(std::min<uint64_t>(patch.size, headerBytes));
  if (!ReadExactly(patch, 0, header, first, code)) return Failure(DecodeError::kReadPatch, 0, code);
  if (first < kMagicBytes || std::memcmp(header, magic, kMagicBytes) != 0)
    return Failure(DecodeError::kNotEncoded, 0);
  if (first < headerBytes) return Failure(DecodeError::kBadHeader, 0);
  return {};
}

DecodeStatus DecodeCompressed(const ByteSource& patch, const ByteSink& out, uint64_t expected,
                              std::vector<uint8_t>& piece) {
  uint8_t header[kCompressedHeaderBytes];
  DecodeStatus status = CheckMagic(patch, kCompressedMagic, header, sizeof(header));
  if (!status.Ok()) return status;
  const uint64_t newSize = LoadU64(header + kMagicBytes);
  if (expected != kAnySize && newSize != expected) return Failure(DecodeError::kNewSizeDiffers, 0);

  Stream data(patch, kCompressedHeaderBytes, patch.size);
  DecodeError error = data.Open();
  if (error != DecodeError::kNone) return Failure(error, 0);
  uint32_t code = 0;
  for (uint64_t done = 0; done < newSize;) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(piece.size(), newSize - done));
    error = data.PullExactly(piece.data(), count, code);
    if (error != DecodeError::kNone) return Failure(error, done, code);
    status = Write(out, piece.data(), count, done);
    if (!status.Ok()) return status;
    done += count;
  }
  error = data.Finish(code);
  if (error != DecodeError::kNone) return Failure(error, newSize, code);
  return {};
}

// Largest distance a record may move the base position, and largest base: far beyond any file,
// far from overflow.
constexpr int64_t kMaxSeek = int64_t{1} << 60;

DecodeStatus DecodeDifference(const ByteSource& patch, const ByteSource& base,
                              const ByteSink& out, uint64_t expected,
                              std::vector<uint8_t>& piece, std::vector<uint8_t>& from) {
  DifferenceHeader header;
  DecodeStatus status = ReadDifferenceHeader(patch, header);
  if (!status.Ok()) return status;
  if (base.size != header.baseSize) return Failure(DecodeError::kBaseSizeDiffers, 0);
  if (expected != kAnySize && header.newSize != expected)
    return Failure(DecodeError::kNewSizeDiffers, 0);

  const uint64_t diffBegin = kDifferenceHeaderBytes + header.controlBytes;
  const uint64_t extraBegin = diffBegin + header.diffBytes;
  Stream control(patch, kDifferenceHeaderBytes, diffBegin);
  Stream diff(patch, diffBegin, extraBegin);
  Stream extra(patch, extraBegin, patch.size);
  for (Stream* stream : {&control, &diff, &extra}) {
    const DecodeError error = stream->Open();
    if (error != DecodeError::kNone) return Failure(error, 0);
  }
  Records records(control);
  uint32_t code = 0;
  uint64_t done = 0;
  int64_t position = 0;  // in the base; checked where a record reads from it
  for (;;) {
    DiffRecord record;
    bool ended = false;
    DecodeError error = records.Next(record, ended, code);
    if (error != DecodeError::kNone) return Failure(error, done, code);
    if (ended) break;
    const uint64_t left = header.newSize - done;
    // |position| and |seek| are at most 2^60 here: no overflow.
    if (record.seek > kMaxSeek || record.seek < -kMaxSeek)
      return Failure(DecodeError::kBadRecord, done);
    position += record.seek;
    const bool outsideBase =
        record.add > 0 && (position < 0 || static_cast<uint64_t>(position) > header.baseSize ||
                           record.add > header.baseSize - static_cast<uint64_t>(position));
    if ((record.add == 0 && record.copy == 0) || record.add > left ||
        record.copy > left - record.add || outsideBase) {
      return Failure(DecodeError::kBadRecord, done);
    }
    for (uint64_t remaining = record.add; remaining > 0;) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(piece.size(), remaining));
      error = diff.PullExactly(piece.data(), count, code);
      if (error != DecodeError::kNone) return Failure(error, done, code);
      if (!ReadExactly(base, static_cast<uint64_t>(position), from.data(), count, code))
        return Failure(DecodeError::kReadBase, done, code);
      uint8_t* bytes = piece.data();
      const uint8_t* old = from.data();
      for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(bytes[i] + old[i]);
      status = Write(out, bytes, count, done);
      if (!status.Ok()) return status;
      done += count;
      position += static_cast<int64_t>(count);
      remaining -= count;
    }
    for (uint64_t remaining = record.copy; remaining > 0;) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(piece.size(), remaining));
      error = extra.PullExactly(piece.data(), count, code);
      if (error != DecodeError::kNone) return Failure(error, done, code);
      status = Write(out, piece.data(), count, done);
      if (!status.Ok()) return status;
      done += count;
      remaining -= count;
    }
    if (position > kMaxSeek || position < -kMaxSeek) return Failure(DecodeError::kBadRecord, done);
  }
  if (done != header.newSize) return Failure(DecodeError::kStreamShort, done);
  for (Stream* stream : {&diff, &extra}) {
    const DecodeError error = stream->Finish(code);
    if (error != DecodeError::kNone) return Failure(error, done, code);
  }
  return {};
}

}  // namespace

const char* DecodeErrorText(DecodeError error) {
  switch (error) {
    case DecodeError::kNone:
      return "decoded";
    case DecodeError::kOpenPatch:
      return "the patch file cannot be opened";
    case DecodeError::kOpenBase:
      return "the installed file cannot be opened";
    case DecodeError::kReadPatch:
      return "the patch file cannot be read";
    case DecodeError::kReadBase:
      return "the installed file cannot be read";
    case DecodeError::kWrite:
      return "the copy cannot be written";
    case DecodeError::kNoMemory:
      return "out of memory";
    case DecodeError::kNotEncoded:
      return "the patch file is not of its encoding";
    case DecodeError::kBadHeader:
      return "the patch file's header is damaged";
    case DecodeError::kBaseSizeDiffers:
      return "the installed file is not the difference's base";
    case DecodeError::kNewSizeDiffers:
      return "the patch file makes a file of another size";
    case DecodeError::kStreamCorrupt:
      return "the patch file's data is damaged";
    case DecodeError::kStreamShort:
      return "the patch file's data ends early";
    case DecodeError::kStreamLong:
      return "the patch file's data goes on past the end";
    case DecodeError::kBadRecord:
      return "the difference reaches outside its files";
  }
  return "unknown failure";
}

DecodeStatus ReadDifferenceHeader(const ByteSource& patch, DifferenceHeader& header) {
  uint8_t bytes[kDifferenceHeaderBytes];
  const DecodeStatus status = CheckMagic(patch, kDifferenceMagic, bytes, sizeof(bytes));
  if (!status.Ok()) return status;
  const uint8_t* field = bytes + kMagicBytes;
  DifferenceHeader read;
  read.newSize = LoadU64(field);
  read.baseSize = LoadU64(field + 8);
  read.controlBytes = LoadU64(field + 16);
  read.diffBytes = LoadU64(field + 24);
  read.extraBytes = LoadU64(field + 32);
  // Each length is checked against what is left, so that their sum cannot wrap.
  uint64_t left = patch.size - kDifferenceHeaderBytes;
  for (uint64_t length : {read.controlBytes, read.diffBytes, read.extraBytes}) {
    if (length > left) return Failure(DecodeError::kBadHeader, 0);
    left -= length;
  }
  if (left != 0 || read.baseSize > static_cast<uint64_t>(kMaxSeek))
    return Failure(DecodeError::kBadHeader, 0);
  header = read;
  return {};
}

DecodeStatus DecodePatch(Encoding encoding, const ByteSource& patch, const ByteSource& base,
                         const ByteSink& out, uint64_t expectedSize) {
  try {
    std::vector<uint8_t> piece(kPieceBytes);
    switch (encoding) {
      case Encoding::kCompressed:
        return DecodeCompressed(patch, out, expectedSize, piece);
      case Encoding::kDifference: {
        std::vector<uint8_t> from(kPieceBytes);
        return DecodeDifference(patch, base, out, expectedSize, piece, from);
      }
      case Encoding::kWhole:
        break;
    }
    return Failure(DecodeError::kNotEncoded, 0);
  } catch (const std::bad_alloc&) {
    return Failure(DecodeError::kNoMemory, 0);
  }
}
