// patchflags: shows or sets the two log flag bytes of a built patch runner.
//   patchflags FILE
//   patchflags FILE [--magic-debug=0|1] [--log-enabled=0|1] [--output OTHER]
// Exit code 0 done, 1 the file is not a runner or cannot be read or written, 2 usage.

#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/text.h"
#include "tools/flag_block.h"
#include "tools/tool_cli.h"
#include "tools/tool_files.h"

namespace {
constexpr char kTool[] = "patchflags";
constexpr char kUsage[] =
    "patchflags FILE [--magic-debug=0|1] [--log-enabled=0|1] [--output OTHER]";

// "0" or "1" into `value` (unchanged when the option is absent); false for anything else.
bool ReadFlagOption(const ToolArguments& arguments, const wchar_t* name, int& value) {
  if (!arguments.Has(name)) return true;
  const std::wstring given = arguments.Value(name);
  if (given != L"0" && given != L"1") return false;
  value = given[0] - L'0';
  return true;
}

int Main(int argc, wchar_t** argv) {
  ToolArguments arguments;
  int magicDebug = -1, logEnabled = -1;
  if (!ParseArguments(argc, argv,
                      {{L"--magic-debug", true}, {L"--log-enabled", true}, {L"--output", true}}, 1,
                      arguments) ||
      !ReadFlagOption(arguments, L"--magic-debug", magicDebug) ||
      !ReadFlagOption(arguments, L"--log-enabled", logEnabled) ||
      (arguments.Has(L"--output") && magicDebug < 0 && logEnabled < 0)) {
    return PrintUsage(kUsage);
  }
  const std::wstring& file = arguments.positional[0];
  FlagBlockLocation at;
  std::string error;
  if (!FindFlagBlockInFile(file, at, error)) {
    PrintError(kTool, NarrowToUtf8(file) + ": " + error);
    return kExitFailed;
  }

  ByteChanges changes;
  if (magicDebug >= 0) {
    at.magicDebugValue = static_cast<unsigned char>(magicDebug);
    changes.emplace_back(at.magicDebug, std::string(1, static_cast<char>(magicDebug)));
  }
  if (logEnabled >= 0) {
    at.logEnabledValue = static_cast<unsigned char>(logEnabled);
    changes.emplace_back(at.logEnabled, std::string(1, static_cast<char>(logEnabled)));
  }
  if (!changes.empty()) {
    const std::wstring target = arguments.Value(L"--output", file);
    if (!WriteChangedCopy(file, target, changes, error)) {
      PrintError(kTool, error);
      return kExitFailed;
    }
    std::printf("written: %s\n", NarrowToUtf8(target).c_str());
  }
  std::printf("MagicDebug: %u (offset 0x%llx)\nLogEnabled: %u (offset 0x%llx)\nA run: %s\n",
              at.magicDebugValue, static_cast<unsigned long long>(at.magicDebug),
              at.logEnabledValue, static_cast<unsigned long long>(at.logEnabled),
              DescribeFlags(at.magicDebugValue, at.logEnabledValue).c_str());
  return kExitOk;
}
}  // namespace

int wmain(int argc, wchar_t** argv) { return RunTool(kTool, Main, argc, argv); }
