#include "tests/support/machine.h"

#include <gtest/gtest.h>

#include <cstring>

#include <shlobj.h>

#include "product/deployment.h"
#include "product/install_dir.h"
#include "log/log_internal.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tests/support/log_files.h"

namespace testsupport {
namespace {

KeyHandle OpenKey32(const std::wstring& subkey, REGSAM access) {
  HKEY key = nullptr;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, access | KEY_WOW64_32KEY, &key);
  return KeyHandle(key);
}

KeyHandle CreateKey32(const std::wstring& subkey) {
  HKEY key = nullptr;
  const LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0,
                                      KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr);
  EXPECT_EQ(result, ERROR_SUCCESS) << "RegCreateKeyExW HKLM\\" << NarrowToUtf8(subkey);
  return KeyHandle(result == ERROR_SUCCESS ? key : nullptr);
}

void SetValue32(const std::wstring& subkey, const wchar_t* name, DWORD type, const void* data,
                DWORD bytes) {
  const KeyHandle key = CreateKey32(subkey);
  if (!key.IsValid()) return;
  EXPECT_EQ(RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), bytes),
            ERROR_SUCCESS)
      << "RegSetValueExW " << NarrowToUtf8(name);
}

// What runs leave for the deployment systems: the kept packages and the installed updates.
void ClearDeployment() {
  wchar_t programFiles[MAX_PATH + 1] = {};
  if (SHGetSpecialFolderPathW(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE))
    RemoveTree(std::wstring(programFiles) + L"\\" + kKeptPackagesChain);
  const KeyHandle updates = OpenKey32(kUninstallKey, KEY_ALL_ACCESS);
  if (!updates.IsValid()) return;
  const std::wstring ours = UpdateKeyName("");
  std::vector<std::wstring> names;
  wchar_t name[256];
  for (DWORD i = 0, size = 256; RegEnumKeyExW(updates.Get(), i, name, &size, nullptr, nullptr,
                                              nullptr, nullptr) == ERROR_SUCCESS;
       ++i, size = 256) {
    if (std::wstring(name).compare(0, ours.size(), ours) == 0) names.push_back(name);
  }
  for (const std::wstring& found : names) RegDeleteTreeW(updates.Get(), found.c_str());
}

}  // namespace

void SetEnableLogToView(const DWORD* value) {
  if (value != nullptr) {
    SetValue32(kLogSwitchKey, kLogSwitchValue, REG_DWORD, value, sizeof(*value));
    return;
  }
  const KeyHandle key = OpenKey32(kLogSwitchKey, KEY_SET_VALUE);
  if (key.IsValid()) RegDeleteValueW(key.Get(), kLogSwitchValue);
}

KeyGuard::KeyGuard(const std::wstring& path, const wchar_t* kept) : path_(path), kept_(kept) {
  if (kept_ != nullptr) {
    const KeyHandle key = OpenKey32(path_, KEY_QUERY_VALUE);
    DWORD bytes = 0;
    if (key.IsValid() &&
        RegQueryValueExW(key.Get(), kept_, nullptr, &keptType_, nullptr, &bytes) == ERROR_SUCCESS) {
      keptData_.resize(bytes);
      hadKept_ = RegQueryValueExW(key.Get(), kept_, nullptr, &keptType_, keptData_.data(),
                                  &bytes) == ERROR_SUCCESS;
      keptData_.resize(bytes);
    }
  }
  Delete();
}

KeyGuard::~KeyGuard() {
  Delete();
  if (hadKept_) SetRaw(kept_, keptType_, keptData_.data(), static_cast<DWORD>(keptData_.size()));
}

void KeyGuard::Delete() const {
  const size_t slash = path_.find_last_of(L'\\');
  const KeyHandle parent = OpenKey32(path_.substr(0, slash), KEY_ALL_ACCESS);
  if (!parent.IsValid()) return;  // nothing to remove
  const LONG result = RegDeleteTreeW(parent.Get(), path_.substr(slash + 1).c_str());
  if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
    ADD_FAILURE() << "removing HKLM\\" << NarrowToUtf8(path_) << ": " << result;
  }
}

