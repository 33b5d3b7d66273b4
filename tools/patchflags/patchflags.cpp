// patchflags: shows or sets the two log flag bytes and the seal of a built patch runner.
//   patchflags FILE
//   patchflags FILE [--magic-debug=0|1] [--log-enabled=0|1] [--seal CONF_JSON | --unseal]
//                   [--output OTHER] [--json]
// Exit code 0 done, 1 the file is not a runner, is signed (for a change) or carries a signature
// that does not verify, cannot be read or written, or CONF_JSON cannot be sealed; 2 usage.

#include <windows.h>

#include <cstdio>
#include <string>

#include "package/seal.h"
#include "platform/text.h"
#include "tools/kit/runner_image.h"
#include "tools/kit/cli.h"
#include "tools/kit/files.h"
#include "tools/kit/package_read.h"

namespace {
constexpr char kTool[] = "patchflags";
constexpr char kUsage[] =
    "patchflags FILE [--magic-debug=0|1] [--log-enabled=0|1] [--seal CONF_JSON | --unseal] "
    "[--output OTHER] [--json]";

// "0" or "1" into `value` (unchanged when the option is absent); false for anything else.
bool ReadFlagOption(const ToolArguments& arguments, const wchar_t* name, int& value) {
  if (!arguments.Has(name)) return true;
  const std::wstring given = arguments.Value(name);
  if (given != L"0" && given != L"1") return false;
  value = given[0] - L'0';
  return true;
}

void PrintSeal(bool found, const SealLocation& seal, const std::string& missing) {
  if (!found) {
    PrintOut("Seal: none (%s)\nA run: applies any conf.json beside it\n", missing.c_str());
  } else if (IsSealed(seal.seal)) {
    PrintOut(
        "Seal: sealed with sha256 %s (offset 0x%llx)\nA run: applies only the "
        "conf.json with this sha256, and refuses it when an entry has no sha256\n",
        SealHex(seal.seal).c_str(), static_cast<unsigned long long>(seal.offset));
  } else {
    PrintOut("Seal: unsealed (offset 0x%llx)\nA run: applies any conf.json beside it\n",
                static_cast<unsigned long long>(seal.offset));
  }
}

void PrintReport(const FlagBlockLocation& at, bool hasSeal, const SealLocation& seal,
                 const std::string& missingSeal, const SignatureVerdict& signature);

// The same report as one JSON object.
Json::Value ReportJson(const std::wstring& written, const FlagBlockLocation& at, bool hasSeal,
                       const SealLocation& seal, const std::string& missingSeal,
                       const SignatureVerdict& signature) {
  Json::Value report;
  if (!written.empty()) report["written"] = NarrowToUtf8(written);
  report["magic_debug"]["value"] = at.magicDebugValue;
  report["magic_debug"]["offset"] = static_cast<Json::UInt64>(at.magicDebug);
  report["log_enabled"]["value"] = at.logEnabledValue;
  report["log_enabled"]["offset"] = static_cast<Json::UInt64>(at.logEnabled);
  report["run"] = DescribeFlags(at.magicDebugValue, at.logEnabledValue);
  Json::Value& sealed = report["seal"];
  sealed["state"] = !hasSeal ? "none" : IsSealed(seal.seal) ? "sealed" : "unsealed";
  if (!hasSeal) sealed["why"] = missingSeal;
  if (hasSeal) sealed["offset"] = static_cast<Json::UInt64>(seal.offset);
  if (hasSeal && IsSealed(seal.seal)) sealed["sha256"] = SealHex(seal.seal);
  report["signed"] = signature.state != SignatureCheck::kNone;
  if (signature.state != SignatureCheck::kNone) report["signature"] = DescribeSignature(signature);
  return report;
}

int Main(int argc, wchar_t** argv) {
  ToolArguments arguments;
  int magicDebug = -1, logEnabled = -1;
  if (!ParseArguments(argc, argv,
                      {{L"--magic-debug", true},
                       {L"--log-enabled", true},
                       {L"--seal", true},
                       {L"--unseal"},
                       {L"--output", true},
                       {L"--json"}},
                      1, arguments) ||
      !ReadFlagOption(arguments, L"--magic-debug", magicDebug) ||
      !ReadFlagOption(arguments, L"--log-enabled", logEnabled) ||
      (arguments.Has(L"--seal") && arguments.Has(L"--unseal"))) {
    return PrintUsage(kUsage);
  }
  const bool changesSeal = arguments.Has(L"--seal") || arguments.Has(L"--unseal");
  if (arguments.Has(L"--output") && magicDebug < 0 && logEnabled < 0 && !changesSeal)
    return PrintUsage(kUsage);
  const std::wstring& file = arguments.positional[0];
  const bool json = arguments.Has(L"--json");
  std::wstring written;
  FlagBlockLocation at;
  SealLocation seal;
  std::string error, missingSeal;
  SignatureVerdict signature;
  if (!FindFlagBlockInFile(file, at, error) || !VerifySignatureOf(file, signature, error)) {
    PrintError(kTool, NarrowToUtf8(file) + ": " + error);
    return kExitFailed;
  }
  const bool hasSeal = FindSealInFile(file, seal, missingSeal);

  ByteChanges changes;
  if (magicDebug >= 0) {
    at.magicDebugValue = static_cast<unsigned char>(magicDebug);
    changes.emplace_back(at.magicDebug, std::string(1, static_cast<char>(magicDebug)));
  }
  if (logEnabled >= 0) {
    at.logEnabledValue = static_cast<unsigned char>(logEnabled);
    changes.emplace_back(at.logEnabled, std::string(1, static_cast<char>(logEnabled)));
  }
  if (changesSeal) {
    if (!hasSeal) {
      PrintError(kTool, NarrowToUtf8(file) + ": " + missingSeal);
      return kExitFailed;
    }
    std::string sealed(kSealBytes, '\0');
    if (arguments.Has(L"--seal") && !SealForConf(arguments.Value(L"--seal"), sealed, error)) {
      PrintError(kTool, error + "; nothing was sealed");
      return kExitFailed;
    }
    seal.seal = sealed;
    changes.emplace_back(seal.offset, sealed);
  }
  if (!changes.empty()) {
    // Any changed byte breaks the signature, and an invalid one is worse than none.
    if (signature.state != SignatureCheck::kNone) {
      PrintError(kTool, NarrowToUtf8(file) +
                            " carries an Authenticode signature, which any change would break: "
                            "change an unsigned runner, seal first, then sign");
      return kExitFailed;
    }
    const std::wstring target = arguments.Value(L"--output", file);
    if (!WriteChangedCopy(file, target, changes, error)) {
      PrintError(kTool, error);
      return kExitFailed;
    }
    written = target;
    if (!json) PrintOut("written: %s\n", NarrowToUtf8(target).c_str());
  }
  if (json) {
    PrintJson(ReportJson(written, at, hasSeal, seal, missingSeal, signature));
  } else {
    PrintReport(at, hasSeal, seal, missingSeal, signature);
  }
  if (signature.state != SignatureCheck::kDoesNotVerify) return kExitOk;
  PrintError(kTool, NarrowToUtf8(file) +
                        ": its signature does not verify, so Windows does not "
                        "take it for its signer's program");
  return kExitFailed;
}

void PrintReport(const FlagBlockLocation& at, bool hasSeal, const SealLocation& seal,
                 const std::string& missingSeal, const SignatureVerdict& signature) {
  PrintOut("MagicDebug: %u (offset 0x%llx)\nLogEnabled: %u (offset 0x%llx)\nA run: %s\n",
              at.magicDebugValue, static_cast<unsigned long long>(at.magicDebug),
              at.logEnabledValue, static_cast<unsigned long long>(at.logEnabled),
              DescribeFlags(at.magicDebugValue, at.logEnabledValue).c_str());
  PrintSeal(hasSeal, seal, missingSeal);
  if (signature.state == SignatureCheck::kNone) {
    PrintOut("Signed: no\n");
  } else {
    PrintOut("Signed: yes (Authenticode), %s\n", DescribeSignature(signature).c_str());
  }
}
}  // namespace

int wmain(int argc, wchar_t** argv) { return RunTool(kTool, Main, argc, argv); }
