// Case 5: a whole Patch.exe run that stops at the missing "patchfile" folder, against a GUI
// program that returns at once; both started with CreateProcessW and waited for.
#include <string>
#include <vector>

#include "bench/bench_cases.h"
#include "platform/handle.h"

namespace bench {

namespace {

constexpr DWORD kRunTimeoutMs = 60000;

// Starts `exe` from its own folder and waits for it. Empty on success with exit code 0,
// otherwise what went wrong.
std::string RunToEnd(const std::wstring& exe, const std::wstring& folder) {
  std::wstring commandLine = L"\"" + exe + L"\"";
  std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
  writable.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(exe.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &startup, &info)) {
    return LastErrorText("starting", exe);
  }
  const KernelHandle process(info.hProcess);
  const KernelHandle thread(info.hThread);
  if (WaitForSingleObject(process.Get(), kRunTimeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.Get(), 1);
    return LastErrorText("waiting for", exe);
  }
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.Get(), &exitCode) || exitCode != 0) {
    return LastErrorText("a zero exit code from", exe) + " (exit code " + std::to_string(exitCode) +
           ")";
  }
  return std::string();
}

// Copies the built program into a folder of its own (no "patchfile" beside it) and runs it.
void StartupCase(benchmark::State& state, const wchar_t* program) {
  ScratchFolder folder(L"start");
  const std::wstring built = ProgramFolder() + L"\\" + program;
  const std::wstring exe = folder.Join(program);
  if (folder.Path().empty() || !CopyFileW(built.c_str(), exe.c_str(), FALSE)) {
    state.SkipWithError(LastErrorText("copying", built).c_str());
    return;
  }
  for (auto _ : state) {
    const std::string error = RunToEnd(exe, folder.Path());
    if (!error.empty()) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
}

}  // namespace

BenchCase RegisterStartupCase(const BenchSizes& sizes) {
  Configure(benchmark::RegisterBenchmark("startup", StartupCase, L"Patch.exe"), sizes);
  Configure(benchmark::RegisterBenchmark("startup_baseline", StartupCase, L"bench_empty.exe"),
            sizes);
  return {"Patch.exe run, no patchfile", "startup", "startup_baseline", 1.25};
}

BenchCase RegisterStartupImportsCase(const BenchSizes& sizes) {
  Configure(benchmark::RegisterBenchmark("startup_imports", StartupCase, L"bench_imports.exe"),
            sizes);
  return {"  same, against its imports only", "startup", "startup_imports", std::nullopt};
}

}  // namespace bench
