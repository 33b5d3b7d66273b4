#pragma once

// Turns the timings of a benchmark run into the table of ratios: pure text and numbers, no
// platform calls, so that it is tested on its own.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// One row of the table: a case and the raw platform baseline measured beside it.
struct BenchCase {
  std::string title;           // what the table shows
  std::string name;            // benchmark name of the case
  std::string baselineName;    // benchmark name of its baseline
  std::optional<double> goal;  // highest acceptable ratio; none for a case without a goal
  // A size case: its samples and its baseline's are bytes (an iteration of 1 ns a byte).
  bool bytes = false;
};

struct RatioRow {
  std::string title;
  double timeNs = 0;
  double baselineNs = 0;
  double ratio = 0;
  std::optional<double> goal;
  bool bytes = false;  // timeNs and baselineNs are bytes
};

// The smallest sample; 0 for none. Each sample is already the mean of many iterations, and a
// busy machine only ever adds time, so the fastest repetition is the steadiest figure.
double Fastest(const std::vector<double>& samples);

// One row per case whose own run and baseline both have samples (time per iteration in ns,
// one sample per repetition), in the order given; the rest are left out.
std::vector<RatioRow> BuildRatioRows(const std::vector<BenchCase>& cases,
                                     const std::map<std::string, std::vector<double>>& samples);

// True when the row has no goal or its ratio is at most the goal.
bool GoalMet(const RatioRow& row);

// Text columns: case, time, baseline, ratio, goal, verdict. Times in the largest unit that
// keeps them at or above 1 (ns, us, ms, s), sizes likewise (B, KB, MB, GB).
std::string FormatRatioTable(const std::vector<RatioRow>& rows);

// A JSON list of objects with the keys "case", "time_ns", "baseline_ns", "ratio" and "goal"
// (null where there is none).
std::string RatioRowsToJson(const std::vector<RatioRow>& rows);

}  // namespace bench
