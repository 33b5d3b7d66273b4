#pragma once

// Shared pieces of the benchmark cases: sizes, a scratch folder, file helpers and a timer.

#include <windows.h>

#include <cstdint>
#include <string>

namespace bench {

// How big each case is; the smoke run uses tiny sizes so that it only proves the cases run.
struct BenchSizes {
  int confEntries = 10000;
  int smallFiles = 1000;
  DWORD smallFileBytes = 4 * 1024;
  int largeFiles = 8;
  DWORD largeFileBytes = 32 * 1024 * 1024;
  int makeFiles = 2000;  // in each of the two trees that patchmake compares
  DWORD makeFileBytes = 64 * 1024;
  bool smoke = false;  // one iteration of each case, one repetition
  std::wstring realPairs;  // bench/fetch-pairs' folder (PATCH_BENCH_PAIRS); empty: none
};
BenchSizes SmokeSizes();

// A fresh folder under the temp folder, removed with its content when it goes. Path() is
// empty when no folder could be made.
class ScratchFolder {
 public:
  explicit ScratchFolder(const wchar_t* tag);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::wstring& Path() const { return path_; }  // no trailing backslash
  std::wstring Join(const std::wstring& relative) const { return path_ + L"\\" + relative; }

 private:
  std::wstring path_;
};

// Writes `bytes` bytes of a pattern seeded by `seed` (so that old and new files differ).
// False on any failure.
bool WritePatternFile(const std::wstring& path, DWORD bytes, uint32_t seed);
bool WriteTextFile(const std::wstring& path, const std::string& text);
// The first `limit` bytes of the file, or empty when it cannot be read.
std::string ReadFilePrefix(const std::wstring& path, DWORD limit);
// The 64-bit size, or UINT64_MAX when it cannot be read.
uint64_t FileSizeOf(const std::wstring& path);
// Removes a folder and everything below it; quiet about failures.
void RemoveTree(const std::wstring& path);

// The running program's folder, without a trailing backslash.
std::wstring ProgramFolder();

// A stopwatch for manual timing, in seconds.
class Stopwatch {
 public:
  Stopwatch();
  double Seconds() const;

 private:
  LARGE_INTEGER start_;
};

// The platform's last error as text for a benchmark's error message.
std::string LastErrorText(const char* what, const std::wstring& path);

}  // namespace bench
