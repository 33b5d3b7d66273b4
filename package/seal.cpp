#include "package/seal.h"

#include <algorithm>

#include "platform/sha256.h"

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool IsSealed(const std::string& seal) {
  return std::any_of(seal.begin(), seal.end(), [](char byte) { return byte != '\0'; });
}

std::string SealHex(const std::string& seal) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char byte : seal) {
    hex += kDigits[static_cast<unsigned char>(byte) >> 4];
    hex += kDigits[static_cast<unsigned char>(byte) & 0x0F];
  }
  return hex;
}

std::string SealFromHex(const std::string& hex) {
  if (hex.size() != 2 * kSealBytes) return std::string();
  std::string seal;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return std::string();
    seal += static_cast<char>(high * 16 + low);
  }
  return seal;
}

SealVerdict CheckSeal(const std::string& seal, const std::string& confText) {
  SealVerdict verdict;
  if (!IsSealed(seal)) return verdict;
  verdict.sealHex = SealHex(seal);
  // ReadConfFile never returns 4 GiB or more.
  if (!HashBytesSha256(confText, verdict.actualHex, verdict.error)) {
    verdict.state = SealState::kUnhashable;
    return verdict;
  }
  verdict.state = verdict.actualHex == verdict.sealHex ? SealState::kMatches : SealState::kDiffers;
  return verdict;
}
