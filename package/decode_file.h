#pragma once

#include <windows.h>

#include <string>

#include "package/decode.h"

// Decodes the patch file at `patchPath` (the entry's `encoding`, kCompressed or kDifference)
// into `output`, a file open for writing at its start (the partial copy). A difference reads
// the installed file at `basePath`, opened for reading with full sharing since the product may
// hold it. Each file is opened, read by position and closed here; `output` stays the caller's.
// On failure the status says why (kOpenPatch and kOpenBase with the platform's code too) and
// the output holds at most a prefix of the new file: the caller removes it.
// With `sha256`, also the SHA-256 of the bytes written (64 hex digits), so that the output need
// not be read again to be checked.
DecodeStatus DecodePatchFile(Encoding encoding, const std::wstring& patchPath,
                             const std::wstring& basePath, HANDLE output,
                             std::string* sha256 = nullptr) noexcept;

// The SHA-256 of what the patch file decodes to, in `hex` (64 hex digits), without writing it
// anywhere: how the tools check an encoded patch file against the hash its entry records.
DecodeStatus DecodePatchFileSha256(Encoding encoding, const std::wstring& patchPath,
                                   const std::wstring& basePath, std::string& hex) noexcept;
