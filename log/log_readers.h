#pragma once

// What readers of the log need: where a program's log lives and what lies beside it, the shape
// of its lines, the texts a run writes that a reader recognises, and the runner's own verdicts
// on its log location and its hook library. The logger and its tests use log_internal.h.

#include <windows.h>

#include <cstddef>
#include <string>

#include "log/log.h"
#include "platform/trust.h"

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

// A module file name without its folder and its last extension ("C:\x\a.b.exe" gives "a.b").
std::wstring TitleFromModulePath(const std::wstring& path);

// The log of a program whose "<process title>_<module title>" is `title`, below the common
// application-data folder `base` (with its backslash).
std::wstring LogPathBelow(const std::wstring& base, const std::wstring& title);

// The old generation's name: the log path with ".old" appended.
std::wstring OldLogPath(const std::wstring& logPath);

// The search pattern of the files of `kind` that the log left beside `path`.
std::wstring SiblingPattern(const std::wstring& path, const wchar_t* kind);

// True when "EnableLogToView" is a non-zero DWORD: what the start-up step reads.
bool LogSwitchOn();

// When a run's log opens, from the runner's two flag bytes and the registry switch (which the
// start-up step folds into LogEnabled): the one rule the runner follows and the tools explain.
enum class LogActivation {
  kAtEntry,      // MagicDebug: opened by the entry point, BEGAIN line first
  kAtFirstLine,  // LogEnabled or the switch: opened with the first line, "Magic debuge open"
  kOff,          // no log
};
LogActivation ActivationOf(unsigned char magicDebug, unsigned char logEnabled, bool switchOn);

// The log that the runner at `exePath` writes below the common application-data folder `base`
// (with its backslash): named after the executable, so Patch.exe writes patch_patch.log.
std::wstring RunnerLogPath(const std::wstring& base, const std::wstring& exePath);

// Where a run with the log on writes it, as the runner decides before it opens the file.
enum class LogLocationState {
  kNoBase,          // no common application-data folder: no log
  kFolderRefused,   // a folder from "Norvale" down fails the checks: no log
  kFolderMissing,   // made, and checked one level at a time, when the log opens
  kFileRefused,     // one to be moved aside that cannot be: held by a program that does not
                    // share deletion, or a link that only its path shows (a rename would
                    // move what it points to): nothing is written to it
  kFileMovedAside,  // a folder, a link, a file with a second hard link or of an untrusted owner:
                    // moved aside, a new file made
  kFileMissing,     // a new file is made
  kFileUsable,      // appended to (while another program holds it, a file of the run's own)
};
struct LogLocation {
  LogLocationState state = LogLocationState::kNoBase;
  TrustVerdict concerned;  // the folder or file the state is about, and why where refused
};
// `base` is the common application-data folder with its backslash (empty when there is none);
// `logPath` the log below it.
LogLocation CheckLogLocation(const std::wstring& base, const std::wstring& logPath);

// --- lines -------------------------------------------------------------------------------

// Banner lines. BEGAIN and END carry their LF; the writer adds the one of NewFile.
extern const char kBeginBanner[];
extern const char kEndBanner[];
extern const char kNewFileBanner[];
// The first message of a log opened lazily (MagicInitLog).
inline constexpr wchar_t kMagicOpenMessage[] = L"LOG_CONSOLE::MagicInitLog Magic debuge open  ";

// Every line starts with the 20 characters "MM-DD hh:mm:ss:mmm: ".
constexpr size_t kLogStampLength = 20;

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

// Lines of a run that readers look for, in the formats the runner writes them with.
inline constexpr wchar_t kPatchSuccessfulFormat[] = L"[%s]Patch successful.";
inline constexpr wchar_t kPatchFileMissingFormat[] = L"[%s]Patch file[%s] is not exist.";
// A run that found the run lock held, after its wait (ms, the package folder); when the wait
// ran out, kLockBusyFormat follows.
inline constexpr wchar_t kLockWaitFormat[] =
    L"[%s]Another patch run held the machine: waited %u ms, package[%s].";
inline constexpr wchar_t kLockBusyFormat[] =
    L"[%s]Another patch run still holds the machine after %u ms, exit.";
inline constexpr wchar_t kAnyFailureFormat[] = L"[%s]%s";
// The line of a restarted program that outlived the runner's wait for it (WAIT_TIMEOUT): it
// runs on, as a program started again should.
inline constexpr wchar_t kRestartRunsOnFormat[] =
    L"[%s]failed to call WaitForSingleObject, waitcode:258, lasterr:%s.";
// A run's first line after "Enter. Start install..." names its package folder with this format.
inline constexpr wchar_t kPackageDirFormat[] = L"[%s]PackageDir[%s].";
// True when `message` (UTF-8, without its stamp and LF) is what `format` writes at `level`: the
// first "%s" is the level word, every later "%s" any text. Other conversions must not occur.
bool MatchesLogFormat(const std::string& message, const wchar_t* format, const wchar_t* level);
// The text the second "%s" of `format` stands for in `message` (a format with exactly two), when
// `message` is what `format` writes at `level`.
bool ReadLogArgument(const std::string& message, const wchar_t* format, const wchar_t* level,
                     std::string& argument);

// --- the hook library --------------------------------------------------------------------

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
