#include "tools/flag_block.h"

#include <algorithm>

namespace {
// Kept reversed: a program that searches for the markers must not contain them, or it would
// look like a runner itself.
std::string Reversed(const char* text) {
  std::string result(text);
  std::reverse(result.begin(), result.end());
  return result;
}

bool FindOnce(const std::string& bytes, const std::string& marker, size_t& flag,
              std::string& error) {
  const size_t at = bytes.find(marker);
  if (at == std::string::npos) {
    error = "marker \"" + marker + "\" not found: not a patch runner";
    return false;
  }
  if (bytes.find(marker, at + 1) != std::string::npos) {
    error = "marker \"" + marker + "\" found more than once: the flag byte is ambiguous";
    return false;
  }
  const size_t nul = at + marker.size();
  if (nul + 1 >= bytes.size() || bytes[nul] != '\0') {
    error = "marker \"" + marker + "\" is not followed by its NUL and flag byte";
    return false;
  }
  flag = nul + 1;
  return true;
}
}  // namespace

std::string LogEnabledMarker() { return Reversed("napmocelavron"); }
std::string MagicDebugMarker() { return Reversed("lavronynapmoc"); }

bool FindFlagBlock(const std::string& bytes, FlagBlockLocation& location, std::string& error) {
  FlagBlockLocation found;
  if (!FindOnce(bytes, LogEnabledMarker(), found.logEnabled, error)) return false;
  if (!FindOnce(bytes, MagicDebugMarker(), found.magicDebug, error)) return false;
  location = found;
  return true;
}

std::string DescribeFlags(unsigned char magicDebug, unsigned char logEnabled) {
  if (magicDebug != 0) return "log on, opened at entry: BEGAIN line first, END line at shutdown";
  if (logEnabled != 0)
    return "log on, opened at the first line: \"Magic debuge open\" line first, END line at "
           "shutdown";
  return "log off unless HKLM\\Software\\Norvale\\PelliMgr EnableLogToView is a non-zero DWORD";
}
