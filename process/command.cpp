// PLACEHOLDER until process control lands.
#include "process/command.h"
DWORD CreateProcessWaitCmd(wchar_t*) { return 0xFFFFFFFFu; }
