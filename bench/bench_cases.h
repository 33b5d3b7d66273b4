#pragma once

// Each Register function adds one case and its baseline to Google Benchmark and returns the
// row that pairs them. A case that cannot run or whose result is wrong reports an error, so
// that the smoke run fails.

#include <benchmark/benchmark.h>

#include <vector>

#include "bench/bench_support.h"
#include "bench/ratio_table.h"

namespace bench {

// Wall-clock time, since file operations happen partly outside the process under Wine: the
// loop's real time, or the time each iteration reports itself when the case must restore
// its files between iterations.
enum class Timing { kRealTime, kManualTime };

// Applies the timing, and one iteration of one repetition in a smoke run.
benchmark::internal::Benchmark* Configure(benchmark::internal::Benchmark* benchmark,
                                          const BenchSizes& sizes,
                                          Timing timing = Timing::kRealTime);

BenchCase RegisterLogLineCase(const BenchSizes& sizes);
BenchCase RegisterLogOffCase(const BenchSizes& sizes);
BenchCase RegisterParseConfCase(const BenchSizes& sizes);
// The seal's check against ParseConf of the same conf.json (hashed entries).
BenchCase RegisterSealCheckCase(const BenchSizes& sizes);
// With `hashed`, every entry carries the sha256 of its patch file.
BenchCase RegisterSmallFilesPatchCase(const BenchSizes& sizes, bool hashed);
BenchCase RegisterLargeFilesPatchCase(const BenchSizes& sizes, bool hashed);
// The time the product is stopped during the large case, first kill to restart.
BenchCase RegisterDowntimeCase(const BenchSizes& sizes, bool hashed);
BenchCase RegisterPatchMakeCase(const BenchSizes& sizes);
// patchmake on real updates (sizes.realPairs): its package against the whole new files and
// against bsdiff's patches, and its time against bsdiff's. No rows without the pairs.
std::vector<BenchCase> RegisterRealPairsCases(const BenchSizes& sizes);
// The runner staging a difference of a large file against staging the whole new file.
BenchCase RegisterDifferenceStagingCase(const BenchSizes& sizes);
// The run's record of a package of confEntries entries, written and read back.
BenchCase RegisterRecordCase(const BenchSizes& sizes);
BenchCase RegisterStartupCase(const BenchSizes& sizes);
// No goal: tells the libraries' load cost apart from the runner's own (needs the one above).
BenchCase RegisterStartupImportsCase(const BenchSizes& sizes);

}  // namespace bench
