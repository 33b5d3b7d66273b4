#include "tests/support/processes.h"

#include <gtest/gtest.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cwctype>

#include "platform/text.h"
#include "platform/paths.h"
#include "tests/support/files.h"

namespace testsupport {
namespace {

// Terminated processes release their files only when they have ended.
constexpr DWORD kProcessEndWaitMs = 5000;
constexpr DWORD kRunTimeoutMs = 60000;

std::wstring Lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

void EndProcess(HANDLE process) {
  TerminateProcess(process, 1);
  WaitForSingleObject(process, kProcessEndWaitMs);
}

// Calls `visit(pid, handle, imagePath)` for every process that can be opened for query,
// termination and waiting.
template <typename Visit>
void ForEachProcess(Visit visit) {
  const KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.IsValid()) {
    ADD_FAILURE() << "CreateToolhelp32Snapshot failed: " << GetLastError();
    return;
  }
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
       more = Process32NextW(snapshot.Get(), &entry)) {
    if (entry.th32ProcessID == 0 || entry.th32ProcessID == GetCurrentProcessId()) continue;
    const KernelHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                    entry.th32ProcessID));
    if (!process.IsValid()) continue;
    wchar_t image[32768] = {};
    DWORD size = 32767;
    if (!QueryFullProcessImageNameW(process.Get(), 0, image, &size)) size = 0;
    visit(entry.th32ProcessID, process.Get(), std::wstring(image, size));
  }
}

ProcessHandles StartStandIn(const std::wstring& exePath, const std::wstring& args) {
  if (!Exists(exePath)) InstallStandIn(exePath);
  return StartProgram(exePath, args);
}

}  // namespace

ProcessHandles StartProgram(const std::wstring& exe, const std::wstring& args,
                            const std::wstring& output) {
  std::wstring commandLine = L"\"" + exe + L"\"";
  if (!args.empty()) commandLine += L" " + args;
  const std::wstring folder = ParentFolder(exe);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  KernelHandle out;
  if (!output.empty()) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    out.Reset(CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                          0, nullptr));
    EXPECT_TRUE(out.IsValid()) << LastErrorText("CreateFileW", output);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.Get();
    startup.hStdError = out.Get();
  }
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, out.IsValid(),
                      out.IsValid() ? DETACHED_PROCESS : 0, nullptr, folder.c_str(), &startup,
                      &info)) {
    ADD_FAILURE() << LastErrorText("CreateProcessW", exe);
  }
  return ProcessHandles(info);
}

DWORD RunProgram(const std::wstring& exe, const std::wstring& args, const std::wstring& output) {
  const ProcessHandles program = StartProgram(exe, args, output);
  if (!program.process.IsValid()) return kNoExitCode;
  if (WaitForSingleObject(program.process.Get(), kRunTimeoutMs) != WAIT_OBJECT_0) {
    ADD_FAILURE() << NarrowToUtf8(exe) << " did not end within " << kRunTimeoutMs << " ms";
    EndProcess(program.process.Get());
    return kNoExitCode;
  }
  DWORD code = kNoExitCode;
  GetExitCodeProcess(program.process.Get(), &code);
  return code;
}

ToolRun RunTool(const std::wstring& tool, const std::wstring& args, const std::wstring& output) {
  const DWORD exitCode = RunProgram(BuiltFile(tool), args, output);
  return {exitCode, ReadBytes(output)};
}

StandIn::StandIn(const std::wstring& exePath, const std::wstring& args)
    : program_(StartStandIn(exePath, args)) {
  // A process that has not finished loading has no executable path to compare yet.
  for (int attempt = 0; attempt < 500 && Running(); ++attempt) {
    wchar_t path[MAX_PATH + 1] = {};
    if (GetModuleFileNameExW(program_.process.Get(), nullptr, path, MAX_PATH) != 0) return;
    Sleep(10);
  }
  EXPECT_FALSE(Running()) << "the stand-in's executable path never became readable";
}

StandIn::~StandIn() {
  if (Running()) EndProcess(program_.process.Get());
}

bool StandIn::Running() const {
  return program_.process.IsValid() &&
         WaitForSingleObject(program_.process.Get(), 0) == WAIT_TIMEOUT;
}

void InstallStandIn(const std::wstring& exePath) {
  MakeFolders(ParentFolder(exePath));
  if (!CopyFileW(BuiltFile(L"standin.exe").c_str(), exePath.c_str(), FALSE)) {
    ADD_FAILURE() << LastErrorText("copying the stand-in to", exePath);
  }
}

void KillProcessesIn(const std::wstring& folder) {
  std::wstring prefix = Lower(folder);
  if (!prefix.empty() && prefix.back() != L'\\') prefix += L'\\';
  ForEachProcess([&](DWORD, HANDLE process, const std::wstring& image) {
    if (Lower(image).compare(0, prefix.size(), prefix) == 0) EndProcess(process);
  });
}

std::vector<DWORD> ProcessesRunning(const std::wstring& exePath) {
  std::vector<DWORD> ids;
  const std::wstring wanted = Lower(exePath);
  ForEachProcess([&](DWORD pid, HANDLE process, const std::wstring& image) {
    if (Lower(image) == wanted && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
      ids.push_back(pid);
    }
  });
  return ids;
}

}  // namespace testsupport
