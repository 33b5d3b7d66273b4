// The checks of an entry's texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/patchcheck/findings.h"

namespace {

std::string Messages(const std::vector<Finding>& findings) {
  std::string text;
  for (const Finding& finding : findings) text += FindingText(finding) + "\n";
  return text;
}

TEST(EntryTexts, WarnAboutWhatWindowsChangesAndRefuseDevices) {
  const struct {
    const char* src;
    const char* dest;
    const char* expected;  // empty: no finding
  } cases[] = {
      {"a", "b\\c.dll", ""},
      {"", "b", "warning: entry 1: \"src\" is empty"},
      {"a", "", "warning: entry 1: \"dest\" is empty"},
      {"a", "..\\b", "climbs out of the installation"},
      {"a", "b\\..\\..\\c", "climbs out"},
      {"a", "\\b", "is absolute"},
      {"a", "C:b", "is absolute"},
      {"a", "com1.txt", "error: entry 1: \"dest\" com1.txt names a device or a stream"},
      {"a", "b.txt:s", "names a device or a stream"},
      {"a", "b\n03-07 14:05:09:083: [Common]Patch successful.", "holds a control character"},
      {"a\tb", "b", "holds a control character"},
      {"a. ", "b", "\"src\" a.  has a part ending in a dot or a space"},
      {"a", "dir.\\b", "\"dest\" dir.\\b has a part ending"},
  };
  for (const auto& c : cases) {
    const std::string found = Messages(CheckEntryTexts({{c.src, c.dest}}));
    EXPECT_TRUE(*c.expected ? found.find(c.expected) != std::string::npos : found.empty())
        << "expected \"" << c.expected << "\" in:\n"
        << found;
  }
  const std::string repeated =
      Messages(CheckEntryTexts({{"a", "bin\\x"}, {"b", "y"}, {"c", "BIN/x."}}));
  EXPECT_NE(repeated.find("entry 1 and entry 3 have the same \"dest\""), std::string::npos)
      << repeated;
}

}  // namespace
