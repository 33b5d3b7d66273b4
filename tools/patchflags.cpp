// patchflags: shows or sets the two log flag bytes of a built patch runner.
//   patchflags FILE
//   patchflags FILE [--magic-debug=0|1] [--log-enabled=0|1] [--output OTHER]
// Exit code 0 done, 1 the file is not a runner or cannot be read or written, 2 usage.

#include <windows.h>

#include <cstdio>
#include <string>

#include "tools/flag_block.h"
#include "platform/text.h"
#include "tools/tool_files.h"

namespace {
constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 2;

int Usage() {
  std::fputs("usage: patchflags FILE [--magic-debug=0|1] [--log-enabled=0|1] [--output OTHER]\n",
             stderr);
  return kUsage;
}

// "--name=0" or "--name=1" into `value`; false when `arg` is another option.
bool ParseFlagOption(const std::wstring& arg, const std::wstring& name, int& value, bool& bad) {
  const std::wstring prefix = L"--" + name + L"=";
  if (arg.compare(0, prefix.size(), prefix) != 0) return false;
  const std::wstring rest = arg.substr(prefix.size());
  if (rest == L"0" || rest == L"1") {
    value = rest[0] - L'0';
  } else {
    bad = true;
  }
  return true;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring file, output;
  int magicDebug = -1, logEnabled = -1;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    bool bad = false;
    if (ParseFlagOption(arg, L"magic-debug", magicDebug, bad) ||
        ParseFlagOption(arg, L"log-enabled", logEnabled, bad)) {
      if (bad) return Usage();
    } else if (arg == L"--output" && i + 1 < argc) {
      output = argv[++i];
    } else if (arg.compare(0, 2, L"--") == 0 || !file.empty()) {
      return Usage();
    } else {
      file = arg;
    }
  }
  if (file.empty() || (!output.empty() && magicDebug < 0 && logEnabled < 0)) return Usage();

  std::string bytes, error;
  if (!ReadWholeFile(file, bytes, error)) {
    std::fprintf(stderr, "patchflags: %s\n", error.c_str());
    return kRefused;
  }
  FlagBlockLocation at;
  if (!FindFlagBlock(bytes, at, error)) {
    std::fprintf(stderr, "patchflags: %s: %s\n", NarrowToUtf8(file).c_str(), error.c_str());
    return kRefused;
  }

  if (magicDebug >= 0) bytes[at.magicDebug] = static_cast<char>(magicDebug);
  if (logEnabled >= 0) bytes[at.logEnabled] = static_cast<char>(logEnabled);
  const auto magic = static_cast<unsigned char>(bytes[at.magicDebug]);
  const auto enabled = static_cast<unsigned char>(bytes[at.logEnabled]);
  if (magicDebug >= 0 || logEnabled >= 0) {
    const std::wstring target = output.empty() ? file : output;
    if (!ReplaceWholeFile(target, bytes, error)) {
      std::fprintf(stderr, "patchflags: %s\n", error.c_str());
      return kRefused;
    }
    std::printf("written: %s\n", NarrowToUtf8(target).c_str());
  }
  std::printf("MagicDebug: %u (offset 0x%zx)\nLogEnabled: %u (offset 0x%zx)\nA run: %s\n", magic,
              at.magicDebug, enabled, at.logEnabled, DescribeFlags(magic, enabled).c_str());
  return kDone;
}
