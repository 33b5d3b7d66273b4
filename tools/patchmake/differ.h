#pragma once

// patchmake's encoder: the bytes of compressed and difference patch files
// (package/patch_format.h), in memory and free of platform calls. encode_file.h puts them on
// files and chooses between them.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "package/patch_format.h"

// The level for every stream: zstd's highest below its "ultra" levels, whose larger windows the
// decoder refuses.
inline constexpr int kPatchCompressionLevel = 19;
// A fast level, to learn whether level 19 of a new file can beat its difference.
inline constexpr int kQuickCompressionLevel = 1;

// A difference before compression: the records and the bytes of the diff and extra streams.
struct DifferenceStreams {
  std::vector<uint8_t> control, diff, extra;
  // False when samples of the new file were almost all missing from the base: no records are
  // made then, since a difference of unrelated files is no smaller than the file compressed
  // and the matcher is slowest on them.
  bool related = true;
};

// Appends one record to a control stream (see patch_format.h).
void AppendRecord(std::vector<uint8_t>& control, const DiffRecord& record);

// Fills `streams` (emptied first) with records and bytes that make `next` from `base`: for each
// stretch of `next`, the place in `base` where it matches best (a suffix array of `base`),
// extended forwards and backwards while more of its bytes match than not (but see `related`).
// False, with a sentence in `error`, when memory runs out (the differ needs
// DifferenceMemoryBytes).
bool MatchAgainstBase(const uint8_t* base, size_t baseSize, const uint8_t* next, size_t nextSize,
                      DifferenceStreams& streams, std::string& error);

// The memory the differ takes for a pair of files of these sizes, at most: the suffix array,
// both files, the raw and the compressed streams, and the compressor.
uint64_t DifferenceMemoryBytes(uint64_t baseSize, uint64_t newSize);
// What patchmake, a 32-bit program, may spend on it: its 2 GiB of address space hold the program
// and its libraries, and large blocks must still find room between them.
inline constexpr uint64_t kDifferenceMemoryLimit = uint64_t{1200} << 20;
// Whether a pair may be diffed at all; a file that may not is sent compressed.
inline bool DifferenceFits(uint64_t baseSize, uint64_t newSize) {
  return DifferenceMemoryBytes(baseSize, newSize) <= kDifferenceMemoryLimit;
}

// zstd frames of `size` bytes of data, at `level`, within the decoder's window. Streaming: one
// compressor for any number of pieces, whose output is appended to `out` as it comes.
class FrameCompressor {
 public:
  FrameCompressor();
  ~FrameCompressor();
  FrameCompressor(const FrameCompressor&) = delete;
  FrameCompressor& operator=(const FrameCompressor&) = delete;

  // Starts a frame of exactly `size` bytes. False with `error` when no compressor can be had.
  bool Begin(uint64_t size, int level, std::string& error);
  bool Add(const uint8_t* data, size_t count, std::vector<uint8_t>& out, std::string& error);
  // Ends the frame; false when the data added was not the size begun with.
  bool End(std::vector<uint8_t>& out, std::string& error);

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// A whole frame of `size` bytes, appended to `out`.
bool CompressFrame(FrameCompressor& compressor, const uint8_t* data, size_t size, int level,
                   std::vector<uint8_t>& out, std::string& error);

// The header of a compressed patch file of a new file of `newSize` bytes; its frames follow.
std::vector<uint8_t> CompressedHeader(uint64_t newSize);
// The header of a difference (its stream lengths are the compressed ones); the streams follow.
std::vector<uint8_t> DifferenceHeaderBytes(const DifferenceHeader& header);

// A whole compressed patch file of `data`.
bool EncodeCompressed(const uint8_t* data, size_t size, int level, std::vector<uint8_t>& patch,
                      std::string& error);

// A whole difference patch file from `streams` (made against a base of `baseSize` bytes, for a
// new file of `newSize`): the header, then each stream compressed in turn.
bool EncodeDifference(const DifferenceStreams& streams, uint64_t baseSize, uint64_t newSize,
                      int level, std::vector<uint8_t>& patch, std::string& error);
