#include "product/install_dir.h"

#include "platform/paths.h"
#include "platform/registry.h"

InstallDirRead ReadInstallDir(std::wstring& installDir) {
  RegistryKey key;
  if (key.Open(kProductKey) != ERROR_SUCCESS) return InstallDirRead::kOpenFailed;
  wchar_t buffer[kPathCapacity + 1] = {};
  DWORD capacity = kPathCapacity;
  if (key.ReadString(kInstallDirValue, buffer, capacity) != ERROR_SUCCESS)
    return InstallDirRead::kQueryFailed;
  installDir = buffer;
  return InstallDirRead::kOk;
}
