#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The runner's blocks that tools find in a built file: each is a 13-character marker, its NUL,
// then the block's bytes. The markers are assembled at run time so that no program that uses
// this carries them itself.

// One block to find: its marker and how many bytes follow the marker's NUL.
struct MarkedField {
  MarkedField(std::string markerText, size_t fieldLength)
      : marker(std::move(markerText)), length(fieldLength) {}
  std::string marker;
  size_t length = 0;
  uint64_t offset = 0;  // found: where its bytes start in the file
  std::string bytes;    // found: its bytes
};

// Fills every field when each marker occurs exactly once and is followed by its NUL and the
// field's bytes; otherwise false with a sentence saying what is wrong in `error`, fields
// untouched. The file is read in chunks, never whole.
bool FindMarkedFields(const std::string& bytes, std::vector<MarkedField>& fields,
                      std::string& error);
bool FindMarkedFieldsInFile(const std::wstring& path, std::vector<MarkedField>& fields,
                            std::string& error);

// The runner's two log flag bytes.
struct FlagBlockLocation {
  uint64_t logEnabled = 0;  // offsets into the file
  uint64_t magicDebug = 0;
  unsigned char logEnabledValue = 0;
  unsigned char magicDebugValue = 0;
};
bool FindFlagBlock(const std::string& bytes, FlagBlockLocation& location, std::string& error);
bool FindFlagBlockInFile(const std::wstring& path, FlagBlockLocation& location, std::string& error);

// The runner's seal: where its 32 bytes start in the file, and what they hold.
struct SealLocation {
  uint64_t offset = 0;
  std::string seal;  // 32 bytes, all zero when unsealed
};
bool FindSealInFile(const std::wstring& path, SealLocation& location, std::string& error);

// Whether a PE file carries an Authenticode signature: a non-empty security directory in its
// headers. Pure, on the file's first bytes (kHeaderBytes or all of a shorter file).
enum class PeSignature { kNotPe, kUnsigned, kSigned };
inline constexpr size_t kHeaderBytes = 4096;
PeSignature SignatureOf(const std::string& head);
// As SignatureOf, on a file; false with a sentence in `error` when it cannot be read.
bool ReadSignatureOf(const std::wstring& path, PeSignature& signature, std::string& error);

// What WinVerifyTrust makes of a file's Authenticode signature, without network look-ups.
// kNotTrustedHere: the file has the digest its signature holds, but the signer's certificate
// does not chain to a root this machine trusts.
enum class SignatureCheck { kNone, kVerifies, kNotTrustedHere, kDoesNotVerify };
struct SignatureVerdict {
  SignatureCheck state = SignatureCheck::kNone;
  std::string signer;  // UTF-8: the signer certificate's name; empty when it cannot be told
  uint32_t code = 0;   // WinVerifyTrust's result
};
// Pure: the verdict's state from the security directory and WinVerifyTrust's result.
SignatureCheck JudgeSignature(PeSignature directory, uint32_t trustResult);
// Reads the security directory and, when there is one, has the signature verified. False with
// a sentence in `error` when the file cannot be read; `verdict` is then left alone.
bool VerifySignatureOf(const std::wstring& path, SignatureVerdict& verdict, std::string& error);
// "verifies (signer)", "verifies (signer); its certificate is not trusted here (0x...)",
// "does not verify (0x...: why)" or "none".
std::string DescribeSignature(const SignatureVerdict& verdict);
// "verifies" (whether trusted here or not), "does-not-verify" or "none", for JSON.
const char* SignatureName(SignatureCheck state);
// "0x" and eight lower-case hex digits.
std::string HexCode(uint32_t code);

// What the two bytes mean for a run, in one sentence.
std::string DescribeFlags(unsigned char magicDebug, unsigned char logEnabled);

// The marker texts, built at run time.
std::string LogEnabledMarker();
std::string MagicDebugMarker();
std::string SealMarker();
