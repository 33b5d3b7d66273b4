#include "app/install.h"

#include <windows.h>
#include <shlwapi.h>

#include <string>

#include "app/conf.h"
#include "app/patch.h"
#include "log/log.h"
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

void RunInstallSequence() {
  if (MagicDebug) {
    LOG_CONSOLE::EnableBanners();
    LogEnabled = 1;
    LOG_CONSOLE::InitLog();
  }
  LOG_PROGRESS(L"[%s]Enter. Start install...");

  const std::wstring packageDir = GetModuleDirectory();
  LOG_PROGRESS(L"[%s]PackageDir[%s].", packageDir);
  if (packageDir.empty() || !PathFileExistsW(packageDir.c_str())) {
    LOG_FAILURE(L"[%s]PackageDir[%s] is not exist, exit.", packageDir);
    return;
  }

  const std::wstring patchFolder = packageDir + L"patchfile";
  LOG_PROGRESS(L"[%s]PackageDir[%s].", patchFolder);
  if (!PathFileExistsW(patchFolder.c_str())) {
    LOG_FAILURE(L"[%s]PackageDir[%s] is not exist, exit.", packageDir);
    return;
  }

  const std::wstring confPath = patchFolder + L"\\conf.json";
  LOG_PROGRESS(L"[%s]inst conf file path[%s].", confPath);

  PatchList patchList;
  if (!ParseConf(confPath, patchList)) {
    LOG_FAILURE(L"[%s]ParseConf failed.");
    return;
  }

  std::wstring installDir;
  switch (ReadInstallDir(installDir)) {
    case InstallDirRead::kOk:
      break;
    case InstallDirRead::kOpenFailed:
      LOG_FAILURE(L"[%s]Reg Open \\SOFTWARE\\Norvale\\Wareden failed.");
      return;
    case InstallDirRead::kQueryFailed:
      LOG_FAILURE(L"[%s]Reg Query InstallDir failed.");
      return;
  }

  if (!StartPatch(installDir, patchList, patchFolder)) LOG_FAILURE(L"[%s]Start Patch failed.");
}
