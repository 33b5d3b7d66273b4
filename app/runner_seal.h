#pragma once

#include <string>

// The runner's own seal block (see package/seal.h), defined with its marker in Patch.exe only:
// all zero as built, the hash of its package's conf.json once a tool sealed it.
std::string RunnerSeal();
