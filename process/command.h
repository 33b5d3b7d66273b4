#pragma once

#include <windows.h>

// Starts `commandLine` hidden (the buffer must be writable) and waits up to 2000 ms. Returns
// its exit code, or 4294967295 when it did not start or had not ended in time.
DWORD CreateProcessWaitCmd(wchar_t* commandLine);

// As CreateProcessWaitCmd, but as the user whose primary token `token` is (in that user's
// session and environment, on its session's default desktop) and with `folder` as the current
// folder. Where the token is none or cannot be used, the program starts with the runner's own
// rights, and one "Common" line says so.
DWORD CreateProcessWaitCmdAs(wchar_t* commandLine, HANDLE token, const wchar_t* folder);
