#pragma once

// The logger's building blocks, apart from the call-site interface in log.h, so that tests can
// reach the pure parts and the platform steps one at a time.

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <string>

#include "log/log.h"
#include "log/log_readers.h"

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

// --- lines -------------------------------------------------------------------------------

// "MM-DD hh:mm:ss:mmm: " + message, ending in exactly one LF (one is added unless the message
// already ends in LF).
std::string BuildLogLine(const SYSTEMTIME& time, std::string message);

// Writes the kLogStampLength characters "MM-DD hh:mm:ss:mmm: " to `out`.
void PutLogStamp(const SYSTEMTIME& time, char* out);

// The local time, as GetLocalTime gives it, for the stamp of a line.
void GetLogLocalTime(SYSTEMTIME& time);

// The text of a format that uses only "%s" (wide string), "%u", "%d" and "%%", straight into
// UTF-8, the same bytes as FormatLogMessage and converting the result. False when the format
// holds anything else or the text does not fit in `capacity`; `out` is then unspecified.
bool FormatLogUtf8(const wchar_t* format, va_list args, char* out, size_t capacity, size_t& length);

// The printf-style UTF-16 text, of any length, with every control character (below U+0020,
// and U+007F) that a conversion wrote given as "\x" and two hex digits ("\x0a"): an argument
// cannot start a line of its own, while the format's own text is kept as it is. Empty when
// the format cannot be applied.
std::wstring FormatLogMessage(const wchar_t* format, va_list args);

// --- activation --------------------------------------------------------------------------

// The static-initialisation step: "EnableLogToView" non-zero switches LogEnabled on (0 or a
// missing value changes nothing), then the start tick of the size check is taken.
void ApplyLogStartup();

// --- file location -----------------------------------------------------------------------

// The title of `module`, or of the running executable when it is null.
std::wstring GetModuleTitle(HMODULE module = nullptr);

// The module that holds the logger's code: the executable itself unless the logger is linked
// into a library.
HMODULE GetLoggerModule();

// "<process title>_<module title>": the hook's tag, and the log file's name before folding.
std::wstring ProcessAndModuleTitle();

// The title with ".log" appended and A-Z lower-cased, every other character kept.
std::wstring LogFileNameFromTitle(const std::wstring& processAndModuleTitle);

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

// Hands an error message to the hook, loading the library first when no function is stored.
void CallAssertHook(const wchar_t* message);

// Loads the installed library and stores its function; silent when it is absent. A library
// loaded before is freed so that it is held once.
void LoadAssertHook();

// Forgets the function and frees the library, if one is held.
void ReleaseAssertHook();
