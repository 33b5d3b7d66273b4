#include "tools/kit/cli.h"

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
const char* runningTool = "tool";
bool helpAsked = false;  // --help: the usage is the answer, not an error
}  // namespace

const char* RunningTool() { return runningTool; }

void PrintError(const char* tool, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", tool, message.c_str());
}

int PrintUsage(const char* usage) {
  if (helpAsked) {
    std::printf("usage: %s\n", usage);
    return kExitOk;
  }
  std::fprintf(stderr, "usage: %s\n", usage);
  return kExitUsage;
}

int RunTool(const char* tool, int (*body)(int, wchar_t**), int argc, wchar_t** argv) {
  // The package folder, from which deployment systems run the tools elevated, may be a folder
  // any user can write to.
  ApplyProcessMitigations();
  runningTool = tool;
  if (argc == 2 && std::wstring(argv[1]) == L"--version") {
    std::printf("%s %s\n", tool, kToolsVersion);
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
  std::printf("%s\n", Json::writeString(writer, root).c_str());
}
