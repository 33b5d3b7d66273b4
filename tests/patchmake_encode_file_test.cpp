// The encoder's patch files read back by the runner's decoder, corrupt ones refused, and the
// choice between the encodings.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "package/decode.h"
#include "tools/patchmake/differ.h"
#include "tools/patchmake/encode_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool ReadFrom(void* context, uint64_t offset, uint8_t* into, size_t count, size_t& got,
              uint32_t&) {
  const Bytes& bytes = *static_cast<const Bytes*>(context);
  got = offset >= bytes.size() ? 0 : std::min<size_t>(count, bytes.size() - offset);
  if (got > 0) std::memcpy(into, bytes.data() + offset, got);
  return true;
}
bool Append(void* context, const uint8_t* data, size_t count, uint32_t&) {
  static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), data, data + count);
  return true;
}

DecodeStatus Decode(Encoding encoding, const Bytes& patch, const Bytes& base, Bytes& out,
                    uint64_t expected = kAnySize) {
  out.clear();
  const ByteSource patchSource{const_cast<Bytes*>(&patch), &ReadFrom, patch.size()};
  const ByteSource baseSource{const_cast<Bytes*>(&base), &ReadFrom, base.size()};
  return DecodePatch(encoding, patchSource, baseSource, {&out, &Append}, expected);
}

Bytes Noise(size_t size, uint32_t seed) {
  Bytes bytes(size);
  for (uint8_t& byte : bytes) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(seed >> 24);
  }
  return bytes;
}

Bytes DifferenceOf(const Bytes& base, const Bytes& next) {
  DifferenceStreams streams;
  Bytes patch;
  std::string error;
  EXPECT_TRUE(MatchAgainstBase(base.data(), base.size(), next.data(), next.size(), streams, error))
      << error;
  EXPECT_TRUE(EncodeDifference(streams, base.size(), next.size(), kPatchCompressionLevel, patch,
                               error))
      << error;
  return patch;
}

// A new version as an update makes one: bytes changed here and there (addresses that moved),
// a stretch cut out, another inserted, a block moved, and a new tail.
Bytes NextVersion(const Bytes& base) {
  Bytes next(base.begin(), base.begin() + 100000);
  for (size_t i = 0; i < next.size(); i += 997) next[i] ^= 0x5a;
  const Bytes inserted = Noise(3000, 7);
  next.insert(next.end(), inserted.begin(), inserted.end());
  next.insert(next.end(), base.begin() + 150000, base.end());
  next.insert(next.end(), base.begin() + 20000, base.begin() + 40000);
  const Bytes tail = Noise(5000, 9);
  next.insert(next.end(), tail.begin(), tail.end());
  return next;
}

TEST(PatchMakeEncoding, DifferencesAndCompressedFilesDecodeToTheNewFile) {
  const Bytes base = Noise(200000, 1), next = NextVersion(base);
  const Bytes patch = DifferenceOf(base, next);
  EXPECT_LT(patch.size(), next.size() / 10) << "the shared bytes were not found";
  Bytes out;
  ASSERT_TRUE(Decode(Encoding::kDifference, patch, base, out, next.size()).Ok());
  EXPECT_TRUE(out == next);
  // Empty files on either side, and a small base that shares nothing.
  for (const auto& pair : {std::make_pair(Bytes(), next), std::make_pair(base, Bytes()),
                           std::make_pair(Bytes(), Bytes()),
                           std::make_pair(Noise(999, 3), Noise(1000, 4))}) {
    EXPECT_TRUE(Decode(Encoding::kDifference, DifferenceOf(pair.first, pair.second), pair.first,
                       out)
                    .Ok());
    EXPECT_TRUE(out == pair.second) << pair.first.size() << " -> " << pair.second.size();
  }
  // A large new file that shares nothing with its base is not matched at all.
  DifferenceStreams streams;
  std::string error;
  ASSERT_TRUE(MatchAgainstBase(base.data(), base.size(), next.data(), next.size(), streams, error));
  EXPECT_TRUE(streams.related);
  const Bytes other = Noise(next.size(), 5);
  ASSERT_TRUE(MatchAgainstBase(base.data(), base.size(), other.data(), other.size(), streams, error));
  EXPECT_FALSE(streams.related);
  EXPECT_TRUE(streams.control.empty() && streams.extra.empty());

  Bytes compressed;
  const Bytes text(300000, 'a');
  ASSERT_TRUE(EncodeCompressed(text.data(), text.size(), kPatchCompressionLevel, compressed, error))
      << error;
  EXPECT_LT(compressed.size(), 1000u);
  ASSERT_TRUE(Decode(Encoding::kCompressed, compressed, {}, out).Ok());
  EXPECT_TRUE(out == text);
}

