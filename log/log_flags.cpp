#include "log/log_state.h"

// The only place the markers may appear: a tool finds each flag byte by searching the built file
// for its marker, so a second copy anywhere in the image would make that search ambiguous.
LogFlagBlock LogFlags = {"norvalecompan", 0, "companynorval", 1};

namespace {
// Runs during static initialisation so that the switch holds before the entry point's first line.
const bool kLogStartupDone = (ApplyLogStartup(), true);
}  // namespace

void ApplyLogStartup() {
  if (LogSwitchOn()) LogEnabled = 1;
  TheLog.LastSizeCheckTick = GetTickCount();
}
