#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// A file or folder as the file system knows it, whatever the spelling of its path (case, a short
// 8.3 name, "..", a trailing dot, a link, a long-path prefix): its volume's serial number and its
// index on that volume.
struct FileId {
  DWORD volume = 0;
  uint64_t index = 0;
  bool operator==(const FileId& other) const {
    return volume == other.volume && index == other.index;
  }
};

// The identity of the open file or folder `file`; false when it cannot be read.
bool ReadFileId(HANDLE file, FileId& id);
// The same for what opens at `path` (links followed); false when it cannot be opened or read.
bool ReadFileIdAt(const std::wstring& path, FileId& id);

// The index alone, through the one query that reads nothing else: reading the volume costs far
// more on some systems, where the path names the volume anyway.
bool ReadFileIndex(HANDLE file, uint64_t& index);

// True when both paths name the same existing file or folder.
bool IsSameFile(const std::wstring& a, const std::wstring& b);

// True when `path` (which need not exist) is the existing folder `folder` or lies below it, as
// the file system finds them: each folder up from the path is compared by identity, so that
// another spelling of the folder is still found.
bool LiesInside(const std::wstring& path, const std::wstring& folder);
