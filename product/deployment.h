#pragma once

// What a run leaves for the deployment systems once it applied a package: the package's
// conf.json and the deployment program kept where only administrators can write, so that
// detection and undo work after the package folder is gone, and the package's entry among the
// product's installed updates.

#include <windows.h>

#include <string>

#include "product/run_record.h"

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

// Copies `packageDir`'s patchfile\conf.json and, when the package has one, its deployment
// program into the kept folder of `packageId`, each level of which is made and checked (no
// link, a trusted owner). The platform's code, 0 on success; `failedAt` names what failed.
DWORD KeepPackage(const std::string& packageId, const std::wstring& packageDir,
                  std::wstring& failedAt);

// Removes the kept folder of `packageId`; a file still in use (the deployment program that
// runs from there) goes at the next restart. 0 when nothing is left or all is scheduled.
DWORD RemoveKeptPackage(const std::string& packageId);

// What the entry among the installed updates shows, from conf.json's optional members.
struct UpdateFacts {
  std::string name, version, publisher;  // UTF-8, may be empty
};
// The optional "name", "version" and "publisher" strings of a conf.json text (comments
// allowed); members that are missing or not strings stay empty.
UpdateFacts UpdateFactsOf(const std::string& confText);
// "Wareden patch 1a2b3c4d5e6f" for a package without a name.
std::wstring UpdateDisplayName(const UpdateFacts& facts, const std::string& packageId);
// "yyyymmdd" of a record time "yyyy-mm-ddThh:mm:ssZ"; empty for any other text.
std::wstring InstallDateOf(const std::wstring& recordTime);
// Uninstall\<this> for the package.
inline std::wstring UpdateKeyName(const std::string& packageId) {
  return L"Norvale.Wareden.Patch." + std::wstring(packageId.begin(), packageId.end());
}

// Registers the package applied as `record` says among the product's installed updates, with
// the kept deployment program's uninstall as its command. The platform's code.
LONG RegisterUpdate(const std::string& packageId, const RunRecord& record,
                    const UpdateFacts& facts);
// Removes that entry; 0 also when there was none.
LONG RemoveUpdate(const std::string& packageId);
