#pragma once

#include <windows.h>

// Restricts the DLL search path to System32 and turns on redirection trust, where the platform
// has them; silently does without elsewhere (older Windows, Wine). Runs before the runner loads
// anything of its own: the package folder may be a user's download folder.
void ApplyProcessMitigations();
