#include "product/product.h"

#include <utility>

#include "log/log.h"
#include "process/command.h"

bool StopProduct(const std::wstring& installBase, std::vector<StoppedProgram>& stopped) {
  // Room for every session before the first kill: an allocation that failed after it would
  // leave a stopped program without its record, and so stopped for good.
  stopped.reserve(stopped.size() + kMostSessions);
  const bool main = KillProcessByName(installBase, kMainProgram, &stopped);
  const bool downloader = KillProcessByName(installBase, kDownloader);
  return main || downloader;
}

// In the installation folder: the folder the caller was started from may be a download folder,
// where the program's own loads of libraries by bare name would look first.
std::vector<DWORD> RestartMainProgram(const std::wstring& installBase,
                                      const std::vector<StoppedProgram>& stopped,
                                      StandardHandles handles) {
  const std::wstring commandLine = L"\"" + installBase + kMainProgram + L"\" ";
  std::vector<DWORD> exitCodes;
  exitCodes.reserve(stopped.size());  // no allocation between one start and the next
  for (const StoppedProgram& program : stopped) {
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    const DWORD exitCode =
        CreateProcessWaitCmdAs(writable.data(), program.token.Get(), installBase.c_str(), handles);
    LOG_PROGRESS(L"[%s]CreateProcessWaitCmd[%s] exit_code[%u].", commandLine, exitCode);
    exitCodes.push_back(exitCode);
  }
  return exitCodes;
}

ProductStop::ProductStop(std::wstring installBase, StandardHandles handles)
    : installBase_(std::move(installBase)), handles_(handles) {
  try {
    stoppedAny_ = StopProduct(installBase_, stopped_);
  } catch (...) {
    Restart();
    throw;
  }
}

ProductStop::~ProductStop() {
  try {
    Restart();
  } catch (...) {
    // Nothing more can be done from here; the run's own error is the one that counts.
  }
}

std::vector<DWORD> ProductStop::Restart() {
  if (restarted_) return {};
  restarted_ = true;
  return RestartMainProgram(installBase_, stopped_, handles_);
}
