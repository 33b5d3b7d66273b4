#pragma once

// patchmake's choice of each patch file's encoding, and the writing of the one chosen.

#include <cstdint>
#include <string>

#include "package/patch_format.h"

// What each candidate came to, in bytes; kNotMade for one that was not made.
inline constexpr uint64_t kNotMade = UINT64_MAX;
struct EncodedSizes {
  uint64_t whole = 0;
  uint64_t compressed = kNotMade;
  uint64_t difference = kNotMade;
};

// The smallest candidate; a tie goes to the one the runner applies with less work (whole, then
// compressed).
Encoding ChooseEncoding(const EncodedSizes& sizes);

// "whole", "compressed", "difference".
const char* EncodingName(Encoding encoding);

struct EncodeRequest {
  std::wstring newPath;   // the new file
  std::wstring basePath;  // the installed file it may be a difference from; empty: none
  std::wstring outPath;   // the patch file, created here (it must not exist)
};

struct EncodeResult {
  Encoding encoding = Encoding::kWhole;
  EncodedSizes sizes;       // sizes.whole is the new file's size
  std::string sha256;       // of the new file
  std::string baseSha256;   // of the base, for a difference
  bool tooLargeToDiff = false;  // a base was given, but the pair does not fit DifferenceFits
};

// Writes the smallest of the new file whole, compressed, and (with a base that fits the
// differ's memory) its difference from the base, to `outPath`, with the new file's time of last
// write. False with a sentence in `failure` when a file cannot be read or written or memory runs
// out; `outPath` may then hold part of a file, which the caller removes.
bool EncodeFile(const EncodeRequest& request, EncodeResult& result, std::string& failure);
