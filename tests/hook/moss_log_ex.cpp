// Stand-in for the hook library: appends each call's two arguments to the file named by the
// environment variable MOSS_HOOK_RECORD, as UTF-16 "message US tag RS" (unit and record
// separators), so that a line feed inside a message would show.
#include <windows.h>

extern "C" __declspec(dllexport) void __cdecl fnMossLogAssert(const wchar_t* message,
                                                               const wchar_t* tag) {
  wchar_t recordPath[MAX_PATH + 1] = {};
  if (GetEnvironmentVariableW(L"MOSS_HOOK_RECORD", recordPath, MAX_PATH) == 0) return;
  HANDLE file = CreateFileW(recordPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  const wchar_t unitSeparator = 0x1F;
  const wchar_t recordSeparator = 0x1E;
  WriteFile(file, message, static_cast<DWORD>(lstrlenW(message) * sizeof(wchar_t)), &written, nullptr);
  WriteFile(file, &unitSeparator, sizeof(unitSeparator), &written, nullptr);
  WriteFile(file, tag, static_cast<DWORD>(lstrlenW(tag) * sizeof(wchar_t)), &written, nullptr);
  WriteFile(file, &recordSeparator, sizeof(recordSeparator), &written, nullptr);
  CloseHandle(file);
}
