#include "tests/e2e/support.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cwctype>

#include "app/install.h"
#include "log/log_internal.h"
#include "platform/handle.h"
#include "platform/paths.h"

namespace e2e {
namespace {

constexpr wchar_t kProductParent[] = L"SOFTWARE\\Norvale";  // of kProductKey
// Terminated processes release their files only when they have ended.
constexpr DWORD kProcessEndWaitMs = 5000;

std::wstring LastErrorText(const wchar_t* what, const std::wstring& path) {
  return std::wstring(what) + L" " + path + L": error " + std::to_wstring(GetLastError());
}

std::wstring ParentOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring ModuleFolder() {
  wchar_t buffer[32768] = {};
  const DWORD length = GetModuleFileNameW(nullptr, buffer, 32767);
  return ParentOf(std::wstring(buffer, length));
}

std::wstring Lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

// The executable path of a process, empty when it cannot be queried.
std::wstring ImagePathOf(HANDLE process) {
  wchar_t buffer[32768] = {};
  DWORD size = 32767;
  if (!QueryFullProcessImageNameW(process, 0, buffer, &size)) return std::wstring();
  return std::wstring(buffer, size);
}

// Calls `visit(pid, handle, imagePath)` for every process that can be opened for query,
// termination and waiting.
template <typename Visit>
void ForEachProcess(Visit visit) {
  KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.IsValid()) {
    ADD_FAILURE() << "CreateToolhelp32Snapshot failed: " << GetLastError();
    return;
  }
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
       more = Process32NextW(snapshot.Get(), &entry)) {
    if (entry.th32ProcessID == 0 || entry.th32ProcessID == GetCurrentProcessId()) continue;
    KernelHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                    entry.th32ProcessID));
    if (!process.IsValid()) continue;
    visit(entry.th32ProcessID, process.Get(), ImagePathOf(process.Get()));
  }
}

HKEY CreateKey32(const wchar_t* subkey) {
  HKEY key = nullptr;
  const LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, 0,
                                      KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr);
  if (result != ERROR_SUCCESS) {
    ADD_FAILURE() << "RegCreateKeyExW HKLM\\" << NarrowToUtf8(subkey)
                  << " (32-bit view) failed: " << result;
    return nullptr;
  }
  return key;
}

void SetValue32(const wchar_t* subkey, const wchar_t* name, DWORD type, const void* data,
                DWORD bytes) {
  HKEY key = CreateKey32(subkey);
  if (key == nullptr) return;
  const LONG result = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
  RegCloseKey(key);
  EXPECT_EQ(result, ERROR_SUCCESS) << "RegSetValueExW " << NarrowToUtf8(name) << " failed";
}

void DeleteProductKey() {
  HKEY parent = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductParent, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                    &parent) != ERROR_SUCCESS) {
    return;  // nothing to remove
  }
  const LONG result = RegDeleteTreeW(parent, L"Wareden");
  RegCloseKey(parent);
  if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
    ADD_FAILURE() << "removing HKLM\\" << NarrowToUtf8(kProductKey) << " failed: " << result;
  }
}

}  // namespace

TempDir::TempDir() {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring candidate =
        std::wstring(temp) + L"patchtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
        std::to_wstring(++counter) + L"-" + std::to_wstring(GetTickCount());
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = candidate;
      return;
    }
  }
  ADD_FAILURE() << "could not create a temporary folder under " << NarrowToUtf8(temp);
}

TempDir::~TempDir() {
  if (!path_.empty()) RemoveTree(path_);
}

std::wstring TempDir::operator/(const std::wstring& relative) const {
  return path_ + L"\\" + relative;
}

void MakeFolders(const std::wstring& path) {
  if (path.empty() || Exists(path)) return;
  const std::wstring parent = ParentOf(path);
  if (!parent.empty() && parent != path && parent.back() != L':') MakeFolders(parent);
  if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    ADD_FAILURE() << NarrowToUtf8(LastErrorText(L"CreateDirectoryW", path));
  }
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  MakeFolders(ParentOf(path));
  KernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) {
    ADD_FAILURE() << NarrowToUtf8(LastErrorText(L"CreateFileW", path));
    return;
  }
  DWORD written = 0;
  if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size()) {
    ADD_FAILURE() << NarrowToUtf8(LastErrorText(L"WriteFile", path));
  }
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes) {
  bytes.clear();
  KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return false;
  char chunk[65536];
  DWORD read = 0;
  while (ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr)) {
    if (read == 0) return true;
    bytes.append(chunk, read);
  }
  return false;
}

