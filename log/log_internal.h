#pragma once

// The logger's building blocks, apart from the call-site interface in log.h, so that tests can
// reach the pure parts and the platform steps one at a time.

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <string>

#include "log/log.h"
#include "platform/trust.h"

// --- state -------------------------------------------------------------------------------

// The logger's state, one per process, zero at process start. Written only by the logger's
// own files (log_state.h); others read it through CurrentLogState() and change it only through
// the entry points or, in tests, LogTestSeam.
struct LogState {
  // The open file, or null. A bare handle, closed by hand: writers on any thread read it
  // without a lock, so it cannot live in an owning wrapper.
  HANDLE LogFile;
  wchar_t LogFilePath[260];
  volatile LONG InitCount;
  volatile LONG WriterCount;  // writes in progress, plus the rotation's marks
  uint32_t SizeLimit;
  DWORD LastSizeCheckTick;
  unsigned char BannerEnabled;
  unsigned char LazyOpenGuard;
  // The common application-data folder (with its backslash) while the log lives in its default
  // folder; empty for a log path given by the caller.
  wchar_t DefaultLogBase[260];
};
const LogState& CurrentLogState();

// The one way in for tests: the state at process start (the log closed first), a small size
// limit, and a size check that is due at the next line instead of in ten minutes.
struct LogTestSeam {
  static void Reset();
  static void SetSizeLimit(uint32_t limit);
  static void MakeSizeCheckDue();
};

// --- where the log lives ---------------------------------------------------------------

// Below the common application-data folder.
inline constexpr wchar_t kLogFolderChain[] = L"Norvale\\PelliMgr\\MossLog";
inline constexpr wchar_t kHookFolderChain[] = L"Norvale\\PelliMgr\\OstraWfsDB";
inline constexpr wchar_t kHookFileName[] = L"MossLogEx.dll";
// The registry switch, HKLM in the process's default view.
inline constexpr wchar_t kLogSwitchKey[] = L"Software\\Norvale\\PelliMgr";
inline constexpr wchar_t kLogSwitchValue[] = L"EnableLogToView";
// Kinds of the files the log leaves beside itself, named "<path>.<kind>-<time>-<pid>".
inline constexpr wchar_t kHeldRunKind[] = L"run";     // a run's lines while the log was held
inline constexpr wchar_t kGenerationKind[] = L"gen";  // an old generation while ".old" was held

// --- lines -------------------------------------------------------------------------------

// Banner lines. BEGAIN and END carry their LF; the writer adds the one of NewFile.
extern const char kBeginBanner[];
extern const char kEndBanner[];
extern const char kNewFileBanner[];
// The first message of a log opened lazily (MagicInitLog).
inline constexpr wchar_t kMagicOpenMessage[] = L"LOG_CONSOLE::MagicInitLog Magic debuge open  ";

// "MM-DD hh:mm:ss:mmm: " + message, ending in exactly one LF (one is added unless the message
// already ends in LF).
std::string BuildLogLine(const SYSTEMTIME& time, std::string message);

// Writes the 20 characters "MM-DD hh:mm:ss:mmm: " to `out`.
constexpr size_t kLogStampLength = 20;
void PutLogStamp(const SYSTEMTIME& time, char* out);

// True when `line` starts with a stamp of that shape: how a reader tells a line of the log.
inline bool HasLogStamp(const std::string& line) {
  static const char kShape[] = "00-00 00:00:00:000: ";
  static_assert(sizeof(kShape) - 1 == kLogStampLength, "the stamp's shape");
  if (line.size() < kLogStampLength) return false;
  for (size_t i = 0; i < kLogStampLength; ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (kShape[i] == '0' ? !digit : line[i] != kShape[i]) return false;
  }
  return true;
}

// The local time, as GetLocalTime gives it, for the stamp of a line.
void GetLogLocalTime(SYSTEMTIME& time);

// The text of a format that uses only "%s" (wide string), "%u", "%d" and "%%", straight into
// UTF-8, the same bytes as formatting it and converting the result. False when the format
// holds anything else or the text does not fit in `capacity`; `out` is then unspecified.
bool FormatLogUtf8(const wchar_t* format, va_list args, char* out, size_t capacity, size_t& length);

