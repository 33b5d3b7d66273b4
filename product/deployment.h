#pragma once

// What a run leaves for the deployment systems once it applied a package: the package's
// conf.json and the deployment program kept where only administrators can write, so that
// detection and undo work after the package folder is gone, and the package's entry among the
// product's installed updates.

#include <windows.h>

#include <string>
#include <vector>

inline constexpr wchar_t kDeployProgram[] = L"patchdeploy.exe";
// Below the program files folder, which only administrators can write to and where no user
// can make a folder first; one folder per record, named by its id.
inline constexpr wchar_t kKeptPackagesChain[] = L"Norvale\\Wareden Patches";
// Installed updates, in the program's default view, one key per record.
inline constexpr wchar_t kUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
inline constexpr wchar_t kProductDisplayName[] = L"Wareden";

// <program files>\Norvale\Wareden Patches\<id>; empty when the system names no such folder.
std::wstring KeptPackageFolder(const std::string& packageId);

// A file to keep: copied from `source` to `relative` below the kept folder.
struct KeptFile {
  std::wstring source;
  std::wstring relative;
  bool optional = false;  // skipped when `source` does not exist
};
// Copies `files` into the kept folder of `packageId`, each folder of which is made and checked
// (no link, a trusted owner). The platform's code, 0 on success; `failedAt` names what failed.
DWORD KeepPackage(const std::string& packageId, const std::vector<KeptFile>& files,
                  std::wstring& failedAt);

// Removes the kept folder of `packageId` with what it holds, never through a link; a file
// still in use (the deployment program that runs from there) goes at the next restart. 0 when
// nothing is left or the rest is scheduled.
DWORD RemoveKeptPackage(const std::string& packageId);

// What the entry among the installed updates shows; UTF-16, each may be empty.
struct UpdateFacts {
  std::wstring name, version, publisher;
  std::wstring installDir;
  std::wstring applied;  // the record time the run ended, "yyyy-mm-ddThh:mm:ssZ"
};
// "Wareden patch 1a2b3c4d5e6f" for a package without a name.
std::wstring UpdateDisplayName(const std::wstring& name, const std::string& packageId);
// "yyyymmdd" of a record time "yyyy-mm-ddThh:mm:ssZ"; empty for any other text.
std::wstring InstallDateOf(const std::wstring& recordTime);
// Uninstall\<this> for the package.
inline std::wstring UpdateKeyName(const std::string& packageId) {
  return L"Norvale.Wareden.Patch." + std::wstring(packageId.begin(), packageId.end());
}

// Registers the package among the product's installed updates, with the kept deployment
// program's uninstall as its command. The platform's code.
LONG RegisterUpdate(const std::string& packageId, const UpdateFacts& facts);
// Removes that entry; 0 also when there was none.
LONG RemoveUpdate(const std::string& packageId);
