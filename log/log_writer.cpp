#include "log/log_internal.h"
#include "platform/text.h"

HANDLE LOG_CONSOLE::LogFile = nullptr;
wchar_t LOG_CONSOLE::LogFilePath[260] = {};
volatile LONG LOG_CONSOLE::InitCount = 0;
volatile LONG LOG_CONSOLE::WriterCount = 0;
uint32_t LOG_CONSOLE::SizeLimit = 0;
DWORD LOG_CONSOLE::LastSizeCheckTick = 0;
unsigned char LOG_CONSOLE::BannerEnabled = 0;
unsigned char LOG_CONSOLE::LazyOpenGuard = 0;

namespace {
constexpr wchar_t kMagicOpenFormat[] = L"%s Magic debuge open  \n";
constexpr wchar_t kMagicOpenSource[] = L"LOG_CONSOLE::MagicInitLog";
// Lines up to this size are built on the stack, without a heap allocation.
constexpr size_t kShortLineCapacity = 1024;

// The size check, then one write of the finished line unless a rotation's mark stands.
void WriteFinishedLine(const char* line, size_t length) {
  CheckLogSize();
  if (LOG_CONSOLE::WriterCount >= LOG_CONSOLE::kPendingMark) return;
  if (InterlockedIncrement(&LOG_CONSOLE::WriterCount) < LOG_CONSOLE::kPendingMark &&
      LOG_CONSOLE::LogFile != nullptr) {
    DWORD written = 0;
    WriteFile(LOG_CONSOLE::LogFile, line, static_cast<DWORD>(length), &written, nullptr);
  }
  InterlockedDecrement(&LOG_CONSOLE::WriterCount);
}

// Formats and writes one entry-point call's line. False, with nothing formatted, while no file
// is open.
bool WriteFormattedLine(const wchar_t* format, va_list args, std::wstring& message) {
  LOG_CONSOLE::MagicInitLog();
  if (LOG_CONSOLE::LogFile == nullptr) return false;
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
  if (!FormatLogUtf8(format, args, line + kLogStampLength, sizeof(line) - kLogStampLength - 1, length)) {
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
  if (LogFile == nullptr) return;
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
  if (!LogEnabled || LogFile != nullptr || LazyOpenGuard) return;
  LazyOpenGuard = 1;
  InitLog(nullptr);
  BannerEnabled = 1;
  WriteLog(kMagicOpenFormat, kMagicOpenSource);
}

void LOG_CONSOLE::CloseLog() {
  try {
    if (BannerEnabled && LogFile != nullptr) WriteLogLine(kEndBanner);
  } catch (...) {
    // The file is still closed and the hook released.
  }
  LogEnabled = 0;
  if (InterlockedDecrement(&InitCount) != 0) return;
  if (LogFile != nullptr) {
    CloseHandle(LogFile);
    LogFile = nullptr;
  }
  ReleaseAssertHook();
}

void LOG_CONSOLE::WriteLogLine(std::string message) {
  SYSTEMTIME now;
  GetLogLocalTime(now);
  const std::string line = BuildLogLine(now, std::move(message));
  WriteFinishedLine(line.data(), line.size());
}
