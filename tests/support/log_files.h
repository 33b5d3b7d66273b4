#pragma once

// The logger's files as tests read them: the machine-wide log of a program named Patch.exe,
// messages without their timestamps, and lines joined for a failure message.

#include <string>
#include <vector>

#include "log/log_internal.h"

namespace testsupport {

// The first line of a log opened lazily, without its timestamp.
inline constexpr char kMagicOpenMessage[] = "LOG_CONSOLE::MagicInitLog Magic debuge open  ";

std::wstring LogFolder();  // C:\ProgramData\Norvale\PelliMgr\MossLog (no trailing backslash)
std::wstring LogPath();    // LogFolder()\patch_patch.log
void ClearLog();           // removes the log file and its ".old" generation

// The lines of `text`, each without its LF; a last part without LF is kept as it is, so a
// torn end shows up as a line of its own.
std::vector<std::string> SplitLines(const std::string& text);
// The messages of a log file: each line without timestamp and LF. A line without a timestamp is
// kept whole and prefixed with "!" so that comparisons show it.
std::vector<std::string> ReadMessages(const std::wstring& path = LogPath());
// A banner line's message (kBeginBanner, kEndBanner, kNewFileBanner) without its LF.
std::string Banner(const char* banner);

// The lines, each followed by a LF, for a failure message.
std::string Join(const std::vector<std::string>& lines);
size_t CountContaining(const std::vector<std::string>& lines, const std::string& part);

}  // namespace testsupport
