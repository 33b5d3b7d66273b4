#pragma once

// Files and folders for tests: a temporary folder of the test's own, whole-file reads and
// writes, and the programs built beside the test program.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/handle.h"

namespace testsupport {

// A fresh folder under the temp folder; removed with everything in it at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::wstring& Path() const { return path_; }           // no trailing backslash
  std::wstring operator/(const std::wstring& relative) const;  // Path() + "\" + relative

 private:
  std::wstring path_;
};

// A test with a temporary folder of its own.
class TempFolderTest : public ::testing::Test {
 protected:
  TempFolder temp_;
};

// A file built beside the test program (Patch.exe, the stand-ins, the tools). The build
// system's paths are Unix paths under Wine, so the program's own folder is the portable answer.
std::wstring BuiltFile(const std::wstring& name);

// "<what> <path>: error <last error>", the error read before anything can change it.
std::string LastErrorText(const char* what, const std::wstring& path);

bool Exists(const std::wstring& path);
void MakeFolders(const std::wstring& path);
void RemoveTree(const std::wstring& path);
// The SHA-256 of the file as conf.json records it (64 lower-case hex digits); ADD_FAILURE and
// empty when it cannot be read.
std::string Sha256Of(const std::wstring& path);

// The whole file; empty when it cannot be read.
std::string ReadBytes(const std::wstring& path);
// Replaces the file, creating missing parent folders.
void WriteBytes(const std::wstring& path, const std::string& bytes);
// `head` followed by zeros up to `size` bytes, extended without writing them.
void MakeFileOfSize(const std::wstring& path, const std::string& head, uint64_t size);
// Opens a file or a folder for reading as another program would hold it, letting others share
// only `share`. Invalid after an ADD_FAILURE.
KernelHandle HoldOpen(const std::wstring& path, DWORD share);
// The entries that `pattern` (wildcards in its last part) matches, without "." and "..".
std::vector<WIN32_FIND_DATAW> FindEntries(const std::wstring& pattern);
// Every file below `folder`, by path relative to it, with its content (over 4 KiB: size and
// hash); folders appear as "<dir>". Compare two snapshots to show that a run changed nothing.
std::map<std::wstring, std::string> SnapshotTree(const std::wstring& folder);

}  // namespace testsupport