std::string ReadFileOrEmpty(const std::wstring& path) {
  std::string bytes;
  ReadFileBytes(path, bytes);
  return bytes;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RemoveTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) ? !RemoveDirectoryW(path.c_str())
                                                : !DeleteFileW(path.c_str())) {
      ADD_FAILURE() << NarrowToUtf8(LastErrorText(L"removing", path));
    }
    return;
  }
  WIN32_FIND_DATAW found = {};
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  if (!RemoveDirectoryW(path.c_str()))
    ADD_FAILURE() << NarrowToUtf8(LastErrorText(L"RemoveDirectoryW", path));
}

namespace {
// Large files (a copied Patch.exe) are summarised, so that a failing comparison stays readable.
std::string Summary(const std::string& content) {
  constexpr size_t kWholeUpTo = 4096;
  if (content.size() <= kWholeUpTo) return content;
  uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : content) hash = (hash ^ c) * 16777619u;
  return "<" + std::to_string(content.size()) + " bytes, hash " + std::to_string(hash) + ">";
}

void SnapshotInto(const std::wstring& root, const std::wstring& relative,
                  std::map<std::wstring, std::string>& files) {
  WIN32_FIND_DATAW found = {};
  const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      files[child] = "<dir>";
      SnapshotInto(root, child, files);
    } else {
      files[child] = Summary(ReadFileOrEmpty(root + L"\\" + child));
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}
}  // namespace

std::map<std::wstring, std::string> SnapshotTree(const std::wstring& folder) {
  std::map<std::wstring, std::string> files;
  SnapshotInto(folder, L"", files);
  return files;
}

void Package::WriteConf(const std::string& json) const {
  WriteFileBytes(patchDir + L"\\conf.json", json);
}

void Package::AddPatchFile(const std::wstring& src, const std::string& content) const {
  WriteFileBytes(patchDir + L"\\" + src, content);
}

std::wstring BuiltPatchExe() {
  // The test programs are built into the same folder as Patch.exe; its path from the build
  // system is a Unix path under Wine, so the module's own folder is the portable answer.
  return ModuleFolder() + L"\\Patch.exe";
}

Package MakePackage(const std::wstring& dir, bool withPatchFolder) {
  Package package;
  package.dir = dir;
  package.patchDir = dir + L"\\patchfile";
  package.exe = dir + L"\\Patch.exe";
  MakeFolders(dir);
  if (!CopyFileW(BuiltPatchExe().c_str(), package.exe.c_str(), FALSE)) {
    ADD_FAILURE() << NarrowToUtf8(LastErrorText(L"copying Patch.exe to", package.exe));
  }
  if (withPatchFolder) MakeFolders(package.patchDir);
  return package;
}

ProductKeyGuard::ProductKeyGuard() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) ==
      ERROR_SUCCESS) {
    DWORD bytes = 0;
    if (RegQueryValueExW(key, L"InstallDir", nullptr, &savedType_, nullptr, &bytes) ==
        ERROR_SUCCESS) {
      savedData_.resize(bytes);
      hadInstallDir_ = RegQueryValueExW(key, L"InstallDir", nullptr, &savedType_, savedData_.data(),
                                        &bytes) == ERROR_SUCCESS;
      savedData_.resize(bytes);
    }
    RegCloseKey(key);
  }
  DeleteProductKey();
}

ProductKeyGuard::~ProductKeyGuard() {
  DeleteProductKey();
  if (hadInstallDir_) {
    SetInstallDirRaw(savedType_, savedData_.data(), static_cast<DWORD>(savedData_.size()));
  }
}

void ProductKeyGuard::CreateKeyOnly() const {
  HKEY key = CreateKey32(kProductKey);
  if (key != nullptr) RegCloseKey(key);
}

void ProductKeyGuard::SetInstallDir(const std::wstring& dir, DWORD type) const {
  SetInstallDirRaw(type, dir.c_str(), static_cast<DWORD>((dir.size() + 1) * sizeof(wchar_t)));
}

void ProductKeyGuard::SetInstallDirRaw(DWORD type, const void* data, DWORD bytes) const {
  SetValue32(kProductKey, L"InstallDir", type, data, bytes);
}

void ProductKeyGuard::SetInstallDirNumber(DWORD value) const {
  SetInstallDirRaw(REG_DWORD, &value, sizeof(value));
}

void SetEnableLogToView(const DWORD* value) {
  if (value != nullptr) {
    SetValue32(kLogSwitchKey, L"EnableLogToView", REG_DWORD, value, sizeof(*value));
    return;
  }
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLogSwitchKey, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &key) !=
      ERROR_SUCCESS) {
    return;
  }
  RegDeleteValueW(key, L"EnableLogToView");
  RegCloseKey(key);
}

