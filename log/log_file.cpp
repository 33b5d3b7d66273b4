#include <shlobj.h>
#include <shlwapi.h>

#include "log/log_internal.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/trust.h"

namespace {
constexpr DWORD kPathCapacity = MAX_PATH;
constexpr wchar_t kLogSubfolder[] = L"Norvale\\PelliMgr\\MossLog\\";
constexpr wchar_t kOldSuffix[] = L".old";
constexpr wchar_t kLogFolderChain[] = L"Norvale\\PelliMgr\\MossLog";

// The common application-data folder (with its backslash) when the log lives in its default
// folder; empty for a log path given by the caller.
std::wstring DefaultLogBase;

// An elevated runner deletes, moves and creates files here: a folder that an ordinary user
// made, or linked elsewhere, could point those at any file of the machine.
bool LogFolderTrusted() {
  return DefaultLogBase.empty() || IsFolderChainTrusted(DefaultLogBase, kLogFolderChain);
}

// Deletes the old generation. True when no file of that name is left afterwards.
bool DeleteOldGeneration(const std::wstring& oldPath) {
  if (DeleteFileW(oldPath.c_str())) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Opens the log for appending and makes it the current LogFile. False on failure, and for a
// file that is a link or has a second name elsewhere: writing to it would write to whatever it
// stands for. The path is checked before the open too, since CREATE_ALWAYS truncates at once.
bool OpenLogFile(const wchar_t* path, DWORD disposition) {
  if (PathFileExistsW(path) && !IsPathTrusted(path, kTrustSingleLink)) return false;
  FileHandle file;
  if (file.Open(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ, disposition,
                FILE_FLAG_OPEN_REPARSE_POINT) < 0) {
    return false;
  }
  if (!IsHandleTrusted(file.Get(), kTrustSingleLink)) return false;
  file.SeekToEnd();
  LOG_CONSOLE::LogFile = file.Detach();
  return true;
}

// Closes the current file, moves it to the old name and starts a new one. When the move fails
// the current file is reopened and appended to, so that nothing written so far is lost.
void RotateOpenLog(const std::wstring& path) {
  if (!LogFolderTrusted()) return;  // checked again at the next check
  const std::wstring oldPath = OldLogPath(path);
  if (!DeleteOldGeneration(oldPath)) return;  // retried at the next check
  CloseHandle(LOG_CONSOLE::LogFile);
  LOG_CONSOLE::LogFile = nullptr;
  if (!MoveFileW(path.c_str(), oldPath.c_str())) {
    OpenLogFile(path.c_str(), OPEN_ALWAYS);
    return;
  }
  if (!OpenLogFile(path.c_str(), CREATE_ALWAYS)) return;
  if (LOG_CONSOLE::BannerEnabled) {
    SYSTEMTIME now;
    GetLogLocalTime(now);
    // Written directly: this thread holds the in-progress mark, so WriteLogLine would drop it.
    const std::string line = BuildLogLine(now, kNewFileBanner);
    DWORD written = 0;
    WriteFile(LOG_CONSOLE::LogFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
}
}  // namespace

std::wstring TitleFromModulePath(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  std::wstring title = slash == std::wstring::npos ? path : path.substr(slash + 1);
  const size_t dot = title.find_last_of(L'.');
  if (dot != std::wstring::npos) title.resize(dot);
  return title;
}

std::wstring GetModuleTitle(HMODULE module) {
  wchar_t path[kPathCapacity + 1] = {};
  GetModuleFileNameW(module, path, kPathCapacity);
  return TitleFromModulePath(path);
}

std::wstring LogFileNameFromTitles(const std::wstring& processTitle,
                                   const std::wstring& moduleTitle) {
  std::wstring name = processTitle + L"_" + moduleTitle + L".log";
  for (wchar_t& c : name) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return name;
}

HMODULE GetLoggerModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&GetLoggerModule), &module);
  return module;
}

std::wstring GetLogFileName() {
  return LogFileNameFromTitles(GetModuleTitle(nullptr), GetModuleTitle(GetLoggerModule()));
}

