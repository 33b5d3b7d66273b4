#include <windows.h>
#include <shlwapi.h>

#include <cstdint>
#include <exception>

#include "package/conf.h"
#include "platform/file.h"

namespace {
// Writing is not shared: a file that is still being written is not read half-done.
constexpr DWORD kConfShare = FILE_SHARE_READ | FILE_SHARE_DELETE;
}  // namespace

ConfFileResult ReadConfFile(const std::wstring& path, std::string& text) {
  if (!PathFileExistsW(path.c_str())) return ConfFileResult::kMissing;
  // OPEN_ALWAYS: a file deleted since the existence test comes back empty and fails to parse.
  FileHandle file;
  if (file.Open(path.c_str(), GENERIC_READ, kConfShare, OPEN_ALWAYS) < 0)
    return ConfFileResult::kOpenFailed;
  uint64_t size = 0;
  if (file.GetSize(size) < 0) return ConfFileResult::kSizeFailed;
  if ((size >> 32) != 0) return ConfFileResult::kTooLarge;
  const DWORD count = static_cast<DWORD>(size);
  try {
    text.resize(count);
  } catch (const std::exception&) {
    // Out of memory, or longer than a string may be in this process (from 1 GiB up).
    return ConfFileResult::kNoMemory;
  }
  DWORD read = 0;
  if (file.Read(&text[0], count, read) < 0 || read != count) return ConfFileResult::kReadFailed;
  return ConfFileResult::kOk;
}
