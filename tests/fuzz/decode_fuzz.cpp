// libFuzzer target for the decoder of encoded patch files, built natively (see scripts/fuzz).
// The first byte picks the encoding, the next two the base's length; the base's bytes follow,
// then the patch file. Whatever the bytes, the decoder returns, stays within the base it was
// given, and, when it succeeds, wrote exactly the size the header announced.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "package/decode.h"

namespace {

struct Memory {
  const uint8_t* data;
  uint64_t size;
};

bool ReadMemory(void* context, uint64_t offset, uint8_t* into, size_t count, size_t& got,
                uint32_t&) {
  const Memory& memory = *static_cast<Memory*>(context);
  if (offset > memory.size) std::abort();  // a read past the end of a source
  got = static_cast<size_t>(std::min<uint64_t>(count, memory.size - offset));
  std::memcpy(into, memory.data + offset, got);
  return true;
}

struct Written {
  uint64_t bytes = 0;
};

// Refuses past 64 MiB: a header may announce any size, and the fuzzer has no disk to fill.
bool Count(void* context, const uint8_t*, size_t count, uint32_t& code) {
  Written& written = *static_cast<Written*>(context);
  written.bytes += count;
  code = 1;
  return written.bytes <= (uint64_t{64} << 20);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const Encoding encoding = data[0] & 1 ? Encoding::kDifference : Encoding::kCompressed;
  const size_t baseSize = std::min<size_t>(size - 3, (size_t{data[1]} << 8) | data[2]);
  Memory base{data + 3, baseSize};
  Memory patch{data + 3 + baseSize, size - 3 - baseSize};
  const ByteSource baseSource{&base, &ReadMemory, base.size};
  const ByteSource patchSource{&patch, &ReadMemory, patch.size};
  Written written;
  const ByteSink sink{&written, &Count};
  const DecodeStatus status = DecodePatch(encoding, patchSource, baseSource, sink);
  // A decoding that succeeds wrote exactly the new size its header announced.
  if (status.Ok() && (patch.size < kMagicBytes + 8 || written.bytes != LoadU64(patch.data + kMagicBytes)))
    std::abort();
  if (DecodeErrorText(status.error) == nullptr) std::abort();
  return 0;
}
