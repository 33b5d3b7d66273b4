// Stands in for a product program in end-to-end tests and the demo. GUI subsystem, no window.
//   (no arguments)   run until killed; first, when a file "cwd.request" lies beside the
//                    program, write its current folder (UTF-16) to "cwd.txt" beside it
//   --exit N         exit with code N at once
//   --sleep MS       exit 0 after MS milliseconds
//   --hold PATH MS   open PATH for writing, sharing reading only, hold it MS ms, exit 0
//   --ready PATH     create PATH once running (a readiness signal), then run until killed
// Anything else exits with code 2.

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "platform/handle.h"

namespace {
DWORD ParseNumber(const wchar_t* text) {
  return static_cast<DWORD>(std::wcstoul(text, nullptr, 10));
}

int HoldFile(const wchar_t* path, DWORD milliseconds) {
  const KernelHandle file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return 3;
  Sleep(milliseconds);
  return 0;
}

[[noreturn]] void RunUntilKilled() {
  for (;;) Sleep(INFINITE);
}

// A program started again by the runner gets no arguments; a file beside it asks where it runs.
void TellCurrentFolderIfAsked() {
  wchar_t self[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring folder = self;
  folder.resize(folder.find_last_of(L'\\') + 1);
  if (GetFileAttributesW((folder + L"cwd.request").c_str()) == INVALID_FILE_ATTRIBUTES) return;
  wchar_t current[MAX_PATH + 1] = {};
  const DWORD length = GetCurrentDirectoryW(MAX_PATH, current);
  const KernelHandle file(CreateFileW((folder + L"cwd.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  WriteFile(file.Get(), current, length * sizeof(wchar_t), &written, nullptr);
}

// Returns 3 when PATH cannot be created; otherwise does not return.
int SignalReadyAndRun(const wchar_t* path) {
  {
    const KernelHandle ready(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!ready.IsValid()) return 3;
  }  // closed, so that whoever waits for it may remove it
  RunUntilKilled();
}
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  const LocalMemory argsMemory(args);
  if (args == nullptr) return 2;
  int code = 2;
  if (count == 1) {
    TellCurrentFolderIfAsked();
    RunUntilKilled();
  } else if (count == 3 && std::wcscmp(args[1], L"--exit") == 0) {
    code = static_cast<int>(ParseNumber(args[2]));
  } else if (count == 3 && std::wcscmp(args[1], L"--sleep") == 0) {
    Sleep(ParseNumber(args[2]));
    code = 0;
  } else if (count == 4 && std::wcscmp(args[1], L"--hold") == 0) {
    code = HoldFile(args[2], ParseNumber(args[3]));
  } else if (count == 3 && std::wcscmp(args[1], L"--ready") == 0) {
    code = SignalReadyAndRun(args[2]);
  }
  return code;
}
