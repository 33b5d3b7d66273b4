#pragma once

#include <string>

#include "platform/paths.h"

// A package is a folder holding the runner and a patch folder, which holds conf.json and the
// patch files that its entries name.
inline constexpr wchar_t kPatchFolderName[] = L"patchfile";
inline constexpr wchar_t kConfFileName[] = L"conf.json";
// The runner's name in the packages that patchmake writes; its log is named after it.
inline constexpr wchar_t kRunnerFileName[] = L"Patch.exe";

// The patch folder of the package folder `packageDir` (with or without its backslash).
inline std::wstring PatchFolderOf(const std::wstring& packageDir) {
  return JoinPath(packageDir, kPatchFolderName);
}

// conf.json in the patch folder `patchFolder`.
inline std::wstring ConfPathOf(const std::wstring& patchFolder) {
  return JoinPath(patchFolder, kConfFileName);
}
