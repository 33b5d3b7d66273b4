// The flag block of every program but the runner: the tools, the tests, the benchmarks.
// Without the markers no tool looks like a runner to patchcheck or patchflags; with both flags
// off and no start-up step, the registry switch is never read and the runner's code in a tool
// writes no log: a tool reports on its own output.

#include "log/log.h"

LogFlagBlock LogFlags = {};
