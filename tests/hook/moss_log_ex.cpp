// Stand-in for the hook library: appends each call's two arguments to the file named by the
// environment variable MOSS_HOOK_RECORD, as UTF-16 "message US tag RS" (unit and record
// separators), so that a line feed inside a message would show. Built three ways:
//   MossLogEx.dll          the documented cdecl export
//   MossLogExStdcall.dll   a stdcall export under the same undecorated name (pops its arguments)
//   MossLogExNeedsDep.dll  imports MossDep.dll, whose loading records the call "planted"
#include <windows.h>

namespace {
void Record(const wchar_t* message, const wchar_t* tag) {
  wchar_t recordPath[MAX_PATH + 1] = {};
  if (GetEnvironmentVariableW(L"MOSS_HOOK_RECORD", recordPath, MAX_PATH) == 0) return;
  HANDLE file = CreateFileW(recordPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  const wchar_t unitSeparator = 0x1F;
  const wchar_t recordSeparator = 0x1E;
  WriteFile(file, message, static_cast<DWORD>(lstrlenW(message) * sizeof(wchar_t)), &written,
            nullptr);
  WriteFile(file, &unitSeparator, sizeof(unitSeparator), &written, nullptr);
  WriteFile(file, tag, static_cast<DWORD>(lstrlenW(tag) * sizeof(wchar_t)), &written, nullptr);
  WriteFile(file, &recordSeparator, sizeof(recordSeparator), &written, nullptr);
  CloseHandle(file);
}
}  // namespace

#if defined(MOSS_DEPENDENCY)
extern "C" __declspec(dllexport) int MossDepMark() { return 1; }
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) Record(L"planted", L"MossDep");
  return TRUE;
}
#elif defined(MOSS_HOOK_STDCALL)
extern "C" __declspec(dllexport) void __stdcall fnMossLogAssert(const wchar_t* message,
                                                                const wchar_t* tag) {
  Record(message, tag);
}
#else
#if defined(MOSS_HOOK_NEEDS_DEP)
extern "C" __declspec(dllimport) int MossDepMark();
#endif
extern "C" __declspec(dllexport) void __cdecl fnMossLogAssert(const wchar_t* message,
                                                              const wchar_t* tag) {
#if defined(MOSS_HOOK_NEEDS_DEP)
  MossDepMark();
#endif
  Record(message, tag);
}
#endif
