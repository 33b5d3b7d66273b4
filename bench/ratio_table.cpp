#include "bench/ratio_table.h"

#include <json/json.h>

#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

std::string FormatTime(double ns, bool bytes) {
  static const char* const kTimes[] = {"ns", "us", "ms", "s"};
  static const char* const kSizes[] = {"B", "KB", "MB", "GB"};
  const char* const* kUnits = bytes ? kSizes : kTimes;
  double value = ns;
  size_t unit = 0;
  while (value >= 1000.0 && unit + 1 < sizeof(kTimes) / sizeof(kTimes[0])) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof(text), "%.3g %s", value, kUnits[unit]);
  return text;
}

std::string FormatNumber(const char* format, double value) {
  char text[32];
  snprintf(text, sizeof(text), format, value);
  return text;
}

std::string PadRight(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string PadLeft(const std::string& text, size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

}  // namespace

double Fastest(const std::vector<double>& samples) {
  return samples.empty() ? 0 : *std::min_element(samples.begin(), samples.end());
}

std::vector<RatioRow> BuildRatioRows(const std::vector<BenchCase>& cases,
                                     const std::map<std::string, std::vector<double>>& samples) {
  std::vector<RatioRow> rows;
  for (const BenchCase& benchCase : cases) {
    const auto own = samples.find(benchCase.name);
    const auto baseline = samples.find(benchCase.baselineName);
    if (own == samples.end() || baseline == samples.end() || own->second.empty() ||
        baseline->second.empty()) {
      continue;
    }
    RatioRow row;
    row.title = benchCase.title;
    row.timeNs = Fastest(own->second);
    row.baselineNs = Fastest(baseline->second);
    row.ratio = row.baselineNs > 0 ? row.timeNs / row.baselineNs : 0;
    row.goal = benchCase.goal;
    row.bytes = benchCase.bytes;
    rows.push_back(row);
  }
  return rows;
}

bool GoalMet(const RatioRow& row) { return !row.goal || row.ratio <= *row.goal; }

std::string FormatRatioTable(const std::vector<RatioRow>& rows) {
  const std::vector<std::string> header = {"case", "time", "baseline", "ratio", "goal", ""};
  std::vector<std::vector<std::string>> cells = {header};
  for (const RatioRow& row : rows) {
    cells.push_back({row.title, FormatTime(row.timeNs, row.bytes),
                     FormatTime(row.baselineNs, row.bytes),
                     FormatNumber("%.3f", row.ratio),
                     row.goal ? FormatNumber("<= %.2f", *row.goal) : "-",
                     GoalMet(row) ? "met" : "MISSED"});
  }
  std::vector<size_t> widths(header.size(), 0);
  for (const auto& line : cells) {
    for (size_t column = 0; column < line.size(); ++column) {
      widths[column] = std::max(widths[column], line[column].size());
    }
  }
  std::string text;
  for (const auto& line : cells) {
    std::string out = PadRight(line[0], widths[0]);
    for (size_t column = 1; column < line.size(); ++column) {
      out += "  ";
      out += column + 1 == line.size() ? line[column] : PadLeft(line[column], widths[column]);
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    text += out + "\n";
  }
  return text;
}

std::string RatioRowsToJson(const std::vector<RatioRow>& rows) {
  Json::Value list(Json::arrayValue);
  for (const RatioRow& row : rows) {
    Json::Value item(Json::objectValue);
    item["case"] = row.title;
    item["time_ns"] = row.timeNs;
    item["baseline_ns"] = row.baselineNs;
    item["ratio"] = row.ratio;
    item["goal"] = row.goal ? Json::Value(*row.goal) : Json::Value();
    list.append(item);
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  builder["precision"] = 10;
  return Json::writeString(builder, list) + "\n";
}

}  // namespace bench
