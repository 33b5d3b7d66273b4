// PLACEHOLDER until process control lands.
#include "process/kill.h"
bool KillProcessByName(const std::wstring&, const std::wstring&) { return false; }
bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) { return a == b; }