// The printf-style UTF-16 text, of any length. Empty when the format cannot be applied.
std::wstring FormatLogMessage(const wchar_t* format, va_list args);

// --- activation --------------------------------------------------------------------------

// The static-initialisation step: "EnableLogToView" non-zero switches LogEnabled on (0 or a
// missing value changes nothing), then the start tick of the size check is taken.
void ApplyLogStartup();

// True when "EnableLogToView" is a non-zero DWORD: what ApplyLogStartup reads.
bool LogSwitchOn();

// --- file location -----------------------------------------------------------------------

// A module file name without its folder and its last extension ("C:\x\a.b.exe" gives "a.b").
std::wstring TitleFromModulePath(const std::wstring& path);

// The title of `module`, or of the running executable when it is null.
std::wstring GetModuleTitle(HMODULE module = nullptr);

// The module that holds the logger's code: the executable itself unless the logger is linked
// into a library.
HMODULE GetLoggerModule();

// "<process title>_<module title>": the hook's tag, and the log file's name before folding.
std::wstring ProcessAndModuleTitle();

// The title with ".log" appended and A-Z lower-cased, every other character kept.
std::wstring LogFileNameFromTitle(const std::wstring& processAndModuleTitle);

// The log file name of this process ("patch_patch.log" for Patch.exe).
std::wstring GetLogFileName();

// The log of a program whose "<process title>_<module title>" is `title`, below the common
// application-data folder `base` (with its backslash).
std::wstring LogPathBelow(const std::wstring& base, const std::wstring& title);

// "<common application data>\Norvale\PelliMgr\MossLog\", created if missing (the outcome is
// not checked: a folder that cannot be made shows as a failed open).
std::wstring GetLogDir();

// The old generation's name: the log path with ".old" appended.
std::wstring OldLogPath(const std::wstring& logPath);

// The search pattern of the files of `kind` that the log left beside `path`.
std::wstring SiblingPattern(const std::wstring& path, const wchar_t* kind);

// The file's 64-bit size; 0 when it does not exist or cannot be queried.
uint64_t ReadFileSizeByPath(const wchar_t* path);

// True when the tick difference (taken across the counter's wrap) reached the interval.
bool SizeCheckDue(DWORD now, DWORD last);

enum class RotationClaim {
  kOtherRotation,  // another thread holds the in-progress mark: undo
  kWritersActive,  // leave the pending mark and let the writers drain
  kOwned,          // no writer and no other rotation: this thread may rotate
};
// What a check that added the in-progress mark to WriterCount may do, given the previous value.
RotationClaim ClassifyRotationClaim(LONG previous);

// Size check at open: a log at or above `limit` is moved to its ".old" name. True only when the
// file was moved away; false means the current file is to be appended to.
bool RotateLogAtOpen(const wchar_t* path, uint32_t limit);

// The periodic check run before every line; rotates when due and the file reached SizeLimit.
void CheckLogSize();

// --- assertion hook ----------------------------------------------------------------------

// The hook library's export, looked up by its undecorated name.
using MossLogAssertFunction = void(__cdecl*)(const wchar_t* message, const wchar_t* tag);

// "<process title>_<module title>", not lower-cased ("Patch_Patch" for Patch.exe).
std::wstring AssertTag();

// "<common application data>\Norvale\PelliMgr\OstraWfsDB\MossLogEx.dll"; empty when the
// folder is not known.
std::wstring GetAssertHookPath();

// What a run makes of the hook library at `path` (GetAssertHookPath()): absent, refused (the
// first folder from "Norvale" down, or the file itself, that failed, and why), or loadable.
enum class HookState { kAbsent, kRefused, kLoadable };
struct HookCheck {
  HookState state = HookState::kAbsent;
  TrustVerdict refused;
};
HookCheck CheckAssertHook(const std::wstring& path);

// Hands an error message to the hook, loading the library first when no function is stored.
void CallAssertHook(const wchar_t* message);

// Loads the installed library and stores its function; silent when it is absent. A library
// loaded before is freed so that it is held once.
void LoadAssertHook();

// Forgets the function and frees the library, if one is held.
void ReleaseAssertHook();
