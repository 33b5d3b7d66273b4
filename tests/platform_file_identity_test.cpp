#include "platform/file_identity.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"
#include "tests/support/files.h"

namespace {

TEST(FileIdentity, APathInsideAFolderIsFoundByIdentityNotBySpelling) {
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
  EXPECT_TRUE(IsSameFile(shortName, temp / L"WAREDEN-1.0-OLD"));
  EXPECT_FALSE(IsSameFile(tree, tree + L"\\bin"));
}

}  // namespace
