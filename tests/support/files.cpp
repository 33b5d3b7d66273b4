#include "tests/support/files.h"

#include <cstdint>

#include "platform/paths.h"
#include "platform/sha256.h"
#include "platform/text.h"

namespace testsupport {
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
  const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
  for (const WIN32_FIND_DATAW& found : FindEntries(folder + L"\\*")) {
    const std::wstring child =
        relative.empty() ? found.cFileName : relative + L"\\" + found.cFileName;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      files[child] = "<dir>";
      SnapshotInto(root, child, files);
    } else {
      files[child] = Summary(ReadBytes(root + L"\\" + child));
    }
  }
}

}  // namespace

TempFolder::TempFolder() {
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

TempFolder::~TempFolder() {
  if (!path_.empty()) RemoveTree(path_);
}

std::wstring TempFolder::operator/(const std::wstring& relative) const {
  return path_ + L"\\" + relative;
}

std::wstring BuiltFile(const std::wstring& name) {
  wchar_t self[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  return ParentFolder(std::wstring(self, length)) + L"\\" + name;
}

std::string LastErrorText(const char* what, const std::wstring& path) {
  const DWORD error = GetLastError();
  return std::string(what) + " " + NarrowToUtf8(path) + ": error " + std::to_string(error);
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeFolders(const std::wstring& path) {
  if (path.empty() || Exists(path)) return;
  const std::wstring parent = ParentFolder(path);
  if (!parent.empty() && parent != path && parent.back() != L':') MakeFolders(parent);
  if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    ADD_FAILURE() << LastErrorText("CreateDirectoryW", path);
  }
}

void RemoveTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  const bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
  // A link to a folder goes, never what it leads to.
  if (folder && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    for (const WIN32_FIND_DATAW& found : FindEntries(path + L"\\*")) {
      RemoveTree(path + L"\\" + found.cFileName);
    }
  }
  if (folder ? !RemoveDirectoryW(path.c_str()) : !DeleteFileW(path.c_str())) {
    ADD_FAILURE() << LastErrorText("removing", path);
  }
}

std::string Sha256Of(const std::wstring& path) {
  std::string hex;
  DWORD error = 0;
  EXPECT_TRUE(HashFileSha256(path, hex, error)) << NarrowToUtf8(path) << ": error " << error;
  return hex;
}

std::string ReadBytes(const std::wstring& path) {
  std::string bytes;
  const KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  char chunk[65536];
  DWORD read = 0;
  while (file.IsValid() && ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
    bytes.append(chunk, read);
  }
  return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  MakeFolders(ParentFolder(path));
  const KernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) {
    ADD_FAILURE() << LastErrorText("CreateFileW", path);
    return;
  }
  DWORD written = 0;
  if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size()) {
    ADD_FAILURE() << LastErrorText("WriteFile", path);
  }
}

void MakeFileOfSize(const std::wstring& path, const std::string& head, uint64_t size) {
  WriteBytes(path, head);
  const KernelHandle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(file.Get())) {
    ADD_FAILURE() << LastErrorText("extending", path) << " to " << size << " bytes";
  }
}

KernelHandle HoldOpen(const std::wstring& path, DWORD share) {
  KernelHandle held(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  EXPECT_TRUE(held.IsValid()) << LastErrorText("holding", path);
  return held;
}

std::vector<WIN32_FIND_DATAW> FindEntries(const std::wstring& pattern) {
  std::vector<WIN32_FIND_DATAW> entries;
  DWORD error = 0;
  ForEachMatch(pattern, [&](const WIN32_FIND_DATAW& found) { entries.push_back(found); }, error);
  return entries;
}

std::map<std::wstring, std::string> SnapshotTree(const std::wstring& folder) {
  std::map<std::wstring, std::string> files;
  SnapshotInto(folder, L"", files);
  return files;
}

}  // namespace testsupport
