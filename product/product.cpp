#include "product/product.h"

#include <sddl.h>

#include <utility>

#include "log/log.h"
#include "platform/handle.h"
#include "platform/paths.h"
#include "platform/text.h"
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

namespace {
std::wstring UserOf(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  wchar_t* text = nullptr;
  if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    return std::wstring();
  }
  const LocalMemory owned(text);
  return text;
}

// The session's user token: only a service may have it. The library is loaded only here, so
// that no run pays for it at start-up.
KernelHandle SessionToken(DWORD sessionId) {
  KernelHandle token;
  const HMODULE library = LoadLibraryExW(L"wtsapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library == nullptr) return token;
  using QueryUserToken = BOOL(WINAPI*)(ULONG, PHANDLE);
  const auto query = FindExport<QueryUserToken>(library, "WTSQueryUserToken");
  if (query != nullptr) query(sessionId, token.Put());
  FreeLibrary(library);
  return token;
}
}  // namespace

std::vector<RecordedProgram> ProductStop::Stopped() const {
  std::vector<RecordedProgram> programs;
  for (const StoppedProgram& program : stopped_) {
    programs.push_back(
        {program.sessionId, program.token.IsValid() ? UserOf(program.token.Get()) : L""});
  }
  return programs;
}

std::vector<LeftStopped> FindLeftStopped() {
  std::vector<LeftStopped> left;
  for (const std::string& id : ListRunRecords()) {
    RunRecord record;
    if (ReadRunRecord(id, record) != RecordRead::kFound || record.state != RecordState::kApplying ||
        record.stopped.empty()) {
      continue;
    }
    left.push_back({id, record.installDir, record.stopped});
  }
  return left;
}

size_t RestartLeftStopped(const std::vector<LeftStopped>& left, StandardHandles handles) {
  size_t started = 0;
  for (const LeftStopped& run : left) {
    std::wstring installBase = run.installDir;
    AppendBackslashIfMissing(installBase);
    for (const RecordedProgram& program : run.programs) {
      if (IsRunningFrom(installBase, kMainProgram, program.sessionId)) continue;
      LOG_PROGRESS(L"[%s]A cut-off run left %s%s stopped in session %u (user %s); starting it again.",
                   installBase, kMainProgram, program.sessionId, program.user);
      std::vector<StoppedProgram> again(1);
      again[0].token = SessionToken(program.sessionId);
      again[0].sessionId = program.sessionId;
      RestartMainProgram(installBase, again, handles);
      ++started;
    }
    // Started, or running already: the record names them no more, unless a run began since.
    RunRecord record;
    if (ReadRunRecord(run.packageId, record) == RecordRead::kFound &&
        record.state == RecordState::kApplying && record.stopped == run.programs) {
      record.stopped.clear();
      WriteRunRecord(run.packageId, record);
    }
  }
  return started;
}