std::wstring GetLogDir() {
  wchar_t folder[kPathCapacity + 1] = {};
  SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, TRUE);
  std::wstring dir = folder;
  AppendBackslashIfMissing(dir);
  dir += kLogSubfolder;
  if (!PathFileExistsW(dir.c_str())) SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
  return dir;
}

std::wstring OldLogPath(const std::wstring& logPath) { return logPath + kOldSuffix; }

uint64_t ReadFileSizeByPath(const wchar_t* path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool SizeCheckDue(DWORD now, DWORD last) {
  return static_cast<DWORD>(now - last) >= LOG_CONSOLE::kSizeCheckIntervalMs;
}

RotationClaim ClassifyRotationClaim(LONG previous) {
  if (previous == 0 || previous == LOG_CONSOLE::kPendingMark) return RotationClaim::kOwned;
  if (previous > LOG_CONSOLE::kPendingMark) return RotationClaim::kOtherRotation;
  return RotationClaim::kWritersActive;
}

bool RotateLogAtOpen(const wchar_t* path, uint32_t limit) {
  if (ReadFileSizeByPath(path) < limit) return false;
  const std::wstring oldPath = OldLogPath(path);
  DeleteFileW(oldPath.c_str());
  // A failed move leaves the full log in place; appending to it beats truncating it.
  return MoveFileW(path, oldPath.c_str()) != FALSE;
}

void LOG_CONSOLE::InitLog(const wchar_t* path) {
  if (InterlockedIncrement(&InitCount) != 1) return;
  SizeLimit = kDefaultSizeLimit;
  std::wstring target;
  if (path != nullptr) {
    target = path;
    DefaultLogBase.clear();
  } else {
    const std::wstring dir = GetLogDir();
    DefaultLogBase = dir.substr(0, dir.size() - (sizeof(kLogSubfolder) / sizeof(wchar_t) - 1));
    target = dir + GetLogFileName();
  }
  // A cut path would name some other file: treat a path that does not fit as a failed open.
  constexpr size_t kCapacity = sizeof(LogFilePath) / sizeof(LogFilePath[0]);
  if (target.empty() || target.size() >= kCapacity) return;
  target.copy(LogFilePath, target.size());
  LogFilePath[target.size()] = L'\0';
  if (!LogFolderTrusted()) return;
  const bool movedAway = RotateLogAtOpen(LogFilePath, SizeLimit);
  if (!OpenLogFile(LogFilePath, movedAway ? CREATE_ALWAYS : OPEN_ALWAYS)) return;
  if (BannerEnabled) WriteLogLine(kBeginBanner);
}

void CheckLogSize() {
  if (LOG_CONSOLE::LogFile == nullptr) return;
  // A pending mark makes the check due at once: it must not wait out a fresh interval set by a
  // rotation that ran meanwhile, or every line would be dropped until then.
  const bool pending = LOG_CONSOLE::WriterCount >= LOG_CONSOLE::kPendingMark;
  if (!pending && !SizeCheckDue(GetTickCount(), LOG_CONSOLE::LastSizeCheckTick)) return;
  if (LOG_CONSOLE::WriterCount > LOG_CONSOLE::kPendingMark) return;

  const LONG previous =
      InterlockedExchangeAdd(&LOG_CONSOLE::WriterCount, LOG_CONSOLE::kInProgressMark);
  switch (ClassifyRotationClaim(previous)) {
    case RotationClaim::kOtherRotation:
      InterlockedExchangeAdd(&LOG_CONSOLE::WriterCount, -LOG_CONSOLE::kInProgressMark);
      return;
    case RotationClaim::kWritersActive:
      InterlockedExchangeAdd(&LOG_CONSOLE::WriterCount, -LOG_CONSOLE::kPendingMark);
      return;
    case RotationClaim::kOwned:
      break;
  }
  LOG_CONSOLE::LastSizeCheckTick = GetTickCount();
  if (LOG_CONSOLE::LogFile != nullptr &&
      ReadFileSizeByPath(LOG_CONSOLE::LogFilePath) >= LOG_CONSOLE::SizeLimit) {
    RotateOpenLog(LOG_CONSOLE::LogFilePath);
  }
  InterlockedExchangeAdd(&LOG_CONSOLE::WriterCount, -LOG_CONSOLE::kInProgressMark - previous);
}
