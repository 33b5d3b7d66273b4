#include "app/conf.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdint>
#include <new>

#include "log/log.h"
#include "platform/file.h"

namespace {

// Writing is not shared: a file that is still being written is not read half-done.
constexpr DWORD kConfShare = FILE_SHARE_READ | FILE_SHARE_DELETE;

bool ParseOpenConf(FileHandle& file, PatchList& list) {
  uint64_t size = 0;
  if (file.GetSize(size) < 0) {
    LOG_FAILURE(L"[%s]conf getsize failed.");
    return false;
  }
  if ((size >> 32) != 0) {
    LOG_FAILURE(L"[%s]conf Read failed.");
    return false;
  }
  const DWORD count = static_cast<DWORD>(size);
  std::string text;
  try {
    text.resize(count);
  } catch (const std::bad_alloc&) {
    LOG_FAILURE(L"[%s]conf Read failed, no memory for %u bytes.", count);
    return false;
  }
  DWORD read = 0;
  if (file.Read(&text[0], count, read) < 0 || read != count) {
    LOG_FAILURE(L"[%s]conf Read failed.");
    return false;
  }

  switch (ParseConfText(text, list)) {
    case ConfTextResult::kOk:
      return true;
    case ConfTextResult::kParseFailed:
      LOG_FAILURE(L"[%s]conf json parse failed.");
      return false;
    case ConfTextResult::kListNotArray:
      LOG_FAILURE(L"[%s]conf json parse failed \"patch_list\" is not array.");
      return false;
    case ConfTextResult::kOutOfFormat:
      break;
  }
  LOG_FAILURE(L"[%s]conf json parse failed, a value is outside the format.");
  return false;
}

}  // namespace

bool ParseConf(const std::wstring& path, PatchList& list) {
  LOG_PROGRESS(L"[%s]Enter.");
  LOG_PROGRESS(L"[%s]conf file pah[%s].", path);
  if (!PathFileExistsW(path.c_str())) {
    LOG_FAILURE(L"[%s]inst conf is not exist.");
    return false;
  }
  // OPEN_ALWAYS: a file deleted since the existence test comes back empty and fails to parse.
  FileHandle file;
  if (file.Open(path.c_str(), GENERIC_READ, kConfShare, OPEN_ALWAYS) < 0) {
    LOG_FAILURE(L"[%s]conf open failed.");
    return false;
  }
  return ParseOpenConf(file, list);
}
