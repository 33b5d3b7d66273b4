#pragma once

// Support for tests that run the real Patch.exe as a user would: package and installation
// folders on the Wine C: drive, InstallDir in the program's registry view, stand-in product
// processes, and the machine-wide log file.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "platform/text.h"

namespace e2e {

// A fresh folder under the C: drive's temp folder; removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::wstring& Path() const { return path_; }           // ends without a backslash
  std::wstring operator/(const std::wstring& relative) const;  // Path() + "\" + relative

 private:
  std::wstring path_;
};

// Files. WriteFileBytes creates missing parent folders; ReadFileBytes returns false when the
// file cannot be read.
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool ReadFileBytes(const std::wstring& path, std::string& bytes);
std::string ReadFileOrEmpty(const std::wstring& path);
bool Exists(const std::wstring& path);
void MakeFolders(const std::wstring& path);
void RemoveTree(const std::wstring& path);
// Every file below `folder`, by path relative to it, with its content (over 4 KiB: size and
// hash); folders appear as "<dir>". Compare two snapshots to show that a run changed nothing.
std::map<std::wstring, std::string> SnapshotTree(const std::wstring& folder);

// A package folder: a copy of the built Patch.exe and, unless `withPatchFolder` is false, an
// empty "patchfile" folder.
struct Package {
  std::wstring dir;       // no trailing backslash
  std::wstring patchDir;  // dir\patchfile
  std::wstring exe;       // dir\Patch.exe
  void WriteConf(const std::string& json) const;
  void AddPatchFile(const std::wstring& src, const std::string& content) const;
};
Package MakePackage(const std::wstring& dir, bool withPatchFolder = true);
std::wstring BuiltPatchExe();  // the freshly built Patch.exe

// HKLM\SOFTWARE\Norvale\Wareden in the 32-bit view (the program's default view). The guard
// removes the whole key when it starts and ends, so every test starts without it; an
// InstallDir found at the start (the demo's) is put back at the end.
class ProductKeyGuard {
 public:
  ProductKeyGuard();
  ~ProductKeyGuard();
  ProductKeyGuard(const ProductKeyGuard&) = delete;
  ProductKeyGuard& operator=(const ProductKeyGuard&) = delete;
  void CreateKeyOnly() const;
  void SetInstallDir(const std::wstring& dir, DWORD type = REG_SZ) const;
  void SetInstallDirRaw(DWORD type, const void* data, DWORD bytes) const;
  void SetInstallDirNumber(DWORD value) const;

 private:
  bool hadInstallDir_ = false;
  DWORD savedType_ = 0;
  std::vector<BYTE> savedData_;
};
// Sets or removes HKLM\Software\Norvale\PelliMgr EnableLogToView (32-bit view).
void SetEnableLogToView(const DWORD* value);  // nullptr removes the value

// Runs `exe` with the command-line tail `args` from its own folder as the current folder,
// waits for it (at most `timeoutMs`) and returns its exit code; ADD_FAILURE on time-out.
DWORD RunProgram(const std::wstring& exe, const std::wstring& args = L"", DWORD timeoutMs = 60000);

// The machine-wide log of a program named Patch.exe, and its old generation.
std::wstring LogFolder();  // C:\ProgramData\Norvale\PelliMgr\MossLog (no trailing backslash)
std::wstring LogPath();    // LogFolder()\patch_patch.log
void ClearLog();           // removes the log file and its ".old" generation
std::string ReadLog();     // the whole file, empty when missing
// True when `line` starts with the log's "MM-DD hh:mm:ss:mmm: " (20 characters).
bool HasTimestampPrefix(const std::string& line);
// The messages of the log, in order: each line without its "MM-DD hh:mm:ss:mmm: " prefix and
// without its LF.
std::vector<std::string> ReadLogMessages();

// A stand-in product process: the stand-in program copied to `exePath` and started with
// `args`. Terminated when the object ends, if it still runs.
class StandIn {
 public:
  StandIn(const std::wstring& exePath, const std::wstring& args = L"");
  ~StandIn();
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;
  bool Running() const;
  DWORD Pid() const { return pid_; }
  bool WaitForExit(DWORD timeoutMs) const;

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
};
// Copies the stand-in program to `exePath` without starting it.
void InstallStandIn(const std::wstring& exePath);
// Terminates every process whose executable lies in `folder` (cleanup after a restart).
void KillProcessesIn(const std::wstring& folder);
// Ids of the running processes whose executable path equals `exePath` (case-insensitive).
std::vector<DWORD> ProcessesRunning(const std::wstring& exePath);

}  // namespace e2e
