#pragma once

// The bytes of an encoded patch file, shared by the runner's decoder and patchmake's encoder.
// Pure layout: no platform calls.
//
// Compressed (the new file, zstd):
//   "PTCHZST1", new size (u64), then zstd frames up to the end of the file.
// Difference (from the installed file, the base, to the new file):
//   "PTCHDIF1", new size, base size, and the lengths of the three streams (u64 each), then the
//   streams, each zstd frames, one after the other up to the end of the file:
//   - control: records of three LEB128 numbers: `seek` (zigzag-encoded), `add`, `copy`;
//   - diff: for each record, `add` bytes, each added (mod 256) to the base byte at the base
//     position, which starts at 0, moves by the record's `seek` first and then along the add;
//   - extra: for each record, `copy` bytes taken as they are.
//   The output is, record after record, the `add` bytes then the `copy` bytes. A record adds or
//   copies at least one byte, so that no stream of records can keep a decoder busy for nothing.
// Numbers are little-endian. Every frame's window is at most 2^kMaxWindowLog bytes, which is
// what bounds the decoder's memory.

#include <cstddef>
#include <cstdint>

enum class Encoding { kWhole, kCompressed, kDifference };

inline constexpr size_t kMagicBytes = 8;
inline constexpr char kCompressedMagic[kMagicBytes + 1] = "PTCHZST1";
inline constexpr char kDifferenceMagic[kMagicBytes + 1] = "PTCHDIF1";
inline constexpr size_t kCompressedHeaderBytes = kMagicBytes + 8;
inline constexpr size_t kDifferenceHeaderBytes = kMagicBytes + 5 * 8;

// 8 MiB: what zstd's level 19 uses for large inputs; three such windows stay far below the
// decoder's budget.
inline constexpr int kMaxWindowLog = 23;

struct DifferenceHeader {
  uint64_t newSize = 0;
  uint64_t baseSize = 0;
  uint64_t controlBytes = 0;
  uint64_t diffBytes = 0;
  uint64_t extraBytes = 0;
};

// One record of the control stream.
struct DiffRecord {
  int64_t seek = 0;
  uint64_t add = 0;
  uint64_t copy = 0;
};

inline void StoreU64(uint64_t value, uint8_t* to) {
  for (int i = 0; i < 8; ++i) to[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline uint64_t LoadU64(const uint8_t* from) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | from[i];
  return value;
}

inline uint64_t ZigZag(int64_t value) {
  return (static_cast<uint64_t>(value) << 1) ^ (value < 0 ? ~uint64_t{0} : 0);
}
inline int64_t UnZigZag(uint64_t value) {
  return static_cast<int64_t>((value >> 1) ^ (~(value & 1) + 1));
}

// Writes `value` as LEB128 at `to` (room for 10 bytes) and returns the bytes written.
inline size_t StoreVarint(uint64_t value, uint8_t* to) {
  size_t count = 0;
  while (value >= 0x80) {
    to[count++] = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  to[count++] = static_cast<uint8_t>(value);
  return count;
}
