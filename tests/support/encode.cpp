#include "tests/support/encode.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "tools/patchmake/differ.h"

namespace testsupport {
namespace {

std::string Bytes(const std::vector<uint8_t>& patch) {
  return std::string(patch.begin(), patch.end());
}

const uint8_t* Data(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

}  // namespace

std::string CompressedPatch(const std::string& next) {
  std::vector<uint8_t> patch;
  std::string error;
  if (!EncodeCompressed(Data(next), next.size(), 1, patch, error)) throw std::runtime_error(error);
  return Bytes(patch);
}

std::string DifferencePatch(const std::string& base, const std::string& next) {
  const size_t add = std::min(base.size(), next.size());
  DifferenceStreams streams;
  AppendRecord(streams.control, {0, add, next.size() - add});
  for (size_t i = 0; i < add; ++i) streams.diff.push_back(static_cast<uint8_t>(next[i] - base[i]));
  streams.extra.assign(next.begin() + static_cast<std::ptrdiff_t>(add), next.end());
  std::vector<uint8_t> patch;
  std::string error;
  if (!EncodeDifference(streams, base.size(), next.size(), 1, patch, error))
    throw std::runtime_error(error);
  return Bytes(patch);
}

}  // namespace testsupport
