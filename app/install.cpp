#include "app/install.h"

#include <windows.h>
#include <shlwapi.h>

#include <string>

#include "app/patch.h"
#include "log/log.h"
#include "log/log_readers.h"
#include "package/conf.h"
#include "package/layout.h"
#include "platform/paths.h"
#include "product/install_dir.h"
#include "product/product.h"

void RunInstallSequence(const RunLock& lock, const std::string& seal) {
  if (ActivationOf(MagicDebug, LogEnabled, false) == LogActivation::kAtEntry) {
    LOG_CONSOLE::EnableBanners();
    LogEnabled = 1;
    LOG_CONSOLE::InitLog();
  }
  LOG_PROGRESS(L"[%s]Enter. Start install...");
  if (lock.GetState() == RunLock::State::kBusy) {
    LOG_FAILURE(L"[%s]Another patch run still holds the machine after %u ms, exit.",
                kRunLockWaitMilliseconds);
    return;
  }
  if (lock.GetState() == RunLock::State::kUnavailable) {
    LOG_PROGRESS(L"[%s]No run lock, err:%u; going on without it.", lock.Error());
  }

  const std::wstring packageDir = GetModuleDirectory();
  LOG_PROGRESS(kPackageDirFormat, packageDir);
  if (packageDir.empty() || !PathFileExistsW(packageDir.c_str())) {
    LOG_FAILURE(L"[%s]PackageDir[%s] is not exist, exit.", packageDir);
    return;
  }

  const std::wstring patchFolder = PatchFolderOf(packageDir);
  LOG_PROGRESS(kPackageDirFormat, patchFolder);
  if (!PathFileExistsW(patchFolder.c_str())) {
    LOG_FAILURE(L"[%s]PackageDir[%s] is not exist, exit.", packageDir);
    return;
  }

  const std::wstring confPath = ConfPathOf(patchFolder);
  LOG_PROGRESS(L"[%s]inst conf file path[%s].", confPath);

  PatchList patchList;
  PatchRun run;
  run.packageDir = packageDir;
  if (!ParseConf(confPath, patchList, seal, &run.packageId)) {
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

  // Read before this run writes its own record, which may be the cut-off run's.
  const std::vector<LeftStopped> left = FindLeftStopped();
  if (!StartPatch(installDir, patchList, patchFolder, &run)) LOG_FAILURE(L"[%s]Start Patch failed.");
  RestartLeftStopped(left);
}
