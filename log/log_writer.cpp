// PLACEHOLDER until the log lands.
#include "log/log.h"
HANDLE LOG_CONSOLE::LogFile = nullptr;
wchar_t LOG_CONSOLE::LogFilePath[260] = {};
volatile LONG LOG_CONSOLE::InitCount = 0;
volatile LONG LOG_CONSOLE::WriterCount = 0;
uint32_t LOG_CONSOLE::SizeLimit = 0;
DWORD LOG_CONSOLE::LastSizeCheckTick = 0;
unsigned char LOG_CONSOLE::BannerEnabled = 0;
unsigned char LOG_CONSOLE::LazyOpenGuard = 0;
void LOG_CONSOLE::WriteLog(const wchar_t*, ...) {}
void LOG_CONSOLE::WriteErrorLog(const wchar_t*, ...) {}
void LOG_CONSOLE::InitLog(const wchar_t*) {}
void LOG_CONSOLE::MagicInitLog() {}
void LOG_CONSOLE::CloseLog() { LogEnabled = 0; }
void LOG_CONSOLE::WriteLogLine(std::string) {}