namespace {
// Starts `exe` with the command-line tail `args` and its own folder as the current folder, as a
// user starting it from Explorer would. False after an ADD_FAILURE naming `what`.
bool StartInItsFolder(const std::wstring& exe, const std::wstring& args, const wchar_t* what,
                      PROCESS_INFORMATION& info) {
  std::wstring commandLine = L"\"" + exe + L"\"";
  if (!args.empty()) commandLine += L" " + args;
  const std::wstring folder = ParentOf(exe);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  info = {};
  if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
    ADD_FAILURE() << NarrowToUtf8(LastErrorText(what, exe));
    return false;
  }
  return true;
}
}  // namespace

DWORD RunProgram(const std::wstring& exe, const std::wstring& args, DWORD timeoutMs) {
  PROCESS_INFORMATION info;
  if (!StartInItsFolder(exe, args, L"CreateProcessW", info)) return 0xFFFFFFFF;
  KernelHandle process(info.hProcess);
  KernelHandle thread(info.hThread);
  if (WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
    ADD_FAILURE() << NarrowToUtf8(exe) << " did not end within " << timeoutMs << " ms";
    TerminateProcess(process.Get(), 1);
    WaitForSingleObject(process.Get(), kProcessEndWaitMs);
    return 0xFFFFFFFF;
  }
  DWORD code = 0xFFFFFFFF;
  GetExitCodeProcess(process.Get(), &code);
  return code;
}

std::wstring LogFolder() { return CommonAppDataFolder(false) + kLogFolderChain; }

std::wstring LogPath() { return LogFolder() + L"\\patch_patch.log"; }

void ClearLog() {
  for (const std::wstring& path : {LogPath(), LogPath() + L".old"}) {
    if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
        GetLastError() != ERROR_PATH_NOT_FOUND) {
      ADD_FAILURE() << NarrowToUtf8(LastErrorText(L"DeleteFileW", path));
    }
  }
}

std::string ReadLog() { return ReadFileOrEmpty(LogPath()); }

bool HasTimestampPrefix(const std::string& line) {
  static const char kShape[] = "00-00 00:00:00:000: ";
  if (line.size() < sizeof(kShape) - 1) return false;
  for (size_t i = 0; i + 1 < sizeof(kShape); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (kShape[i] == '0' ? !digit : line[i] != kShape[i]) return false;
  }
  return true;
}

std::vector<std::string> ReadLogMessages() {
  const std::string log = ReadLog();
  std::vector<std::string> messages;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(start, end - start);
    // A line without the timestamp is kept whole, so that a test shows it as it is.
    if (HasTimestampPrefix(line)) line.erase(0, 20);
    messages.push_back(line);
    start = end + 1;
  }
  return messages;
}

StandIn::StandIn(const std::wstring& exePath, const std::wstring& args) {
  InstallStandIn(exePath);
  PROCESS_INFORMATION info;
  if (!StartInItsFolder(exePath, args, L"starting stand-in", info)) return;
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  pid_ = info.dwProcessId;
}

StandIn::~StandIn() {
  if (process_ == nullptr) return;
  if (Running()) {
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, kProcessEndWaitMs);
  }
  CloseHandle(process_);
}

bool StandIn::Running() const {
  return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

bool StandIn::WaitForExit(DWORD timeoutMs) const {
  return process_ == nullptr || WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0;
}

void InstallStandIn(const std::wstring& exePath) {
  MakeFolders(ParentOf(exePath));
  const std::wstring built = ModuleFolder() + L"\\standin.exe";
  if (!CopyFileW(built.c_str(), exePath.c_str(), FALSE)) {
    ADD_FAILURE() << NarrowToUtf8(LastErrorText(L"copying the stand-in to", exePath));
  }
}

void KillProcessesIn(const std::wstring& folder) {
  std::wstring prefix = Lower(folder);
  if (!prefix.empty() && prefix.back() != L'\\') prefix += L'\\';
  ForEachProcess([&](DWORD, HANDLE process, const std::wstring& image) {
    if (Lower(image).compare(0, prefix.size(), prefix) != 0) return;
    TerminateProcess(process, 1);
    WaitForSingleObject(process, kProcessEndWaitMs);
  });
}

std::vector<DWORD> ProcessesRunning(const std::wstring& exePath) {
  std::vector<DWORD> ids;
  const std::wstring wanted = Lower(exePath);
  ForEachProcess([&](DWORD pid, HANDLE process, const std::wstring& image) {
    if (Lower(image) == wanted && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
      ids.push_back(pid);
    }
  });
  return ids;
}

}  // namespace e2e
