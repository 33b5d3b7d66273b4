#pragma once

#include <cstddef>
#include <string>

// Finds the runner's two log flag bytes in the bytes of a built file: each is the byte after
// its 13-character marker and the marker's NUL. The markers are assembled at run time so that
// no program that uses this carries them itself.
struct FlagBlockLocation {
  size_t logEnabled = 0;  // offsets into the file
  size_t magicDebug = 0;
};

// True with both offsets when each marker occurs exactly once and is followed by its NUL and a
// flag byte; otherwise false with a sentence saying what is wrong in `error`.
bool FindFlagBlock(const std::string& bytes, FlagBlockLocation& location, std::string& error);

// What the two bytes mean for a run, in one sentence.
std::string DescribeFlags(unsigned char magicDebug, unsigned char logEnabled);

// The marker texts, built at run time.
std::string LogEnabledMarker();
std::string MagicDebugMarker();
