#pragma once

#include <string>

#include "product/run_lock.h"

// The install sequence up to, not including, the closing of the log: the entry point closes
// the log on every path, also after an exception escaped from here. A run whose lock is busy
// stops after its first line; one whose lock is unavailable goes on as before the lock existed.
// `seal` is the runner's own (RunnerSeal).
void RunInstallSequence(const RunLock& lock, const std::string& seal);