bool KeyGuard::Create() const { return CreateKey32(path_).IsValid(); }

void KeyGuard::SetRaw(const wchar_t* value, DWORD type, const void* data, DWORD bytes) const {
  SetValue32(path_, value, type, data, bytes);
}

void KeyGuard::SetString(const wchar_t* value, const std::wstring& text, DWORD type) const {
  SetRaw(value, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void KeyGuard::SetNumber(const wchar_t* value, DWORD number) const {
  SetRaw(value, REG_DWORD, &number, sizeof(number));
}

MachineTest::MachineTest() : key_(kProductKey, kInstallDirValue) {
  SetEnableLogToView(nullptr);
  ClearLog();
  ClearDeployment();
}

MachineTest::~MachineTest() {
  SetEnableLogToView(nullptr);
  ClearLog();
  ClearDeployment();
}

void Package::WriteConf(const std::string& json) const {
  WriteBytes(patchDir + L"\\conf.json", json);
}

void Package::AddPatchFile(const std::wstring& src, const std::string& content) const {
  WriteBytes(patchDir + L"\\" + src, content);
}

Package MakePackage(const std::wstring& dir, bool withPatchFolder) {
  Package package{dir, dir + L"\\patchfile", dir + L"\\Patch.exe"};
  MakeFolders(dir);
  if (!CopyFileW(BuiltFile(L"Patch.exe").c_str(), package.exe.c_str(), FALSE)) {
    ADD_FAILURE() << LastErrorText("copying Patch.exe to", package.exe);
  }
  if (withPatchFolder) MakeFolders(package.patchDir);
  return package;
}

HookFixture::HookFixture() : record_(folder_ / L"calls.bin"), saved_(Path() + L".saved-by-test") {
  EXPECT_FALSE(CommonAppDataFolder(false).empty()) << "no common application data folder";
  hadOne_ = MoveFileExW(Path().c_str(), saved_.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
  SetEnvironmentVariableW(L"MOSS_HOOK_RECORD", record_.c_str());
}

HookFixture::~HookFixture() {
  SetEnvironmentVariableW(L"MOSS_HOOK_RECORD", nullptr);
  DeleteFileW(Path().c_str());
  if (hadOne_) MoveFileW(saved_.c_str(), Path().c_str());
  if (!planted_.empty()) DeleteFileW(planted_.c_str());
}

std::wstring HookFixture::Path() {
  return CommonAppDataFolder(false) + kHookFolderChain + L"\\" + kHookFileName;
}

void HookFixture::Install(const std::wstring& built, const wchar_t* dependency) {
  const std::wstring folder = ParentFolder(Path());
  MakeFolders(folder);
  EXPECT_TRUE(CopyFileW(BuiltFile(built).c_str(), Path().c_str(), FALSE))
      << LastErrorText("installing the stand-in hook library", Path());
  if (dependency == nullptr) return;
  planted_ = folder + L"\\" + dependency;
  EXPECT_TRUE(CopyFileW(BuiltFile(dependency).c_str(), planted_.c_str(), FALSE))
      << LastErrorText("planting", planted_);
}

std::vector<HookCall> HookFixture::Calls() const {
  // UTF-16 records "message US tag RS" (unit and record separators).
  const std::string bytes = ReadBytes(record_);
  std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
  std::memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
  std::vector<HookCall> calls;
  size_t start = 0;
  for (size_t end; (end = text.find(wchar_t(0x1E), start)) != std::wstring::npos; start = end + 1) {
    const std::wstring record = text.substr(start, end - start);
    const size_t split = record.find(wchar_t(0x1F));
    calls.emplace_back(record.substr(0, split),
                       split == std::wstring::npos ? L"<no tag>" : record.substr(split + 1));
  }
  return calls;
}

bool HookFixture::Called() const { return Exists(record_); }

void HookFixture::ForgetCalls() const { DeleteFileW(record_.c_str()); }

}  // namespace testsupport
