// patchdeploy: the package as a deployment system takes it, in its three command lines. It works
// on the folder it lies in: the package (beside Patch.exe), or the copy a run kept of it, which
// serves detection and undo once the package folder is gone.
//   patchdeploy install    runs the package's Patch.exe, waits for it, then tells this run's
//                          verdict from the package's record
//   patchdeploy detect     one line on standard output when the package is applied here
//   patchdeploy uninstall  takes the package back, files it added included
// Exit codes install and uninstall 0 done, 1603 failed, 1618 another patch run held the machine
// (retry later), 2 usage; detect 0 always.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "log/log_readers.h"
#include "package/layout.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "product/record_key.h"
#include "tools/kit/cli.h"
#include "tools/kit/package_read.h"
#include "tools/kit/record_trust.h"
#include "tools/patchdeploy/deploy.h"

namespace {
constexpr char kTool[] = "patchdeploy";
constexpr char kUsage[] = "patchdeploy install | detect | uninstall | --help | --version";
constexpr char kHelp[] =
    "usage: patchdeploy install | detect | uninstall\n"
    "  install    run the package's Patch.exe and wait for it; exit 0 applied, 1618 another\n"
    "             patch run held the machine (retry later), 1603 failed or cut off\n"
    "  detect     print one line when the package is applied here, nothing otherwise; exit 0\n"
    "  uninstall  take the package back, files it added included; exit 0 all back, 1603\n"
    "             something was left (with the reasons), 1618 another patch run held the machine\n"
    "  --help     this text\n"
    "  --version  the program's version\n"
    "It works on the folder it lies in: the package, or the copy a run kept in the program\n"
    "files folder (Norvale\\Wareden Patches\\<package id>), which needs no package folder.\n";

// The size of the file at `path`; 0 when it cannot be read.
uint64_t FileSizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// What the log got from `offset` on (from its start when it was rotated since), at most 1 MiB.
std::string LogSince(const std::wstring& path, uint64_t offset) {
  const KernelHandle file = OpenFile(path, GENERIC_READ, kShareAll, OPEN_EXISTING);
  if (!file.IsValid()) return std::string();
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.Get(), &size)) return std::string();
  if (static_cast<uint64_t>(size.QuadPart) < offset) offset = 0;
  LARGE_INTEGER at = {};
  at.QuadPart = static_cast<LONGLONG>(offset);
  std::string text(static_cast<size_t>(std::min<uint64_t>(size.QuadPart - offset, 1 << 20)), '\0');
  DWORD read = 0;
  if (text.empty() || !SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN) ||
      !ReadFile(file.Get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr)) {
    return std::string();
  }
  text.resize(read);
  return text;
}

int Install(const std::wstring& ownDir, const std::wstring& packageDir) {
  PatchList entries;
  std::string error, packageId, confId;
  if (!ReadPackageEntries(packageDir, entries, error, &packageId, &confId)) {
    PrintError(kTool, error);
    return kDeployFailed;
  }
  const std::wstring runner = JoinPath(packageDir, kRunnerFileName);
  const std::wstring logPath = RunnerLogPath(CommonAppDataFolder(false), runner);
  const uint64_t logOffset = FileSizeOf(logPath);
  const bool believed = RecordsKeyBelieved();
  RunRecord before;
  std::string foundId = packageId;
  const RecordRead readBefore = believed ? ReadPackageRecord(packageId, confId, before, foundId)
                                         : RecordRead::kUnreadable;
  const std::wstring startedAfter = RecordTimeNow();
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  std::wstring commandLine = L"\"" + runner + L"\"";
  // The runner, and the product it starts again, must not hold this program's output open: a
  // deployment system reads it to its end.
  constexpr DWORD kStandard[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  HANDLE saved[3];
  for (int i = 0; i < 3; ++i) {
    saved[i] = GetStdHandle(kStandard[i]);
    SetStdHandle(kStandard[i], nullptr);
  }
  const BOOL started = CreateProcessW(runner.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                                      nullptr, packageDir.c_str(), &startup, &info);
  const DWORD startError = GetLastError();
  for (int i = 0; i < 3; ++i) SetStdHandle(kStandard[i], saved[i]);
  if (!started) {
    PrintError(kTool, "cannot start " + NarrowToUtf8(runner) + " (error " +
                          std::to_string(startError) + ")");
    return kDeployFailed;
  }
  const ProcessHandles run(info);
  // No limit of its own: the deployment system has one.
  WaitForSingleObject(run.process.Get(), INFINITE);

  RunRecord record;
  const RecordRead read =
      believed ? ReadPackageRecord(packageId, confId, record, foundId) : RecordRead::kUnreadable;
  const InstallVerdict verdict =
      JudgeInstall(read, record, startedAfter, SameRun(readBefore, before, read, record),
                   LogSaysKeptOut(LogSince(logPath, logOffset), ownDir));
  PrintOut("%s: record HKLM\\%s\\%s\n", InstallVerdictText(verdict),
              NarrowToUtf8(kRecordsKey).c_str(), foundId.c_str());
  return InstallExitCode(verdict);
}

// Nothing on standard error, whatever happens: a detection rule reads output there as an error
// of the rule, not as "not installed".
int Detect(const std::wstring& packageDir) {
  try {
    if (CheckRecordsKey() != TrustRefusal::kNone) return kDeployOk;
    const std::string line = DetectionLine(VerifyPackage(packageDir, std::wstring()));
    if (!line.empty()) PrintOut("%s\n", line.c_str());
  } catch (...) {
  }
  return kDeployOk;
}

int Uninstall(const std::wstring& packageDir) {
  const TakeBack outcome = TakeBackPackage(packageDir, std::wstring(), false, true);
  if (!outcome.note.empty()) PrintOut("%s\n", outcome.note.c_str());
  for (const UndoStep& step : outcome.steps)
    PrintOut("entry %zu: %s\n", step.entry, DescribeUndoStep(step, outcome.carriedOut).c_str());
  if (!outcome.error.empty()) PrintError(kTool, outcome.error);
  const int code = UninstallExitCode(outcome);
  PrintOut("%s\n", code == kDeployOk      ? "uninstalled: everything the package did is back"
                      : code == kDeployRetry ? "retry later: another patch run held the machine"
                                             : "not uninstalled: something was left, see above");
  return code;
}

int Main(int argc, wchar_t** argv) {
  const std::wstring command = argc == 2 ? argv[1] : L"";
  if (command == L"--help") {
    PrintOut("%s", kHelp);
    return kExitOk;
  }
  std::wstring ownDir = GetModuleDirectory();  // with its backslash, as the runner names it
  const std::wstring packageDir = FolderArgument(ownDir);
  if (command == L"install") return Install(ownDir, packageDir);
  if (command == L"detect") return Detect(packageDir);
  if (command == L"uninstall") return Uninstall(packageDir);
  return PrintUsage(kUsage);
}
}  // namespace

int wmain(int argc, wchar_t** argv) { return RunTool(kTool, Main, argc, argv); }
