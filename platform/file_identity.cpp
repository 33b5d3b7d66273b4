#include "platform/file_identity.h"

#include <vector>

#include "platform/file.h"
#include "platform/handle.h"
#include "platform/paths.h"

namespace {
// Folders too, links followed, every kind of sharing: the product may hold the file.
KernelHandle OpenForIdentity(const std::wstring& path) {
  return OpenFile(LongPathForm(path), FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS);
}

std::wstring FullPath(const std::wstring& path) {
  std::vector<wchar_t> full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr) + 1);
  const DWORD length =
      GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  return length == 0 || length >= full.size() ? path : std::wstring(full.data(), length);
}
}  // namespace

bool ReadFileId(HANDLE file, FileId& id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  id.volume = info.dwVolumeSerialNumber;
  id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool ReadFileIdAt(const std::wstring& path, FileId& id) {
  const KernelHandle file = OpenForIdentity(path);
  return file.IsValid() && ReadFileId(file.Get(), id);
}

bool ReadFileIndex(HANDLE file, uint64_t& index) {
  struct StatusBlock {
    LONG status;
    ULONG_PTR information;
  } status = {};
  constexpr int kFileInternalInformation = 6;
  using Query = LONG(WINAPI*)(HANDLE, StatusBlock*, void*, ULONG, int);
  static const Query query =
      FindExport<Query>(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile");
  LARGE_INTEGER read = {};
  if (query == nullptr || query(file, &status, &read, sizeof(read), kFileInternalInformation) < 0)
    return false;
  index = static_cast<uint64_t>(read.QuadPart);
  return true;
}

bool IsSameFile(const std::wstring& a, const std::wstring& b) {
  FileId first, second;
  return ReadFileIdAt(a, first) && ReadFileIdAt(b, second) && first == second;
}

bool LiesInside(const std::wstring& path, const std::wstring& folder) {
  FileId tree;
  if (!ReadFileIdAt(folder, tree)) return false;
  // Up from the path as an open finds it (".." resolved, trailing dots dropped), and from the
  // first folder that exists on, as the file system has it (links resolved): by identity, so
  // that neither case nor short names nor links hide the tree.
  std::wstring at = FullPath(path);
  for (bool resolved = false;;) {
    const KernelHandle folderAt = OpenForIdentity(at);
    FileId identity;
    if (folderAt.IsValid() && ReadFileId(folderAt.Get(), identity)) {
      if (identity == tree) return true;
      const std::wstring real = resolved ? std::wstring() : FinalPath(folderAt.Get());
      resolved = true;
      if (!real.empty()) at = real;
    }
    std::wstring parent = ParentFolder(at);
    if (!parent.empty() && parent.back() == L':') parent.push_back(L'\\');  // the drive's root
    // "C:" alone would be the drive's current folder, "\\" the current drive's root.
    if (parent.size() < 3 || parent.size() >= at.size()) return false;
    at = parent;
  }
}
