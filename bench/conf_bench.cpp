// Case 3: ParseConf of a large conf.json against a bare JsonCpp parse of the same bytes.
#include <json/json.h>

#include <cstdio>
#include <string>

#include "package/conf.h"
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

// A conf.json as a package author writes it: one entry per line, a comment at the top.
std::string MakeConfText(int entries) {
  std::string text = "// generated for the benchmark\n{\n  \"patch_list\": [\n";
  char line[160];
  for (int index = 0; index < entries; ++index) {
    snprintf(line, sizeof(line),
             "    {\"src\": \"bin\\\\module%05d.dll\", \"dest\": \"bin\\\\module%05d.dll\"}%s\n",
             index, index, index + 1 < entries ? "," : "");
    text += line;
  }
  text += "  ]\n}\n";
  return text;
}

void ParseConfCase(benchmark::State& state, int entries) {
  ScratchFolder folder(L"conf");
  const std::wstring path = folder.Join(L"conf.json");
  if (!WriteTextFile(path, MakeConfText(entries))) {
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

}  // namespace

BenchCase RegisterParseConfCase(const BenchSizes& sizes) {
  const int entries = sizes.confEntries;
  Configure(benchmark::RegisterBenchmark("parse_conf", ParseConfCase, entries), sizes);
  Configure(benchmark::RegisterBenchmark("parse_conf_baseline", ParseConfBaseline, entries), sizes);
  return {"ParseConf, " + std::to_string(entries) + " entries", "parse_conf", "parse_conf_baseline",
          1.3};
}

}  // namespace bench
