#include "tools/kit/runner_image.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Block(unsigned char logEnabled, unsigned char magicDebug) {
  std::string block = LogEnabledMarker() + '\0' + static_cast<char>(logEnabled);
  block += MagicDebugMarker() + '\0' + static_cast<char>(magicDebug);
  return block;
}

TEST(FlagBlock, FindsBothFlagBytesAfterTheirMarkersAndNul) {
  const std::string bytes = std::string("MZ\x90\0junk", 8) + Block(0, 1) + "tail";
  FlagBlockLocation at;
  std::string error;
  ASSERT_TRUE(FindFlagBlock(bytes, at, error)) << error;
  EXPECT_EQ(at.logEnabled, 8u + 14u);
  EXPECT_EQ(at.magicDebug, 8u + 29u);
  EXPECT_EQ(bytes[at.logEnabled], '\0');
  EXPECT_EQ(bytes[at.magicDebug], '\x01');
}

TEST(FlagBlock, RefusesMissingRepeatedOrUnterminatedMarkers) {
  FlagBlockLocation at;
  at.logEnabled = 77;
  std::string error;
  const struct {
    std::string bytes;
    const char* expected;
  } cases[] = {
      {"no markers here", "not found"},
      {LogEnabledMarker() + std::string(1, '\0') + "x", "not found"},  // second marker missing
      {Block(0, 1) + Block(0, 1), "more than once"},
      {LogEnabledMarker() + "X" + "\x01" + MagicDebugMarker() + std::string("\0\x01", 2),
       "not followed"},
      {Block(0, 1).substr(0, 29), "not followed"},  // file ends right after the second NUL
  };
  for (const auto& c : cases) {
    error.clear();
    EXPECT_FALSE(FindFlagBlock(c.bytes, at, error));
    EXPECT_NE(error.find(c.expected), std::string::npos)
        << "expected \"" << c.expected << "\" in: " << error;
    EXPECT_EQ(at.logEnabled, 77u) << "a refused file leaves the location alone";
  }
}

TEST(FlagBlock, DescriptionFollowsTheActivationRules) {
  EXPECT_NE(DescribeFlags(1, 0).find("BEGAIN"), std::string::npos);
  EXPECT_EQ(DescribeFlags(1, 1), DescribeFlags(1, 0)) << "MagicDebug decides alone";
  EXPECT_NE(DescribeFlags(0, 1).find("Magic debuge open"), std::string::npos);
  EXPECT_NE(DescribeFlags(0, 0).find("EnableLogToView"), std::string::npos);
}

// Only a digest that matches reaches the chain: a chain that is not trusted here must never
// read as a changed file, nor a changed file as merely untrusted.
TEST(Signature, TellsAChangedFileFromAnUntrustedCertificate) {
  const struct {
    PeSignature directory;
    uint32_t code;
    SignatureCheck expected;
    const char* text;
  } cases[] = {
      {PeSignature::kUnsigned, 0x800B0100, SignatureCheck::kNone, "none"},
      {PeSignature::kNotPe, 0, SignatureCheck::kNone, "none"},
      {PeSignature::kSigned, 0, SignatureCheck::kVerifies, "verifies (Pub)"},
      {PeSignature::kSigned, 0x800B0109, SignatureCheck::kNotTrustedHere,
       "verifies (Pub); its certificate is not trusted here (0x800b0109)"},
      {PeSignature::kSigned, 0x800B010A, SignatureCheck::kNotTrustedHere, "(0x800b010a)"},
      {PeSignature::kSigned, 0x80096010, SignatureCheck::kDoesNotVerify,
       "does not verify (0x80096010: the file was changed after it was signed)"},
      {PeSignature::kSigned, 0x800B0100, SignatureCheck::kDoesNotVerify, "does not verify"},
      {PeSignature::kSigned, 0x800B0101, SignatureCheck::kDoesNotVerify, "expired"},
  };
  for (const auto& c : cases) {
    SignatureVerdict verdict;
    verdict.state = JudgeSignature(c.directory, c.code);
    verdict.code = c.code;
    verdict.signer = "Pub";
    const std::string text = DescribeSignature(verdict);
    EXPECT_EQ(verdict.state, c.expected) << HexCode(c.code) << ": " << text;
    EXPECT_NE(text.find(c.text), std::string::npos)
        << "expected \"" << c.text << "\" for " << HexCode(c.code) << ", saw: " << text;
  }
}

}  // namespace
