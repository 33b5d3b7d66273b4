#pragma once

#include <json/json.h>

#include <string>

// What the deployment tools share: where the installation is, and their JSON output.

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

// A folder given on the command line, without the slashes it may end in.
std::wstring FolderArgument(std::wstring folder);

// Prints `root` as one JSON object, indented, followed by a line feed.
void PrintJson(const Json::Value& root);
