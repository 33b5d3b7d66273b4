#include "app/install.h"

#include <windows.h>
#include <shlwapi.h>

#include <string>

#include "app/conf.h"
#include "app/patch.h"
#include "log/log.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace {
constexpr wchar_t kProductKey[] = L"SOFTWARE\\Norvale\\Wareden";
constexpr wchar_t kInstallDirValue[] = L"InstallDir";
constexpr DWORD kInstallDirCapacity = MAX_PATH;

// Empty when the key or value cannot be read; the failure has been logged then. `ok` tells an
// empty stored value apart from a failure.
std::wstring ReadInstallDir(bool& ok) {
  ok = false;
  RegistryKey key;
  if (key.Open(kProductKey) != ERROR_SUCCESS) {
    LOG_FAILURE(L"[%s]Reg Open \\SOFTWARE\\Norvale\\Wareden failed.");
    return std::wstring();
  }
  wchar_t buffer[kInstallDirCapacity + 1] = {};
  DWORD capacity = kInstallDirCapacity;
  if (key.ReadString(kInstallDirValue, buffer, capacity) != ERROR_SUCCESS) {
    LOG_FAILURE(L"[%s]Reg Query InstallDir failed.");
    return std::wstring();
  }
  key.Close();  // never held while the patch runs
  ok = true;
  return buffer;
}
}  // namespace

void RunInstallSequence() {
  if (MagicDebug) {
    LOG_CONSOLE::BannerEnabled = 1;
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

  bool readInstallDir = false;
  const std::wstring installDir = ReadInstallDir(readInstallDir);
  if (!readInstallDir) return;

  if (!StartPatch(installDir, patchList, patchFolder)) LOG_FAILURE(L"[%s]Start Patch failed.");
}
