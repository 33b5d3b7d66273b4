#include "app/install.h"

#include <windows.h>
#include <sddl.h>
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

namespace {
constexpr wchar_t kRunLockName[] = L"Global\\Norvale.Wareden.PatchRun";
// Only SYSTEM and Administrators: an ordinary user can neither take the lock nor hold it open.
constexpr wchar_t kRunLockRights[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
}  // namespace

RunLock::RunLock(DWORD waitMilliseconds) {
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kRunLockRights, SDDL_REVISION_1,
                                                           &descriptor, nullptr)) {
    attributes.lpSecurityDescriptor = descriptor;
  }
  const LocalMemory ownedDescriptor(descriptor);
  mutex_.Reset(CreateMutexW(&attributes, FALSE, kRunLockName));
  if (!mutex_.IsValid()) {
    error_ = GetLastError();
    return;
  }
  // An abandoned lock belonged to a run that ended without letting go: it is ours now.
  const DWORD wait = WaitForSingleObject(mutex_.Get(), waitMilliseconds);
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
    state_ = State::kHeld;
  } else if (wait == WAIT_TIMEOUT) {
    state_ = State::kBusy;
  } else {
    error_ = GetLastError();
  }
}

RunLock::~RunLock() {
  if (state_ == State::kHeld) ReleaseMutex(mutex_.Get());
}

void RunInstallSequence(const RunLock& lock) {
  if (MagicDebug) {
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
