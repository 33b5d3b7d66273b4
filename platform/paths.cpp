#include "platform/paths.h"

#include <windows.h>
#include <shlwapi.h>

namespace {
// 260 characters told to the platform plus one unit it never writes, so the text is always
// terminated, also when the platform cuts a path at the capacity.
constexpr DWORD kPathCapacity = MAX_PATH;
}  // namespace

std::wstring GetModuleDirectory() {
  wchar_t buffer[kPathCapacity + 1] = {};
  GetModuleFileNameW(nullptr, buffer, kPathCapacity);
  PathRemoveFileSpecW(buffer);
  PathAddBackslashW(buffer);
  return CanonicalizePath(buffer);
}

std::wstring CanonicalizePath(const std::wstring& path) {
  // Some implementations of PathCanonicalizeW write past MAX_PATH for a longer source.
  if (path.size() >= kPathCapacity) return std::wstring();
  wchar_t buffer[kPathCapacity + 1] = {};
  PathCanonicalizeW(buffer, path.c_str());
  return buffer;
}

void AppendBackslashIfMissing(std::wstring& path) {
  if (!path.empty() && path.back() != L'\\') path.push_back(L'\\');
}
