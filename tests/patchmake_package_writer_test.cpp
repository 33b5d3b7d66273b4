// Where OUT_DIR lies, and the conf.json that patchmake writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "tests/support/files.h"
#include "tools/patchmake/package_writer.h"

namespace {

TEST(PatchMakeRules, OutInsideATreeIsFoundByIdentityNotBySpelling) {
  const testsupport::TempFolder temp;
  const std::wstring tree = temp / L"Wareden-1.0-old";
  testsupport::MakeFolders(tree + L"\\bin");
  wchar_t shortName[MAX_PATH] = {};
  ASSERT_NE(GetShortPathNameW(tree.c_str(), shortName, MAX_PATH), 0u) << GetLastError();
  for (const std::wstring& out : {tree, tree + L"\\pkg", temp / L"WAREDEN-1.0-OLD\\new\\pkg",
                                  tree + L"\\bin\\..\\..\\Wareden-1.0-old", tree + L".",
                                  std::wstring(shortName) + L"\\pkg"}) {
    EXPECT_TRUE(LiesInside(out, tree)) << NarrowToUtf8(out);
  }
  EXPECT_FALSE(LiesInside(temp / L"Wareden-1.0-old2\\pkg", tree));
  EXPECT_FALSE(LiesInside(temp / L"pkg", tree));
}

TEST(PatchMakeRules, ConfJsonTextReadsBackAsItsEntries) {
  const PatchList written = {
      {"bin\\a.dll", "bin\\a.dll", std::string(64, 'a')},
      {"quote\"and\\slash", "\xC3\xA9\t\x01", std::string(64, '0')},
  };
  PatchList read;
  ASSERT_EQ(ParseConfText(ConfJsonText(written), read), ConfTextResult::kOk)
      << ConfJsonText(written);
  ASSERT_EQ(read.size(), written.size());
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].src, written[i].src);
    EXPECT_EQ(read[i].dest, written[i].dest);
    EXPECT_EQ(read[i].sha256, written[i].sha256);
  }
  EXPECT_NE(ConfJsonText(written).compare(0, 3, "\xEF\xBB\xBF"), 0) << "no byte-order mark";
}

}  // namespace
