// Runs every case beside its baseline and prints one table of ratios.
//   --smoke        one short iteration of each case with small sizes (a build check)
//   --json=PATH    also write the table as JSON to PATH
// Other arguments go to Google Benchmark (--benchmark_filter=..., --benchmark_repetitions=...).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_cases.h"
#include "log/log.h"

namespace bench {

benchmark::internal::Benchmark* Configure(benchmark::internal::Benchmark* benchmark,
                                          const BenchSizes& sizes, Timing timing) {
  benchmark->Unit(benchmark::kNanosecond);
  if (timing == Timing::kManualTime) {
    benchmark->UseManualTime();
  } else {
    benchmark->UseRealTime();
  }
  if (sizes.smoke) benchmark->Iterations(1)->Repetitions(1);
  return benchmark;
}

namespace {

// Keeps one time per iteration (ns) for each repetition of each benchmark, and shows
// progress on the error stream so that the table stays alone on the output.
class CollectingReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      const std::string& name = run.run_name.function_name;
      if (run.error_occurred) {
        failed_ = true;
        std::cerr << name << ": " << run.error_message << "\n";
        continue;
      }
      const double ns = run.GetAdjustedRealTime();
      samples_[name].push_back(ns);
      std::cerr << name << ": " << ns << " ns x " << run.iterations << "\n";
    }
  }

  const std::map<std::string, std::vector<double>>& Samples() const { return samples_; }
  bool Failed() const { return failed_; }

 private:
  std::map<std::string, std::vector<double>> samples_;
  bool failed_ = false;
};

bool WriteJson(const char* path, const std::string& json) {
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(json.data(), 1, json.size(), file) == json.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  bench::BenchSizes sizes;
  const char* jsonPath = nullptr;
  bool interleavingGiven = false;
  bool repetitionsGiven = false;
  std::vector<char*> args = {argv[0]};
  for (int index = 1; index < argc; ++index) {
    if (std::strcmp(argv[index], "--smoke") == 0) {
      sizes = bench::SmokeSizes();
    } else if (std::strncmp(argv[index], "--json=", 7) == 0) {
      jsonPath = argv[index] + 7;
    } else {
      if (std::strstr(argv[index], "benchmark_enable_random_interleaving") != nullptr) {
        interleavingGiven = true;
      }
      if (std::strstr(argv[index], "benchmark_repetitions") != nullptr) repetitionsGiven = true;
      args.push_back(argv[index]);
    }
  }
  // Shuffled repetitions spread a slow spell of the machine over cases and baselines alike.
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char repetitions[] = "--benchmark_repetitions=5";
  if (!interleavingGiven && !sizes.smoke) args.push_back(interleave);
  if (!repetitionsGiven && !sizes.smoke) args.push_back(repetitions);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

  // The switch read at start-up must not send the cases' lines to the machine's log.
  LogEnabled = 0;
  wchar_t pairs[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"PATCH_BENCH_PAIRS", pairs, MAX_PATH) < MAX_PATH) {
    sizes.realPairs = pairs;
  }
  std::vector<bench::BenchCase> cases = {
      bench::RegisterLogLineCase(sizes),
      bench::RegisterLogOffCase(sizes),
      bench::RegisterParseConfCase(sizes),
      bench::RegisterSealCheckCase(sizes),
      bench::RegisterSmallFilesPatchCase(sizes, false),
      bench::RegisterLargeFilesPatchCase(sizes, false),
      bench::RegisterSmallFilesPatchCase(sizes, true),
      bench::RegisterLargeFilesPatchCase(sizes, true),
      bench::RegisterDowntimeCase(sizes, false),
      bench::RegisterDowntimeCase(sizes, true),
      bench::RegisterRecordCase(sizes),
      bench::RegisterPatchMakeCase(sizes),
      bench::RegisterDifferenceStagingCase(sizes),
      bench::RegisterStartupCase(sizes),
      bench::RegisterStartupImportsCase(sizes),
  };
  const std::vector<bench::BenchCase> real = bench::RegisterRealPairsCases(sizes);
  cases.insert(cases.end() - 2, real.begin(), real.end());
  bench::CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const std::vector<bench::RatioRow> rows = bench::BuildRatioRows(cases, reporter.Samples());
  std::cout << bench::FormatRatioTable(rows);
  if (sizes.smoke) std::cout << "(smoke run: one iteration each, the times are not measurements)\n";
  std::cout << std::flush;
  if (jsonPath != nullptr && !bench::WriteJson(jsonPath, bench::RatioRowsToJson(rows))) {
    std::cerr << "could not write " << jsonPath << "\n";
    return 1;
  }
  return reporter.Failed() ? 1 : 0;
}
