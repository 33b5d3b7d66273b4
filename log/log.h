#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <type_traits>

// The flag block is a file format: a tool finds each flag as the byte after its marker and the
// marker's NUL, and may set it in the built file before a run. It lives in writable data
// because both flags also change at run time.
struct LogFlagBlock {
  char logEnabledMarker[14];
  unsigned char LogEnabled;  // 0 off; set by "EnableLogToView", the forced log; cleared by CloseLog
  char magicDebugMarker[14];
  unsigned char MagicDebug;  // non-zero: the entry point opens the log at once
};
static_assert(sizeof(LogFlagBlock) == 30, "the flag block layout is a file format");

extern LogFlagBlock LogFlags;

// Every call site tests LogEnabled before it calls the log; use LOG_PROGRESS and LOG_FAILURE.
inline unsigned char& LogEnabled = LogFlags.LogEnabled;
inline unsigned char& MagicDebug = LogFlags.MagicDebug;

// The process-wide logger. Its state is one static LogState (log_internal.h), written only by
// the logger's own files; it takes no lock (see LogState::WriterCount).
class LOG_CONSOLE {
 public:
  // printf-style UTF-16 formats; "%s" takes a wchar_t string, "%u" an unsigned 32-bit number.
  // Both open a log that is on but not yet open, and do nothing while no file is open.
  static void WriteLog(const wchar_t* format, ...);
  // As WriteLog, then hands the message to the assertion hook library when installed.
  static void WriteErrorLog(const wchar_t* format, ...);

  // Counted open; the first call opens `path`, or the default file when it is null. A path
  // that does not fit LogFilePath is an open failure.
  static void InitLog(const wchar_t* path = nullptr);
  // Lazy open on the first line of a log switched on before the entry point.
  static void MagicInitLog();
  // END line, LogEnabled off; the last counted close closes the file and releases the hook.
  static void CloseLog();
  // Adds timestamp, ": " and LF as needed, and writes the line with one write call.
  static void WriteLogLine(std::string message);
  // The entry point's forced-log step sets this before InitLog, so that the file opened at once
  // gets its BEGAIN line and the run its END line.
  static void EnableBanners();

  // The rotation's marks on WriterCount; writers write only below kPendingMark.
  static constexpr LONG kPendingMark = 0x400000;
  static constexpr LONG kInProgressMark = 0x800000;
  static constexpr uint32_t kDefaultSizeLimit = 209715200;
  static constexpr DWORD kSizeCheckIntervalMs = 600000;
};

// Holds back this thread's calls of the assertion hook from construction to destruction, then
// makes them in order. Error lines are written at once as always. While the product is
// stopped or a file is moved aside, no foreign code may run: it could end the process before
// the installation is whole and the product running again.
class AssertHookHold {
 public:
  AssertHookHold();
  ~AssertHookHold();
  AssertHookHold(const AssertHookHold&) = delete;
  AssertHookHold& operator=(const AssertHookHold&) = delete;
};

// The level words that fill a line's leading "[%s]".
inline constexpr wchar_t kProgressLevel[] = L"Common";
inline constexpr wchar_t kFailureLevel[] = L"Error";

// Call-site form: LOG_PROGRESS(L"[%s]PackageDir[%s].", packageDir). The level word fills the
// leading "[%s]"; std::wstring arguments are passed as C strings. Nothing is evaluated while
// the log is off.
#define LOG_PROGRESS(...)                                                          \
  do {                                                                             \
    if (LogEnabled) LogLine(&LOG_CONSOLE::WriteLog, kProgressLevel, __VA_ARGS__); \
  } while (0)
#define LOG_FAILURE(...)                                                               \
  do {                                                                                 \
    if (LogEnabled) LogLine(&LOG_CONSOLE::WriteErrorLog, kFailureLevel, __VA_ARGS__); \
  } while (0)

inline const wchar_t* LogArg(const std::wstring& text) { return text.c_str(); }
template <typename T>
T LogArg(T value) {
  // "%s" takes a UTF-16 string; a narrow one would be read as garbage.
  static_assert(!std::is_same<std::decay_t<T>, const char*>::value &&
                    !std::is_same<std::decay_t<T>, char*>::value,
                "log arguments are UTF-16: widen a narrow string first");
  return value;
}
void LogArg(const std::string&) = delete;

template <typename... Args>
void LogLine(void (*write)(const wchar_t*, ...), const wchar_t* level, const wchar_t* format,
             const Args&... args) {
  write(format, level, LogArg(args)...);
}
