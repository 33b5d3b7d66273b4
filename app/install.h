#pragma once

// The install sequence up to, not including, the closing of the log: the entry point closes
// the log on every path, also after an exception escaped from here.
void RunInstallSequence();
