#include "tools/kit/install_folder.h"

#include "platform/text.h"
#include "product/install_dir.h"

InstallFolder FindInstallFolder(const std::wstring& given) {
  InstallFolder folder;
  if (!given.empty()) {
    folder.path = given;
    return folder;
  }
  folder.fromInstallDir = true;
  switch (ReadInstallDir(folder.path)) {
    case InstallDirRead::kOk:
      if (folder.path.empty()) folder.error = "InstallDir is empty: a run refuses it";
      break;
    case InstallDirRead::kOpenFailed:
      folder.error =
          "cannot open HKLM\\SOFTWARE\\Norvale\\Wareden (32-bit view): the product "
          "is not installed here, or give --install-dir";
      break;
    case InstallDirRead::kQueryFailed:
      folder.error =
          "cannot read InstallDir (missing, not a string, not terminated, or 260 characters or "
          "more): a run fails the same way";
      break;
  }
  return folder;
}

std::string DescribeInstallFolder(const InstallFolder& folder) {
  return (folder.fromInstallDir ? "install folder from InstallDir: " : "install folder: ") +
         NarrowToUtf8(folder.path);
}

void AddInstallFolder(const InstallFolder& folder, Json::Value& root) {
  root["install_dir"] = NarrowToUtf8(folder.path);
  root["install_dir_from"] = folder.fromInstallDir ? "InstallDir" : "option";
}
