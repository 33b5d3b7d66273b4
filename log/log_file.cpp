#include "log/log_state.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/trust.h"

namespace {
constexpr wchar_t kOldSuffix[] = L".old";
// Kinds of the unique names below (see UniqueSiblingName).
constexpr wchar_t kBlockedKind[] = L"blocked";      // something else at a name the log needs
constexpr wchar_t kUntrustedKind[] = L"untrusted";  // a log file another account owns
constexpr wchar_t kLinkedKind[] = L"linked";        // a link, or a file with a second hard link
constexpr DWORD kLogAccess = GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL;

// An elevated runner deletes, moves and creates files here: a folder that an ordinary user
// made, or linked elsewhere, could point those at any file of the machine.
bool LogFolderTrusted() {
  return TheLog.DefaultLogBase[0] == L'\0' ||
         CheckFolderChain(TheLog.DefaultLogBase, kLogFolderChain).refusal == TrustRefusal::kNone;
}

// True when renaming `path` renames that name: a link that the path shows, a handle opened
// without following links shows too. Some platforms show a link by path only, and follow it
// when asked to rename it, moving what it points to.
bool RenameTouchesOnlyTheName(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return true;
  const KernelHandle link = OpenFile(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
  return link.IsValid() && CheckHandleLinks(link.Get(), kTrustOwner) == TrustRefusal::kLink;
}

// Nothing is deleted: what an ordinary user put at a name the log needs stays theirs.
bool MoveAsideUnique(const std::wstring& path, const wchar_t* kind) {
  return RenameTouchesOnlyTheName(path) && MoveToUniqueName(path, path, kind);
}

// True when nothing is left at `path`: an older generation is deleted, anything else (a
// folder, a file held with delete sharing) moved aside.
bool FreeName(const std::wstring& path) {
  if (DeleteFileW(path.c_str())) {
    // A file that someone holds with delete sharing keeps its name until they let go.
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
  } else {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
  }
  return MoveAsideUnique(path, kBlockedKind);
}

// Deletes the old generations that earlier rotations wrote under unique names. Only plain files
// that pass the log's own checks: what another account made there is left alone.
void DeleteUniqueGenerations(const std::wstring& oldPath) {
  const std::wstring folder = ParentFolder(oldPath);
  DWORD error = 0;
  ForEachMatch(
      SiblingPattern(oldPath, kGenerationKind),
      [&folder](const WIN32_FIND_DATAW& found) {
        const std::wstring path = JoinPath(folder, found.cFileName);
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            CheckPath(path, kTrustSingleLink) == TrustRefusal::kNone) {
          DeleteFileW(path.c_str());
        }
      },
      error);
}

// Moves the log at `path` to its old generation's name, freeing that name first. When it cannot
// be freed (an older generation that a reader holds open), the generation goes to a unique name
// and the earlier such generations are deleted: whatever a user leaves at the name, the runner
// keeps one old generation of its own and the size limit holds. False when the log stays where
// it is.
bool MoveToOldGeneration(const std::wstring& path) {
  const std::wstring oldPath = OldLogPath(path);
  if (FreeName(oldPath)) return MoveFileW(path.c_str(), oldPath.c_str()) != FALSE;
  DeleteUniqueGenerations(oldPath);
  return MoveToUniqueName(path, oldPath, kGenerationKind);
}

// Copies `text` into a fixed buffer of the state. A cut path would name some other file: a path
// that does not fit is a failed open.
template <size_t kCapacity>
bool CopyPath(const std::wstring& text, wchar_t (&buffer)[kCapacity]) {
  if (text.size() >= kCapacity) return false;
  text.copy(buffer, text.size());
  buffer[text.size()] = L'\0';
  return true;
}

bool SetLogFilePath(const std::wstring& path) {
  return !path.empty() && CopyPath(path, TheLog.LogFilePath);
}

// Opens `path` without following links and without truncating, and checks the handle before a
// byte is written: writing to a link, or to a file with a second name elsewhere, would write to
// whatever it stands for. Such a name, a folder at the name, or a file that an untrusted account
// owns, is moved aside once (a rename touches only that name) and a new file made; only when
// that fails is the log refused. Null on failure, with `error` set to the open's last error (0
// for a refusal).
KernelHandle OpenCheckedFile(const std::wstring& path, DWORD disposition, DWORD& error) {
  for (int attempt = 0;; ++attempt) {
    error = 0;
    FileHandle file;
    if (file.Open(path.c_str(), kLogAccess, FILE_SHARE_READ, disposition,
                  FILE_FLAG_OPEN_REPARSE_POINT) < 0) {
      error = GetLastError();
      if (error == ERROR_ACCESS_DENIED && attempt == 0 && IsFolder(path) &&
          MoveAsideUnique(path, kBlockedKind)) {
        continue;
      }
      return KernelHandle();
    }
    const TrustRefusal refusal = CheckHandle(file.Get(), kTrustSingleLink);
    if (refusal == TrustRefusal::kNone) return KernelHandle(file.Detach());
    const bool linked = refusal == TrustRefusal::kLink || refusal == TrustRefusal::kSecondLink;
    // Not knowing whether it is a link, nothing is moved.
    if (!linked && CheckHandleLinks(file.Get(), kTrustSingleLink) != TrustRefusal::kNone)
      return KernelHandle();
    file.Close();
    if (attempt > 0 || !MoveAsideUnique(path, linked ? kLinkedKind : kUntrustedKind))
      return KernelHandle();
  }
}

// What MoveAsideUnique would make of `path` now: false for a link it leaves alone, or for what
// another program holds without sharing deletion. A probe without the rights to delete (a
// reader that is not elevated) tells nothing, and counts as movable.
bool CanMoveAside(const std::wstring& path) {
  if (!RenameTouchesOnlyTheName(path)) return false;
  const KernelHandle probe = OpenFile(path, DELETE, kShareAll, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
  return probe.IsValid() || GetLastError() != ERROR_SHARING_VIOLATION;
}

// Opens the log for appending, or emptied when `truncate` (the checks come first), and makes it
// the current LogFile. When another program holds the log, this run writes to a file of its own
// beside it rather than to nowhere.
bool OpenLogFile(const std::wstring& path, bool truncate) {
  DWORD error = 0;
  KernelHandle file = OpenCheckedFile(path, OPEN_ALWAYS, error);
  if (!file.IsValid()) {
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) return false;
    for (int attempt = 0; !file.IsValid() && attempt < kUniqueNameTries; ++attempt) {
      const std::wstring side = UniqueSiblingName(path, kHeldRunKind, attempt);
      file = OpenCheckedFile(side, CREATE_NEW, error);
      if (file.IsValid() && !SetLogFilePath(side)) {
        file.Reset();
        DeleteFileW(side.c_str());
        return false;
      }
    }
    if (!file.IsValid()) return false;
  } else if (truncate) {
    LARGE_INTEGER start = {};
    SetFilePointerEx(file.Get(), start, nullptr, FILE_BEGIN);
    SetEndOfFile(file.Get());
  }
  LARGE_INTEGER end = {};
  SetFilePointerEx(file.Get(), end, nullptr, FILE_END);
  TheLog.LogFile = file.Release();
  return true;
}

// Closes the current file, moves it to the old generation's name and starts a new one. When
// the move fails the current file is reopened and appended to, so that nothing written so far
// is lost.
void RotateOpenLog(const std::wstring& path) {
  if (!LogFolderTrusted()) return;  // checked again at the next check
  CloseHandle(TheLog.LogFile);
  TheLog.LogFile = nullptr;
  const bool moved = MoveToOldGeneration(path);
  if (!OpenLogFile(path, moved) || !moved) return;
  if (TheLog.BannerEnabled) {
    SYSTEMTIME now;
    GetLogLocalTime(now);
    // Written directly: this thread holds the in-progress mark, so WriteLogLine would drop it.
    const std::string line = BuildLogLine(now, kNewFileBanner);
    DWORD written = 0;
    WriteFile(TheLog.LogFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
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

std::wstring LogFileNameFromTitle(const std::wstring& processAndModuleTitle) {
  return FoldAsciiCase(processAndModuleTitle + L".log");
}

HMODULE GetLoggerModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&GetLoggerModule), &module);
  return module;
}

std::wstring ProcessAndModuleTitle() {
  return GetModuleTitle(nullptr) + L"_" + GetModuleTitle(GetLoggerModule());
}

std::wstring LogPathBelow(const std::wstring& base, const std::wstring& title) {
  return base + kLogFolderChain + L"\\" + LogFileNameFromTitle(title);
}

bool LogSwitchOn() { return ReadRegistryNumber(kLogSwitchKey, kLogSwitchValue, 0) != 0; }

LogActivation ActivationOf(unsigned char magicDebug, unsigned char logEnabled, bool switchOn) {
  if (magicDebug != 0) return LogActivation::kAtEntry;
  return logEnabled != 0 || switchOn ? LogActivation::kAtFirstLine : LogActivation::kOff;
}

std::wstring RunnerLogPath(const std::wstring& base, const std::wstring& exePath) {
  // The process and the logger are the same module in the runner.
  const std::wstring title = TitleFromModulePath(exePath);
  return LogPathBelow(base, title + L"_" + title);
}

std::wstring OldLogPath(const std::wstring& logPath) { return logPath + kOldSuffix; }

std::wstring SiblingPattern(const std::wstring& path, const wchar_t* kind) {
  return path + L"." + kind + L"-*";
}

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

LogLocation CheckLogLocation(const std::wstring& base, const std::wstring& logPath) {
  LogLocation location;
  if (base.empty()) return location;
  location.concerned = CheckFolderChain(base, kLogFolderChain);
  switch (location.concerned.refusal) {
    case TrustRefusal::kNone:
      break;
    case TrustRefusal::kMissing:
      location.state = LogLocationState::kFolderMissing;
      return location;
    default:
      location.state = LogLocationState::kFolderRefused;
      return location;
  }
  location.concerned = {CheckPath(logPath, kTrustSingleLink), logPath};
  switch (location.concerned.refusal) {
    case TrustRefusal::kMissing:
      location.state = LogLocationState::kFileMissing;
      break;
    case TrustRefusal::kLink:
    case TrustRefusal::kSecondLink:
    case TrustRefusal::kUntrustedOwner:
      location.state = CanMoveAside(logPath) ? LogLocationState::kFileMovedAside
                                             : LogLocationState::kFileRefused;
      break;
    default:
      // Unreadable (held, say) is the open's to decide.
      location.state = IsFolder(logPath) ? LogLocationState::kFileMovedAside
                                         : LogLocationState::kFileUsable;
      break;
  }
  return location;
}

bool RotateLogAtOpen(const wchar_t* path, uint32_t limit) {
  // A failed move leaves the full log in place; appending to it beats truncating it.
  return ReadFileSizeByPath(path) >= limit && MoveToOldGeneration(path);
}

void LOG_CONSOLE::InitLog(const wchar_t* path) {
  if (InterlockedIncrement(&TheLog.InitCount) != 1) return;
  TheLog.SizeLimit = kDefaultSizeLimit;
  try {
    std::wstring target;
    TheLog.DefaultLogBase[0] = L'\0';
    if (path != nullptr) {
      target = path;
    } else {
      const std::wstring base = CommonAppDataFolder(true);
      if (!CopyPath(base, TheLog.DefaultLogBase)) return;
      target = LogPathBelow(base, ProcessAndModuleTitle());
      // Each folder is checked before anything is made in it.
      switch (CheckLogLocation(base, target).state) {
        case LogLocationState::kNoBase:
        case LogLocationState::kFolderRefused:
          return;
        case LogLocationState::kFolderMissing:
          if (MakeTrustedFolderChain(base, kLogFolderChain).refusal != TrustRefusal::kNone) return;
          break;
        default:
          break;
      }
    }
    if (!SetLogFilePath(target)) return;
    const bool movedAway = RotateLogAtOpen(TheLog.LogFilePath, TheLog.SizeLimit);
    if (!OpenLogFile(TheLog.LogFilePath, movedAway)) return;
    if (TheLog.BannerEnabled) WriteLogLine(kBeginBanner);
  } catch (...) {
    // No memory for a path: the run goes on without a log.
  }
}

void CheckLogSize() {
  if (TheLog.LogFile == nullptr) return;
  // A pending mark makes the check due at once: it must not wait out a fresh interval set by a
  // rotation that ran meanwhile, or every line would be dropped until then.
  const bool pending = TheLog.WriterCount >= LOG_CONSOLE::kPendingMark;
  if (!pending && !SizeCheckDue(GetTickCount(), TheLog.LastSizeCheckTick)) return;
  if (TheLog.WriterCount > LOG_CONSOLE::kPendingMark) return;

  const LONG previous = InterlockedExchangeAdd(&TheLog.WriterCount, LOG_CONSOLE::kInProgressMark);
  switch (ClassifyRotationClaim(previous)) {
    case RotationClaim::kOtherRotation:
      InterlockedExchangeAdd(&TheLog.WriterCount, -LOG_CONSOLE::kInProgressMark);
      return;
    case RotationClaim::kWritersActive:
      InterlockedExchangeAdd(&TheLog.WriterCount, -LOG_CONSOLE::kPendingMark);
      return;
    case RotationClaim::kOwned:
      break;
  }
  TheLog.LastSizeCheckTick = GetTickCount();
  try {
    if (TheLog.LogFile != nullptr && ReadFileSizeByPath(TheLog.LogFilePath) >= TheLog.SizeLimit) {
      RotateOpenLog(TheLog.LogFilePath);
    }
  } catch (...) {
    // Whatever stopped the rotation, the marks must go, or every later line would be dropped.
  }
  InterlockedExchangeAdd(&TheLog.WriterCount, -LOG_CONSOLE::kInProgressMark - previous);
}

void LogTestSeam::Reset() {
  while (TheLog.InitCount > 0) LOG_CONSOLE::CloseLog();
  TheLog = LogState();
  TheLog.LastSizeCheckTick = GetTickCount();
  LogEnabled = 0;
}

void LogTestSeam::SetSizeLimit(uint32_t limit) { TheLog.SizeLimit = limit; }

void LogTestSeam::MakeSizeCheckDue() {
  TheLog.LastSizeCheckTick = GetTickCount() - LOG_CONSOLE::kSizeCheckIntervalMs - 1;
}
