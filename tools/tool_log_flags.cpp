// The tools' log flag block, linked in place of the runner's (log/log_flags.cpp), which a tool
// would otherwise pull in with the runner's process control. Without the markers no tool looks
// like a runner to patchcheck or patchflags; with both flags off and no start-up step, the
// registry switch is never read and the runner's code in a tool writes no log: a tool reports
// on its own output.

#include "log/log.h"

LogFlagBlock LogFlags = {};
