#include "tests/support/encode.h"

#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "package/patch_format.h"

namespace testsupport {
namespace {

std::string Frame(const std::string& data) {
  std::string frame(ZSTD_compressBound(data.size()), '\0');
  const size_t size = ZSTD_compress(&frame[0], frame.size(), data.data(), data.size(), 3);
  if (ZSTD_isError(size)) throw std::runtime_error(ZSTD_getErrorName(size));
  frame.resize(size);
  return frame;
}

void AppendU64(std::string& to, uint64_t value) {
  uint8_t bytes[8];
  StoreU64(value, bytes);
  to.append(reinterpret_cast<const char*>(bytes), 8);
}

}  // namespace

std::string CompressedPatch(const std::string& next) {
  std::string patch(kCompressedMagic, kMagicBytes);
  AppendU64(patch, next.size());
  return patch + Frame(next);
}

std::string DifferencePatch(const std::string& base, const std::string& next) {
  const size_t add = std::min(base.size(), next.size());
  std::string diff(next, 0, add);
  for (size_t i = 0; i < add; ++i) diff[i] = static_cast<char>(next[i] - base[i]);
  uint8_t record[30];
  size_t used = StoreVarint(ZigZag(0), record);
  used += StoreVarint(add, record + used);
  used += StoreVarint(next.size() - add, record + used);
  const std::string control = Frame(std::string(reinterpret_cast<char*>(record), used));
  const std::string diffFrame = Frame(diff), extra = Frame(next.substr(add));
  std::string patch(kDifferenceMagic, kMagicBytes);
  for (const uint64_t value : {uint64_t{next.size()}, uint64_t{base.size()},
                               uint64_t{control.size()}, uint64_t{diffFrame.size()},
                               uint64_t{extra.size()}}) {
    AppendU64(patch, value);
  }
  return patch + control + diffFrame + extra;
}

}  // namespace testsupport
