#include "bench/bench_support.h"

#include <vector>

#include "platform/file.h"
#include "platform/handle.h"
#include "platform/paths.h"

namespace bench {

BenchSizes SmokeSizes() {
  BenchSizes sizes;
  sizes.confEntries = 10;
  sizes.smallFiles = 10;
  sizes.largeFiles = 2;
  sizes.largeFileBytes = 256 * 1024;
  sizes.makeFiles = 110;
  sizes.smoke = true;
  return sizes;
}

ScratchFolder::ScratchFolder(const wchar_t* tag) {
  wchar_t temp[MAX_PATH + 1] = {};
  if (GetTempPathW(MAX_PATH, temp) == 0) return;
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring candidate = std::wstring(temp) + L"patchbench-" + tag + L"-" +
                                   std::to_wstring(GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(++counter);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = candidate;
      return;
    }
  }
}

ScratchFolder::~ScratchFolder() {
  if (!path_.empty()) RemoveTree(path_);
}

bool WritePatternFile(const std::wstring& path, DWORD bytes, uint32_t seed) {
  constexpr DWORD kChunk = 1024 * 1024;
  std::vector<char> chunk(bytes < kChunk ? bytes : kChunk);
  uint32_t state = seed * 2654435761u + 1;
  for (char& c : chunk) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  const KernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return false;
  for (DWORD left = bytes; left > 0;) {
    const DWORD count = left < kChunk ? left : kChunk;
    DWORD written = 0;
    if (!WriteFile(file.Get(), chunk.data(), count, &written, nullptr) || written != count) {
      return false;
    }
    left -= count;
  }
  return true;
}

bool WriteTextFile(const std::wstring& path, const std::string& text) {
  const KernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return false;
  DWORD written = 0;
  return WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

std::string ReadFilePrefix(const std::wstring& path, DWORD limit) {
  FileHandle file;
  if (file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING) <
      0) {
    return std::string();
  }
  std::string bytes(limit, '\0');
  DWORD read = 0;
  if (limit > 0 && file.Read(&bytes[0], limit, read) < 0) return std::string();
  bytes.resize(read);
  return bytes;
}

uint64_t FileSizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return UINT64_MAX;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void RemoveTree(const std::wstring& path) {
  DWORD error = 0;
  ForEachMatch(
      JoinPath(path, L"*"),
      [&path](const WIN32_FIND_DATAW& found) {
        const std::wstring child = JoinPath(path, found.cFileName);
        // A link to a folder goes, never what it leads to.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
          RemoveDirectoryW(child.c_str());
        } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTree(child);
        } else {
          SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileW(child.c_str());
        }
      },
      error);
  RemoveDirectoryW(path.c_str());
}

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return ParentFolder(std::wstring(path, length));
}

Stopwatch::Stopwatch() { QueryPerformanceCounter(&start_); }

double Stopwatch::Seconds() const {
  LARGE_INTEGER now;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start_.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

std::string LastErrorText(const char* what, const std::wstring& path) {
  const DWORD error = GetLastError();
  std::string narrow;
  for (wchar_t c : path) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return std::string(what) + " " + narrow + " failed, error " + std::to_string(error);
}

}  // namespace bench