TEST(PatchMakeEncoding, CorruptPatchFilesAreRefusedWithoutWritingTooMuch) {
  const Bytes base = Noise(200000, 1), next = NextVersion(base);
  const Bytes patch = DifferenceOf(base, next);
  Bytes out;
  // Cut short anywhere: refused, and what was written is a prefix of the new file.
  for (size_t cut : {size_t{0}, size_t{7}, kDifferenceHeaderBytes - 1, kDifferenceHeaderBytes,
                     patch.size() / 2, patch.size() - 1}) {
    const Bytes shorter(patch.begin(), patch.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_FALSE(Decode(Encoding::kDifference, shorter, base, out).Ok()) << "cut at " << cut;
    EXPECT_TRUE(out.size() <= next.size() && std::equal(out.begin(), out.end(), next.begin()))
        << "cut at " << cut;
  }
  // Any byte changed: never more than the new size, and never a success of another size.
  for (size_t at = 0; at < patch.size(); at += 1 + patch.size() / 97) {
    Bytes changed = patch;
    changed[at] ^= 0xff;
    const DecodeStatus status = Decode(Encoding::kDifference, changed, base, out);
    EXPECT_LE(out.size(), next.size()) << "byte " << at;
    if (status.Ok()) {
      EXPECT_EQ(out.size(), next.size()) << "byte " << at;
    }
  }
  EXPECT_EQ(Decode(Encoding::kDifference, patch, Bytes(base.begin(), base.end() - 1), out).error,
            DecodeError::kBaseSizeDiffers);
  EXPECT_EQ(Decode(Encoding::kDifference, patch, base, out, next.size() + 1).error,
            DecodeError::kNewSizeDiffers);
  EXPECT_EQ(Decode(Encoding::kCompressed, patch, base, out).error, DecodeError::kNotEncoded);
  Bytes longer = patch;
  longer.push_back(0);
  EXPECT_EQ(Decode(Encoding::kDifference, longer, base, out).error, DecodeError::kBadHeader);

  // Records that read before or past the base, write past the new size, or do nothing.
  const auto withRecords = [&](const std::vector<DiffRecord>& records, uint64_t newSize) {
    DifferenceStreams streams;
    for (const DiffRecord& record : records) {
      AppendRecord(streams.control, record);
      streams.diff.resize(streams.diff.size() + record.add);
      streams.extra.resize(streams.extra.size() + record.copy);
    }
    Bytes bytes;
    std::string error;
    EXPECT_TRUE(EncodeDifference(streams, 100, newSize, 3, bytes, error)) << error;
    return Decode(Encoding::kDifference, bytes, Bytes(100, 1), out).error;
  };
  EXPECT_EQ(withRecords({{-1, 1, 0}}, 1), DecodeError::kBadRecord);
  EXPECT_EQ(withRecords({{90, 11, 0}}, 11), DecodeError::kBadRecord);
  EXPECT_EQ(withRecords({{0, 5, 5}}, 9), DecodeError::kBadRecord);
  EXPECT_EQ(withRecords({{0, 0, 0}, {0, 1, 0}}, 1), DecodeError::kBadRecord);
  EXPECT_EQ(withRecords({{0, 100, 1}}, 101), DecodeError::kNone);
}

TEST(PatchMakeEncoding, TheSmallestCandidateWinsTiesTheSimplerOne) {
  EXPECT_EQ(ChooseEncoding({100, 40, 10}), Encoding::kDifference);
  EXPECT_EQ(ChooseEncoding({100, 40, 40}), Encoding::kCompressed);
  EXPECT_EQ(ChooseEncoding({100, 40, kNotMade}), Encoding::kCompressed);
  EXPECT_EQ(ChooseEncoding({10, 26, 58}), Encoding::kWhole) << "headers outweigh a small file";
  EXPECT_EQ(ChooseEncoding({100, 100, kNotMade}), Encoding::kWhole);
  EXPECT_EQ(ChooseEncoding({0, 16, 48}), Encoding::kWhole);
}

}  // namespace
