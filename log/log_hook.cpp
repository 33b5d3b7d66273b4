#include <shlobj.h>
#include <shlwapi.h>

#include "log/log_internal.h"
#include "platform/paths.h"

namespace {
constexpr DWORD kPathCapacity = MAX_PATH;
constexpr wchar_t kHookSubpath[] = L"Norvale\\PelliMgr\\OstraWfsDB\\MossLogEx.dll";
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

void LoadAssertHook() {
  const std::wstring path = GetAssertHookPath();
  if (path.empty() || !PathFileExistsW(path.c_str())) return;
  HMODULE library = LoadLibraryW(path.c_str());
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
