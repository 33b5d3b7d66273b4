#pragma once

#include <json/json.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

// What every tool shares: its arguments, exit codes and error lines, and its JSON output.

// Exit codes every tool gives the same meaning, and patchlog's own above them.
enum ToolExit : int {
  kExitOk = 0,          // done, applied, would succeed
  kExitFailed = 1,      // refused, not applied, would fail, or something was left
  kExitUsage = 2,       // the arguments are wrong, or the tool stopped before doing anything
  kExitIncomplete = 3,  // patchlog: the last run has no END (crashed, killed, still running)
  kExitNoRun = 4,       // patchlog: no run in the log
};

// The tools' version, for --version.
inline constexpr char kToolsVersion[] = "1.4.0";

// The options a tool takes: "--name" alone, or "--name VALUE" / "--name=VALUE" with a value
// (given once, or again and again when `repeated`).
struct OptionRule {
  OptionRule(const wchar_t* optionName, bool value = false, bool again = false)
      : name(optionName), takesValue(value), repeated(again) {}
  const wchar_t* name;  // with its "--"
  bool takesValue;
  bool repeated;
};
struct ToolArguments {
  std::vector<std::wstring> positional;
  std::map<std::wstring, std::vector<std::wstring>> options;  // by name, values in order
  bool Has(const wchar_t* name) const { return options.count(name) != 0; }
  // The option's value, or `fallback` when it was not given.
  std::wstring Value(const wchar_t* name, const std::wstring& fallback = std::wstring()) const;
};
// False for an option not in `rules`, a value missing or given twice, an empty positional, or
// a count of positionals other than `positionals`.
bool ParseArguments(int argc, wchar_t** argv, std::initializer_list<OptionRule> rules,
                    size_t positionals, ToolArguments& arguments);

// What the tools print: to a console through its wide-character API (the console would read
// UTF-8 bytes in its own code page), redirected as UTF-8 bytes. `format` as printf takes it.
void PrintOut(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
void PrintErr(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// Every error line of a tool, on standard error: "<tool>: <message>".
void PrintError(const char* tool, const std::string& message);
// The name RunTool was given, for the kit's own error lines; "tool" outside RunTool.
const char* RunningTool();
// The usage line on standard error; returns kExitUsage. Asked for with --help alone: on
// standard output, returning kExitOk.
int PrintUsage(const char* usage);

// Runs a tool's body as its wmain: the process's library search restricted first, exactly as
// the runner does it, and an error that escapes turned into an error line and kExitUsage.
// "--version" alone prints the tool's name and kToolsVersion.
int RunTool(const char* tool, int (*body)(int, wchar_t**), int argc, wchar_t** argv);

// A folder given on the command line, without the slashes it may end in.
std::wstring FolderArgument(std::wstring folder);

// Prints `root` as one JSON object, indented, followed by a line feed.
void PrintJson(const Json::Value& root);
