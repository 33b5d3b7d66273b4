// Cases 7 to 9: patchmake on real updates of published Windows programs (bench/fetch-pairs),
// against the whole new files and against bsdiff 4.3 (bench/anchor-bsdiff, which scripts/bench
// runs right before this program: bsdiff does not run under Wine).
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_cases.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tools/patchmake/package_writer.h"

namespace bench {

namespace {

struct Pair {
  std::wstring oldDir, newDir;
};

// What the pairs and their anchor came to; sizes are the same at every run, so they are made
// once, by the first case that needs them.
struct PairFacts {
  std::vector<Pair> pairs;
  double anchorBytes = 0, anchorNs = 0;
  double packageBytes = 0, wholeBytes = 0;
  bool built = false;
  std::string error;
};

PairFacts& Facts() {
  static PairFacts facts;
  return facts;
}

// Each folder below `root` with an anchor.txt ("<bytes> <nanoseconds>").
bool ReadPairs(const std::wstring& root, PairFacts& facts) {
  DWORD error = 0;
  std::vector<std::wstring> names;
  ForEachMatch(
      JoinPath(root, L"*"),
      [&names](const WIN32_FIND_DATAW& found) {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) names.push_back(found.cFileName);
      },
      error);
  for (const std::wstring& name : names) {
    const std::wstring folder = JoinPath(root, name);
    FILE* anchor = _wfopen(JoinPath(folder, L"anchor.txt").c_str(), L"rb");
    if (anchor == nullptr) continue;
    double bytes = 0, ns = 0;
    const bool read = std::fscanf(anchor, "%lf %lf", &bytes, &ns) == 2;
    std::fclose(anchor);
    if (!read) continue;
    facts.anchorBytes += bytes;
    facts.anchorNs += ns;
    facts.pairs.push_back({JoinPath(folder, L"old"), JoinPath(folder, L"new")});
  }
  if (facts.pairs.empty()) facts.error = "no pair with its anchor in " + NarrowToUtf8(root);
  return !facts.pairs.empty();
}

// Builds each pair's package below `scratch`; adds the seconds it took to `seconds`.
bool BuildAll(const PairFacts& facts, const ScratchFolder& scratch, double& seconds,
              double& packageBytes, double& wholeBytes, std::string& error) {
  for (size_t index = 0; index < facts.pairs.size(); ++index) {
    MakeRequest request;
    request.oldDir = facts.pairs[index].oldDir;
    request.newDir = facts.pairs[index].newDir;
    request.outDir = scratch.Join(L"out" + std::to_wstring(index));
    request.runner = ProgramFolder() + L"\\Patch.exe";
    MakeResult result;
    const Stopwatch watch;
    const bool built = BuildPackage(request, result, error);
    seconds += watch.Seconds();
    if (!built) return false;
    if (result.report.Failed()) {
      const auto first = std::find_if(
          result.report.findings.begin(), result.report.findings.end(),
          [](const Finding& finding) { return finding.level == FindingLevel::kError; });
      error = "the package of " + NarrowToUtf8(request.newDir) + " does not make it" +
              (first == result.report.findings.end() ? "" : ": " + FindingText(*first));
      return false;
    }
    packageBytes += static_cast<double>(result.bytes);
    wholeBytes += static_cast<double>(result.wholeBytes);
    RemoveTree(request.outDir);
  }
  return true;
}

bool EnsureBuilt(benchmark::State& state) {
  PairFacts& facts = Facts();
  if (!facts.built && facts.error.empty()) {
    const ScratchFolder scratch(L"pairs");
    double seconds = 0;
    facts.built = BuildAll(facts, scratch, seconds, facts.packageBytes, facts.wholeBytes,
                           facts.error);
  }
  if (!facts.built) state.SkipWithError(facts.error.c_str());
  return facts.built;
}

void PatchMakeTime(benchmark::State& state) {
  const PairFacts& facts = Facts();
  for (auto _ : state) {
    const ScratchFolder scratch(L"pairs");
    double seconds = 0, bytes = 0, whole = 0;
    std::string error;
    if (!BuildAll(facts, scratch, seconds, bytes, whole, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    state.SetIterationTime(seconds);
  }
}

// A size case reports its bytes as the time of its one iteration, one nanosecond a byte.
void ReportBytes(benchmark::State& state, const double PairFacts::*member) {
  if (!EnsureBuilt(state)) return;
  for (auto _ : state) state.SetIterationTime(Facts().*member * 1e-9);
}

void AnchorTime(benchmark::State& state) {
  for (auto _ : state) state.SetIterationTime(Facts().anchorNs * 1e-9);
}

}  // namespace

std::vector<BenchCase> RegisterRealPairsCases(const BenchSizes& sizes) {
  // Without the pairs (the smoke run) nothing is registered and the rows are left out.
  const bool found = !sizes.realPairs.empty() && ReadPairs(sizes.realPairs, Facts());
  const std::string title = std::to_string(Facts().pairs.size()) + " real updates";
  const std::vector<BenchCase> cases = {
      {"Package / whole new files, " + title, "pairs_package_bytes", "pairs_whole_bytes", 0.10,
       true},
      {"Package / bsdiff 4.3, " + title, "pairs_package_bytes", "pairs_bsdiff_bytes", 1.00, true},
      {"patchmake / bsdiff 4.3, " + title, "pairs_patchmake", "pairs_bsdiff", 1.00},
  };
  if (!found) return cases;
  const auto once = [&sizes](benchmark::internal::Benchmark* benchmark) {
    Configure(benchmark, sizes, Timing::kManualTime)->Iterations(1)->Repetitions(1);
  };
  once(benchmark::RegisterBenchmark("pairs_package_bytes", ReportBytes, &PairFacts::packageBytes));
  once(benchmark::RegisterBenchmark("pairs_whole_bytes", ReportBytes, &PairFacts::wholeBytes));
  once(benchmark::RegisterBenchmark("pairs_bsdiff_bytes", ReportBytes, &PairFacts::anchorBytes));
  once(benchmark::RegisterBenchmark("pairs_bsdiff", AnchorTime));
  // The anchor's time is the fastest of three runs; so is this one's.
  Configure(benchmark::RegisterBenchmark("pairs_patchmake", PatchMakeTime), sizes,
            Timing::kManualTime)
      ->Iterations(1)
      ->Repetitions(sizes.smoke ? 1 : 3);
  return cases;
}

}  // namespace bench
