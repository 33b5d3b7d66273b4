#include "tools/kit/cli.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <exception>

#include "platform/mitigations.h"
#include "platform/text.h"

std::wstring ToolArguments::Value(const wchar_t* name, const std::wstring& fallback) const {
  const auto found = options.find(name);
  return found == options.end() || found->second.empty() ? fallback : found->second.back();
}

bool ParseArguments(int argc, wchar_t** argv, std::initializer_list<OptionRule> rules,
                    size_t positionals, ToolArguments& arguments) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg.compare(0, 2, L"--") != 0) {
      if (arg.empty()) return false;
      arguments.positional.push_back(arg);
      continue;
    }
    const size_t equals = arg.find(L'=');
    const std::wstring name = arg.substr(0, equals);
    const OptionRule* rule = nullptr;
    for (const OptionRule& known : rules) {
      if (name == known.name) rule = &known;
    }
    if (rule == nullptr || (!rule->takesValue && equals != std::wstring::npos)) return false;
    std::vector<std::wstring>& values = arguments.options[name];
    if (!values.empty() && !rule->repeated) return false;
    if (!rule->takesValue) {
      values.emplace_back();
    } else if (equals != std::wstring::npos) {
      values.push_back(arg.substr(equals + 1));
    } else if (i + 1 < argc) {
      values.push_back(argv[++i]);
    } else {
      return false;
    }
  }
  return arguments.positional.size() == positionals;
}

namespace {

void WriteText(FILE* stream, DWORD which, const std::string& utf8) {
  const HANDLE handle = GetStdHandle(which);
  DWORD mode = 0;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    std::fflush(stream);
    const std::wstring wide = WidenUtf8(utf8);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(utf8.data(), 1, utf8.size(), stream);
}

void WriteFormatted(FILE* stream, DWORD which, const char* format, va_list arguments) {
  va_list again;
  va_copy(again, arguments);
  const int size = std::vsnprintf(nullptr, 0, format, arguments);
  if (size > 0) {
    std::string text(static_cast<size_t>(size) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, again);
    text.resize(static_cast<size_t>(size));
    WriteText(stream, which, text);
  }
  va_end(again);
}

const char* runningTool = "tool";
bool helpAsked = false;  // --help: the usage is the answer, not an error
}  // namespace

const char* RunningTool() { return runningTool; }

void PrintOut(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WriteFormatted(stdout, STD_OUTPUT_HANDLE, format, arguments);
  va_end(arguments);
}

void PrintErr(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WriteFormatted(stderr, STD_ERROR_HANDLE, format, arguments);
  va_end(arguments);
}

void PrintError(const char* tool, const std::string& message) {
  PrintErr("%s: %s\n", tool, message.c_str());
}

int PrintUsage(const char* usage) {
  if (helpAsked) {
    PrintOut("usage: %s\n", usage);
    return kExitOk;
  }
  PrintErr("usage: %s\n", usage);
  return kExitUsage;
}

int RunTool(const char* tool, int (*body)(int, wchar_t**), int argc, wchar_t** argv) {
  // The package folder, from which deployment systems run the tools elevated, may be a folder
  // any user can write to.
  ApplyProcessMitigations();
  runningTool = tool;
  if (argc == 2 && std::wstring(argv[1]) == L"--version") {
    PrintOut("%s %s\n", tool, kToolsVersion);
    return kExitOk;
  }
  helpAsked = argc == 2 && std::wstring(argv[1]) == L"--help";
  try {
    return body(argc, argv);
  } catch (const std::exception& error) {
    PrintError(tool, std::string("stopped by an unexpected error: ") + error.what());
  } catch (...) {
    PrintError(tool, "stopped by an unexpected error");
  }
  return kExitUsage;
}

std::wstring FolderArgument(std::wstring folder) {
  while (folder.size() > 1 && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  return folder;
}

void PrintJson(const Json::Value& root) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  PrintOut("%s\n", Json::writeString(writer, root).c_str());
}
