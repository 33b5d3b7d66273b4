#include "platform/mitigations.h"

#include "platform/handle.h"

void ApplyProcessMitigations() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  if (auto set = FindExport<SetDirectories>(kernel, "SetDefaultDllDirectories")) {
    set(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  // The redirection-trust policy (value 16) is newer than most SDK headers; its flag word has
  // EnforceRedirectionTrust as bit 0.
  using SetPolicy = BOOL(WINAPI*)(int, PVOID, SIZE_T);
  if (auto setPolicy = FindExport<SetPolicy>(kernel, "SetProcessMitigationPolicy")) {
    constexpr int kRedirectionTrustPolicy = 16;
    DWORD flags = 1;
    setPolicy(kRedirectionTrustPolicy, &flags, sizeof(flags));
  }
}
