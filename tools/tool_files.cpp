#include "tools/tool_files.h"

#include <windows.h>

#include "platform/file.h"
#include "platform/text.h"

namespace {
std::string ErrorText(const char* what, const std::wstring& path) {
  return std::string(what) + " " + NarrowToUtf8(path) + " (error " +
         std::to_string(GetLastError()) + ")";
}
}  // namespace

bool ReadWholeFile(const std::wstring& path, std::string& bytes, std::string& error) {
  FileHandle file;
  uint64_t size = 0;
  if (file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING) < 0) {
    error = ErrorText("cannot open", path);
    return false;
  }
  if (file.GetSize(size) < 0 || size > 0x7FFFFFFF) {
    error = ErrorText("cannot size", path);
    return false;
  }
  bytes.assign(static_cast<size_t>(size), '\0');
  DWORD read = 0;
  if (size > 0 && (file.Read(&bytes[0], static_cast<DWORD>(size), read) < 0 || read != size)) {
    error = ErrorText("cannot read", path);
    return false;
  }
  return true;
}

bool ReplaceWholeFile(const std::wstring& path, const std::string& bytes, std::string& error) {
  const std::wstring temp = path + L".patchtool.tmp";
  FileHandle file;
  if (file.Open(temp.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS) < 0) {
    error = ErrorText("cannot create", temp);
    return false;
  }
  DWORD written = 0;
  const BOOL wrote =
      WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size() && FlushFileBuffers(file.Get());
  file.Close();
  if (!wrote || !MoveFileExW(temp.c_str(), path.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = ErrorText("cannot write", path);
    DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}
