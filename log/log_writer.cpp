#include "log/log_internal.h"

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

// Formats and writes one entry-point call's line. False, with nothing formatted, while no file
// is open.
bool WriteFormattedLine(const wchar_t* format, va_list args, std::wstring& message) {
  LOG_CONSOLE::MagicInitLog();
  if (LOG_CONSOLE::LogFile == nullptr) return false;
  message = FormatLogMessage(format, args);
  LOG_CONSOLE::WriteLogLine(ToUtf8(message));
  return true;
}
}  // namespace

void LOG_CONSOLE::WriteLog(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring message;
  WriteFormattedLine(format, args, message);
  va_end(args);
}

void LOG_CONSOLE::WriteErrorLog(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring message;
  const bool written = WriteFormattedLine(format, args, message);
  va_end(args);
  if (written) CallAssertHook(message.c_str());
}

void LOG_CONSOLE::MagicInitLog() {
  if (!LogEnabled || LogFile != nullptr || LazyOpenGuard) return;
  LazyOpenGuard = 1;
  InitLog(nullptr);
  BannerEnabled = 1;
  WriteLog(kMagicOpenFormat, kMagicOpenSource);
}

void LOG_CONSOLE::CloseLog() {
  if (BannerEnabled && LogFile != nullptr) WriteLogLine(kEndBanner);
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
  GetLocalTime(&now);
  const std::string line = BuildLogLine(now, std::move(message));
  CheckLogSize();
  if (WriterCount >= kPendingMark) return;
  if (InterlockedIncrement(&WriterCount) < kPendingMark && LogFile != nullptr) {
    DWORD written = 0;
    WriteFile(LogFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  InterlockedDecrement(&WriterCount);
}
