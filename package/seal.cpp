#include "package/seal.h"

#include <algorithm>

#include "platform/sha256.h"
#include "platform/text.h"

bool IsSealed(const std::string& seal) {
  return std::any_of(seal.begin(), seal.end(), [](char byte) { return byte != '\0'; });
}

std::string SealHex(const std::string& seal) { return HexOfBytes(seal); }

std::string SealFromHex(const std::string& hex) {
  return hex.size() == 2 * kSealBytes ? BytesOfHex(hex) : std::string();
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
