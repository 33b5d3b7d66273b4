#pragma once

// The runner's decoder of encoded patch files (package/patch_format.h): a compressed file, or a
// difference applied to the installed file. It reads untrusted bytes: every length and offset is
// checked before it is used, and memory stays bounded whatever the sizes (three zstd windows of
// at most 8 MiB and a few buffers, about 26 MiB). Nothing here calls the platform: the bytes
// come and go through the readers and the writer below, so that it builds and is fuzzed
// anywhere; decode_file.h connects them to files.

#include <cstddef>
#include <cstdint>

#include "package/patch_format.h"

enum class DecodeError {
  kNone,
  kOpenPatch,        // the patch file cannot be opened (code: the platform's)
  kOpenBase,         // the installed file cannot be opened (code: the platform's)
  kReadPatch,        // a read of the patch file failed (code: the platform's)
  kReadBase,         // a read of the installed file failed or came short
  kWrite,            // the output could not be written (code: the platform's)
  kNoMemory,
  kNotEncoded,       // the patch file does not start as its encoding does
  kBadHeader,        // a header cut short, or stream lengths that do not fill the file
  kBaseSizeDiffers,  // the installed file is not as long as the difference's base
  kNewSizeDiffers,   // the patch file decodes to another size than the one expected
  kStreamCorrupt,    // zstd refused a stream (code: its error code; a window too large too)
  kStreamShort,      // a stream ends before the new file is complete
  kStreamLong,       // a stream goes on after the new file is complete
  kBadRecord,        // a record reads outside the base, writes past the new size or is empty
};

struct DecodeStatus {
  DecodeError error = DecodeError::kNone;
  uint32_t code = 0;  // the platform's error code, or zstd's for kStreamCorrupt
  uint64_t at = 0;    // the offset in the new file where decoding stopped
  bool Ok() const { return error == DecodeError::kNone; }
};

// A few words for a log line ("a stream ends early"); never null.
const char* DecodeErrorText(DecodeError error);

// Random access to a file of `size` bytes: `read` stores up to `count` bytes from `offset` at
// `into` and sets `got`, fewer than asked only at the end of the file; false with the
// platform's code in `code` when the read fails.
struct ByteSource {
  void* context = nullptr;
  bool (*read)(void* context, uint64_t offset, uint8_t* into, size_t count, size_t& got,
               uint32_t& code) = nullptr;
  uint64_t size = 0;
};

// Takes the new file's bytes in order: false with the platform's code when they cannot be
// written.
struct ByteSink {
  void* context = nullptr;
  bool (*write)(void* context, const uint8_t* data, size_t count, uint32_t& code) = nullptr;
};

inline constexpr uint64_t kAnySize = UINT64_MAX;

// Reads the header of a difference; kNotEncoded or kBadHeader when it is not a whole one.
DecodeStatus ReadDifferenceHeader(const ByteSource& patch, DifferenceHeader& header);

// Decodes `patch` (kCompressed or kDifference, the entry's encoding) into `out`. `base` is the
// installed file (read for kDifference only). With `expectedSize` other than kAnySize, a patch
// file whose header announces another size is refused before a byte is written. On failure the
// output holds a prefix of the new file at most, and the status says where and why.
DecodeStatus DecodePatch(Encoding encoding, const ByteSource& patch, const ByteSource& base,
                         const ByteSink& out, uint64_t expectedSize = kAnySize);
