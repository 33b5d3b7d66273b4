#include "log/log_state.h"
#include "platform/text.h"

// Zero-initialized before any code runs: the log's start-up step, itself run during static
// initialization, may write to it.
LogState TheLog;

const LogState& CurrentLogState() { return TheLog; }

namespace {
// Lines up to this size are built on the stack, without a heap allocation.
constexpr size_t kShortLineCapacity = 1024;

// The size check, then one write of the finished line unless a rotation's mark stands.
void WriteFinishedLine(const char* line, size_t length) {
  CheckLogSize();
  if (TheLog.WriterCount >= LOG_CONSOLE::kPendingMark) return;
  if (InterlockedIncrement(&TheLog.WriterCount) < LOG_CONSOLE::kPendingMark &&
      TheLog.LogFile != nullptr) {
    DWORD written = 0;
    WriteFile(TheLog.LogFile, line, static_cast<DWORD>(length), &written, nullptr);
  }
  InterlockedDecrement(&TheLog.WriterCount);
}

// Formats and writes one entry-point call's line. False, with nothing formatted, while no file
// is open.
bool WriteFormattedLine(const wchar_t* format, va_list args, std::wstring& message) {
  LOG_CONSOLE::MagicInitLog();
  if (TheLog.LogFile == nullptr) return false;
  message = FormatLogMessage(format, args);
  LOG_CONSOLE::WriteLogLine(NarrowToUtf8(message));
  return true;
}

// The common case of WriteLog: the format's text goes straight into a line on the stack. False
// when the format or the length needs the general path; nothing was written then.
bool WriteShortLine(const wchar_t* format, va_list args) {
  char line[kShortLineCapacity];
  size_t length = 0;
  // Room for the stamp in front and an LF behind.
  if (!FormatLogUtf8(format, args, line + kLogStampLength, sizeof(line) - kLogStampLength - 1,
                     length)) {
    return false;
  }
  length += kLogStampLength;
  if (length == kLogStampLength || line[length - 1] != '\n') line[length++] = '\n';
  SYSTEMTIME now;
  GetLogLocalTime(now);
  PutLogStamp(now, line);
  WriteFinishedLine(line, length);
  return true;
}
}  // namespace

// The entry points never throw: a line that cannot be built for want of memory is dropped, and
// the caller, which may be between moving a file aside and putting it back, goes on.
void LOG_CONSOLE::WriteLog(const wchar_t* format, ...) {
  MagicInitLog();
  if (TheLog.LogFile == nullptr) return;
  va_list args;
  va_start(args, format);
  const bool written = WriteShortLine(format, args);
  va_end(args);
  if (written) return;
  va_start(args, format);
  try {
    std::wstring message;
    WriteFormattedLine(format, args, message);
  } catch (...) {
  }
  va_end(args);
}

void LOG_CONSOLE::WriteErrorLog(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  try {
    std::wstring message;
    if (WriteFormattedLine(format, args, message)) CallAssertHook(message.c_str());
  } catch (...) {
  }
  va_end(args);
}

void LOG_CONSOLE::MagicInitLog() {
  if (!LogEnabled || TheLog.LogFile != nullptr || TheLog.LazyOpenGuard) return;
  TheLog.LazyOpenGuard = 1;
  InitLog(nullptr);
  TheLog.BannerEnabled = 1;
  WriteLog(L"%s\n", kMagicOpenMessage);
}

void LOG_CONSOLE::CloseLog() {
  try {
    if (TheLog.BannerEnabled && TheLog.LogFile != nullptr) WriteLogLine(kEndBanner);
  } catch (...) {
    // The file is still closed and the hook released.
  }
  LogEnabled = 0;
  if (InterlockedDecrement(&TheLog.InitCount) != 0) return;
  if (TheLog.LogFile != nullptr) {
    CloseHandle(TheLog.LogFile);  // bare by design (see LogState)
    TheLog.LogFile = nullptr;
  }
  ReleaseAssertHook();
}

void LOG_CONSOLE::EnableBanners() { TheLog.BannerEnabled = 1; }

void LOG_CONSOLE::WriteLogLine(std::string message) {
  SYSTEMTIME now;
  GetLogLocalTime(now);
  const std::string line = BuildLogLine(now, std::move(message));
  WriteFinishedLine(line.data(), line.size());
}
