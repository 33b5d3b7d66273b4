#pragma once

#include <json/json.h>

#include <string>

// The installation folder a tool works on: the one given, or InstallDir read exactly as a run
// reads it. `error` is a sentence when InstallDir cannot be read; `path` is then empty.
struct InstallFolder {
  std::wstring path;
  bool fromInstallDir = false;
  std::string error;
};
InstallFolder FindInstallFolder(const std::wstring& given);

// "install folder from InstallDir: C:\..." or "install folder: C:\..." (given).
std::string DescribeInstallFolder(const InstallFolder& folder);

// Adds "install_dir" and "install_dir_from" ("InstallDir" or "option") to `root`.
void AddInstallFolder(const InstallFolder& folder, Json::Value& root);
