#pragma once

#include <windows.h>

// Starts `commandLine` hidden (the buffer must be writable) and waits up to 2000 ms. Returns
// its exit code, or 4294967295 when it did not start or had not ended in time.
DWORD CreateProcessWaitCmd(wchar_t* commandLine);
