#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// A sealed runner applies only the conf.json whose SHA-256 it carries. The seal block is a file
// format like the log's flag block: a 13-character marker, its NUL, then the 32 bytes of the
// hash, all zero when unsealed. Tools find it by its marker and write the hash into the built
// file; the signature of the runner then covers it.
inline constexpr size_t kSealBytes = 32;
struct SealBlock {
  char marker[14];
  unsigned char sha256[kSealBytes];
};
static_assert(sizeof(SealBlock) == 46, "the seal block layout is a file format");

// True when any of the 32 bytes of `seal` is not zero.
bool IsSealed(const std::string& seal);
// The seal as 64 lower-case hex digits, as sha256 values are written in conf.json.
std::string SealHex(const std::string& seal);
// The 32 bytes written as `hex` (64 hex digits of either case); empty for anything else.
std::string SealFromHex(const std::string& hex);

// The one rule a sealed runner applies to the bytes of conf.json, before they are parsed.
enum class SealState {
  kUnsealed,  // nothing to check: any conf.json is read
  kMatches,
  kDiffers,     // a run refuses this conf.json
  kUnhashable,  // no SHA-256 provider: a run refuses, since it cannot tell
};
struct SealVerdict {
  SealState state = SealState::kUnsealed;
  std::string sealHex;    // when sealed
  std::string actualHex;  // the text's hash, when it was hashed
  DWORD error = 0;        // kUnhashable: the platform's code
};
SealVerdict CheckSeal(const std::string& seal, const std::string& confText);
