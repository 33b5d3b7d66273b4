#include <shlobj.h>
#include <shlwapi.h>

#include "log/log_internal.h"
#include "platform/paths.h"
#include "platform/trust.h"

namespace {
constexpr DWORD kPathCapacity = MAX_PATH;
constexpr wchar_t kHookSubpath[] = L"Norvale\\PelliMgr\\OstraWfsDB\\MossLogEx.dll";
constexpr wchar_t kHookFolderChain[] = L"Norvale\\PelliMgr\\OstraWfsDB";
constexpr char kHookExport[] = "fnMossLogAssert";

HMODULE volatile HookLibrary = nullptr;
MossLogAssertFunction HookFunction = nullptr;
}  // namespace

std::wstring AssertTag() {
  return GetModuleTitle(nullptr) + L"_" + GetModuleTitle(GetLoggerModule());
}

std::wstring GetAssertHookPath() {
  wchar_t folder[kPathCapacity + 1] = {};
  if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE) || folder[0] == L'\0')
    return std::wstring();
  std::wstring path = folder;
  AppendBackslashIfMissing(path);
  return path + kHookSubpath;
}

namespace {
// Any local user can create these folders before the product is installed; an elevated runner
// must load only a library that no ordinary user could have planted or changed.
bool IsHookTrusted(const std::wstring& path) {
  const std::wstring base = path.substr(0, path.size() - (sizeof(kHookSubpath) / sizeof(wchar_t) - 1));
  return IsFolderChainTrusted(base, kHookFolderChain) && IsPathTrusted(path, kTrustNoForeignWriters);
}

// Dependencies come from the library's own folder and System32, never from the search path.
HMODULE LoadHookLibrary(const std::wstring& path) {
  HMODULE library = LoadLibraryExW(path.c_str(), nullptr,
                                   LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Systems without the restricted search reject its flags; the altered search path still
  // starts at the library's folder.
  if (library == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
    library = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  return library;
}
}  // namespace

void LoadAssertHook() {
  const std::wstring path = GetAssertHookPath();
  if (path.empty() || !PathFileExistsW(path.c_str()) || !IsHookTrusted(path)) return;
  HMODULE library = LoadHookLibrary(path);
  if (library == nullptr) return;
  HookFunction = reinterpret_cast<MossLogAssertFunction>(
      reinterpret_cast<void*>(GetProcAddress(library, kHookExport)));
  // Two threads may load at once; the exchange leaves one reference held, the other is freed.
  HMODULE previous = static_cast<HMODULE>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile*>(&HookLibrary), library));
  if (previous != nullptr) FreeLibrary(previous);
}

void CallAssertHook(const wchar_t* message) {
  if (message == nullptr) return;
  if (HookFunction == nullptr) LoadAssertHook();
  const MossLogAssertFunction hook = HookFunction;
  if (hook == nullptr) return;
  const std::wstring tag = AssertTag();
  hook(message, tag.c_str());
}

void ReleaseAssertHook() {
  HMODULE library = static_cast<HMODULE>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile*>(&HookLibrary), nullptr));
  if (library == nullptr) return;
  HookFunction = nullptr;
  FreeLibrary(library);
}
