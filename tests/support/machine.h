#pragma once

// Machine-wide state that tests change and put back: registry keys in the program's view, the
// hook library's path, and package folders for runs of the real Patch.exe.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/handle.h"
#include "tests/support/files.h"

namespace testsupport {

// Sets or removes HKLM\Software\Norvale\PelliMgr EnableLogToView (32-bit view).
void SetEnableLogToView(const DWORD* value);  // nullptr removes the value

// HKLM\`path` in the 32-bit view (the program's default view), owned by a test: removed with
// everything below it when the guard starts and ends, so that every test starts without it. A
// value `kept` found at the start (the demo's InstallDir) is put back at the end. Values are
// written as given, also what `reg` cannot store (a string without its NUL).
class KeyGuard {
 public:
  explicit KeyGuard(const std::wstring& path, const wchar_t* kept = nullptr);
  ~KeyGuard();
  KeyGuard(const KeyGuard&) = delete;
  KeyGuard& operator=(const KeyGuard&) = delete;
  bool Create() const;  // false after an ADD_FAILURE
  void SetRaw(const wchar_t* value, DWORD type, const void* data, DWORD bytes) const;
  void SetString(const wchar_t* value, const std::wstring& text, DWORD type = REG_SZ) const;
  void SetNumber(const wchar_t* value, DWORD number) const;

 private:
  void Delete() const;
  std::wstring path_;
  const wchar_t* kept_;
  bool hadKept_ = false;
  DWORD keptType_ = 0;
  std::vector<BYTE> keptData_;
};

// A test of the built programs against the machine: a temporary folder of its own, no product
// key (HKLM\SOFTWARE\Norvale\Wareden), and neither "EnableLogToView" nor a machine-wide log at
// the start and at the end.
class MachineTest : public TempFolderTest {
 protected:
  MachineTest();
  ~MachineTest() override;
  KeyGuard key_;
};

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

// One call of the hook library: message and tag.
using HookCall = std::pair<std::wstring, std::wstring>;

// Takes the machine's hook path for a test: whatever was installed there is put aside and
// restored at the end. The stand-in libraries (tests/hook) record their calls in a file of
// the fixture's own.
class HookFixture {
 public:
  HookFixture();
  ~HookFixture();
  HookFixture(const HookFixture&) = delete;
  HookFixture& operator=(const HookFixture&) = delete;
  static std::wstring Path();  // ...\Norvale\PelliMgr\OstraWfsDB\MossLogEx.dll
  // Installs the stand-in library built as `built`; `dependency` goes beside it, as any user
  // could put it there, when given.
  void Install(const std::wstring& built = L"MossLogEx.dll", const wchar_t* dependency = nullptr);
  std::vector<HookCall> Calls() const;  // in order
  bool Called() const;
  void ForgetCalls() const;

 private:
  TempFolder folder_;
  std::wstring record_;
  std::wstring saved_;
  std::wstring planted_;
  bool hadOne_ = false;
};

}  // namespace testsupport
