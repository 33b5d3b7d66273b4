#pragma once

#include <windows.h>

// Starts `commandLine` hidden (the buffer must be writable) and waits up to 2000 ms. Returns
// its exit code, or 4294967295 when it did not start or had not ended in time.
DWORD CreateProcessWaitCmd(wchar_t* commandLine);

// What a started program may get of the caller's standard handles. A console tool's output must
// not stay open in a program that runs on after it: a deployment system that reads the output to
// its end would wait for that program. Some platforms hand a child the caller's standard handles
// even when it inherits none, so with kNone the caller has none while the program starts.
enum class StandardHandles { kInherited, kNone };

// As CreateProcessWaitCmd, but as the user whose primary token `token` is (in that user's
// session and environment, on its session's default desktop) and with `folder` as the current
// folder. Where the token is none or cannot be used, the program starts with the runner's own
// rights, and one "Common" line says so.
DWORD CreateProcessWaitCmdAs(wchar_t* commandLine, HANDLE token, const wchar_t* folder,
                             StandardHandles handles = StandardHandles::kInherited);
