#include "app/install.h"

#include <windows.h>
#include <shlwapi.h>

#include <string>

#include "app/patch.h"
#include "log/log.h"
#include "log/log_readers.h"
#include "package/conf.h"
#include "package/layout.h"
#include "package/update_facts.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "product/deployment.h"
#include "product/install_dir.h"
#include "product/product.h"

namespace {
// A package applied here stays detectable, and can be taken back, once its folder is gone, and
// it shows among the product's installed updates. The kept conf.json must be the one the run
// read: the package folder may be writable by users, the kept folder is trusted by undo.
void KeepForDeployment(const PatchRun& run) {
  RunRecord record;
  if (run.recordId.empty() || ReadRunRecord(run.recordId, record) != RecordRead::kFound ||
      record.state != RecordState::kApplied) {
    return;
  }
  const std::wstring confRelative = JoinPath(kPatchFolderName, kConfFileName);
  const std::wstring keptConf = JoinPath(KeptPackageFolder(run.recordId), confRelative);
  const auto keptIsRight = [&](DWORD& error) {
    std::string keptId;
    return HashFileSha256(keptConf, keptId, error) && keptId == run.packageId;
  };
  DWORD error = ERROR_SUCCESS;
  // A run evaluated again keeps what an earlier run kept: the kept program may be running.
  if (!keptIsRight(error)) {
    std::wstring failedAt;
    error = KeepPackage(run.recordId,
                        {{ConfPathOf(PatchFolderOf(run.packageDir)), confRelative},
                         {JoinPath(run.packageDir, kDeployProgram), kDeployProgram, true}},
                        failedAt);
    if (error == ERROR_SUCCESS && !keptIsRight(error)) {
      failedAt = keptConf;
      if (error == ERROR_SUCCESS) error = ERROR_INVALID_DATA;
    }
    if (error != ERROR_SUCCESS) {
      RemoveKeptPackage(run.recordId);
      LOG_FAILURE(L"[%s]Keep conf.json for detection and undo at[%s] failed, err:%u.", failedAt,
                  error);
      return;
    }
  }
  std::string conf;
  ReadConfFile(keptConf, conf);
  const PackageFacts facts = PackageFactsOf(conf);
  const LONG registered =
      RegisterUpdate(run.recordId, {WidenUtf8(facts.name), WidenUtf8(facts.version),
                                    WidenUtf8(facts.publisher), record.installDir, record.ended});
  if (registered != ERROR_SUCCESS) {
    LOG_FAILURE(L"[%s]Register installed update[%s] failed, err:%u.",
                UpdateKeyName(run.recordId), static_cast<DWORD>(registered));
  }
}
}  // namespace

void RunInstallSequence(const RunLock& lock, const std::string& seal) {
  if (ActivationOf(MagicDebug, LogEnabled, false) == LogActivation::kAtEntry) {
    LOG_CONSOLE::EnableBanners();
    LogEnabled = 1;
    LOG_CONSOLE::InitLog();
  }
  LOG_PROGRESS(L"[%s]Enter. Start install...");
  // The log is the other run's while it runs: the wait is told once it is over.
  if (lock.Waited() != 0) LOG_PROGRESS(kLockWaitFormat, lock.Waited(), GetModuleDirectory());
  if (lock.GetState() == RunLock::State::kBusy) {
    LOG_FAILURE(kLockBusyFormat, kRunLockWaitMilliseconds);
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
  KeepForDeployment(run);
  RestartLeftStopped(left);
}
