// Case 3: ParseConf of a large conf.json against a bare JsonCpp parse of the same bytes.
// The seal's check (one SHA-256 of the bytes read) against ParseConf of the same conf.json.
#include <json/json.h>

#include <cstdio>
#include <string>

#include "package/conf.h"
#include "package/seal.h"
#include "platform/sha256.h"
#include "bench/bench_cases.h"
#include "log/log.h"

namespace bench {

namespace {

// "bin\module00042.dll" as the reader decodes it.
std::string ModuleName(int index) {
  char name[32];
  snprintf(name, sizeof(name), "bin\\module%05d.dll", index);
  return name;
}

// A conf.json as a package author writes it: one entry per line, a comment at the top; with
// `hashed`, each entry with a sha256, as a sealed runner requires.
std::string MakeConfText(int entries, bool hashed = false) {
  std::string text = "// generated for the benchmark\n{\n  \"patch_list\": [\n";
  char line[240];
  for (int index = 0; index < entries; ++index) {
    char hash[80] = "";
    if (hashed) snprintf(hash, sizeof(hash), ", \"sha256\": \"%064x\"", index);
    snprintf(line, sizeof(line),
             "    {\"src\": \"bin\\\\module%05d.dll\", \"dest\": \"bin\\\\module%05d.dll\"%s}%s\n",
             index, index, hash, index + 1 < entries ? "," : "");
    text += line;
  }
  text += "  ]\n}\n";
  return text;
}

void ParseConfCase(benchmark::State& state, int entries, bool hashed) {
  ScratchFolder folder(L"conf");
  const std::wstring path = folder.Join(L"conf.json");
  if (!WriteTextFile(path, MakeConfText(entries, hashed))) {
    state.SkipWithError(LastErrorText("writing", path).c_str());
    return;
  }
  // The log is on, as in a run of the built runner.
  LogEnabled = 1;
  LOG_CONSOLE::InitLog(folder.Join(L"conf.log").c_str());
  const std::string lastDest = ModuleName(entries - 1);
  for (auto _ : state) {
    PatchList list;
    if (!ParseConf(path, list) || list.size() != static_cast<size_t>(entries) ||
        list.back().dest != lastDest) {
      state.SkipWithError("ParseConf did not give one entry per element");
      break;
    }
  }
  LOG_CONSOLE::CloseLog();
}

void ParseConfBaseline(benchmark::State& state, int entries) {
  const std::string text = MakeConfText(entries);
  for (auto _ : state) {
    Json::Value root;
    Json::Reader reader;
    if (!reader.parse(text, root) ||
        root["patch_list"].size() != static_cast<Json::ArrayIndex>(entries)) {
      state.SkipWithError("the bare parse failed");
      break;
    }
  }
}

// What a sealed runner adds to ParseConf: the hash of the bytes it has read, against its seal.
void SealCheckCase(benchmark::State& state, int entries) {
  const std::string text = MakeConfText(entries, true);
  std::string hex;
  DWORD error = 0;
  if (!HashBytesSha256(text, hex, error)) {
    state.SkipWithError("no SHA-256 provider");
    return;
  }
  const std::string seal = SealFromHex(hex);
  for (auto _ : state) {
    if (CheckSeal(seal, text).state != SealState::kMatches) {
      state.SkipWithError("the seal did not match the text it was made from");
      break;
    }
  }
}

}  // namespace

BenchCase RegisterSealCheckCase(const BenchSizes& sizes) {
  const int entries = sizes.confEntries;
  Configure(benchmark::RegisterBenchmark("seal_check", SealCheckCase, entries), sizes);
  Configure(benchmark::RegisterBenchmark("seal_check_baseline", ParseConfCase, entries, true),
            sizes);
  return {"Seal check, " + std::to_string(entries) + " entries", "seal_check",
          "seal_check_baseline", 0.25};
}

BenchCase RegisterParseConfCase(const BenchSizes& sizes) {
  const int entries = sizes.confEntries;
  Configure(benchmark::RegisterBenchmark("parse_conf", ParseConfCase, entries, false), sizes);
  Configure(benchmark::RegisterBenchmark("parse_conf_baseline", ParseConfBaseline, entries), sizes);
  return {"ParseConf, " + std::to_string(entries) + " entries", "parse_conf", "parse_conf_baseline",
          1.3};
}

}  // namespace bench
