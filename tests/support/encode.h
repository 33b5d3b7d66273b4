#pragma once

// Encoded patch files for tests of the runner and the tools that read them, written by patchmake's
// encoder but without its matcher: a difference of one record (the bytes both files have in
// their common length as a diff, the rest of the new file as extra), whatever the files.

#include <string>

namespace testsupport {

std::string CompressedPatch(const std::string& next);
std::string DifferencePatch(const std::string& base, const std::string& next);

}  // namespace testsupport
