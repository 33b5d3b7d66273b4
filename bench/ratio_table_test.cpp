#include "bench/ratio_table.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>

namespace bench {
namespace {

const std::vector<BenchCase> kCases = {
    {"log line", "log", "log_raw", 1.5},
    {"start-up", "start", "start_raw", std::nullopt},
    {"conf", "conf", "conf_raw", 1.3},
};

TEST(RatioTableTest, PairsEachCaseWithItsBaselineByFastestRepetitionInCaseOrder) {
  const std::map<std::string, std::vector<double>> samples = {
      {"start", {900, 700, 800}},
      {"start_raw", {400, 350}},
      {"log", {30, 20, 25}},
      {"log_raw", {12, 10}},
      {"conf", {5}},  // no baseline: left out
  };
  const std::vector<RatioRow> rows = BuildRatioRows(kCases, samples);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].title, "log line");
  EXPECT_DOUBLE_EQ(rows[0].timeNs, 20);
  EXPECT_DOUBLE_EQ(rows[0].baselineNs, 10);
  EXPECT_DOUBLE_EQ(rows[0].ratio, 2.0);
  EXPECT_EQ(rows[0].goal, 1.5);
  EXPECT_EQ(rows[1].title, "start-up");
  EXPECT_DOUBLE_EQ(rows[1].ratio, 2.0);
  EXPECT_FALSE(rows[1].goal.has_value());
}

TEST(RatioTableTest, GoalIsMetUpToAndIncludingItsValueAndAlwaysWithoutOne) {
  RatioRow row;
  row.goal = 1.25;
  row.ratio = 1.25;
  EXPECT_TRUE(GoalMet(row));
  row.ratio = 1.2501;
  EXPECT_FALSE(GoalMet(row));
  row.goal.reset();
  EXPECT_TRUE(GoalMet(row));
}

TEST(RatioTableTest, TableShowsTimesInReadableUnitsAndMarksMissedGoals) {
  const std::vector<RatioRow> rows = {{"fast", 1500, 1000, 1.5, 2.0},
                                      {"slow", 3.2e9, 1e9, 3.2, 1.1},
                                      {"free", 12, 10, 1.2, std::nullopt},
                                      {"size", 2.5e6, 5e7, 0.05, 0.1, true}};
  const std::string table = FormatRatioTable(rows);
  EXPECT_NE(table.find("2.5 MB     50 MB"), std::string::npos) << table;
  EXPECT_NE(table.find("1.5 us"), std::string::npos) << table;
  EXPECT_NE(table.find("3.2 s"), std::string::npos) << table;
  EXPECT_NE(table.find("12 ns"), std::string::npos) << table;
  EXPECT_NE(table.find("<= 1.10  MISSED"), std::string::npos) << table;
  EXPECT_NE(table.find("<= 2.00  met"), std::string::npos) << table;
  // One header line and one line per row, all columns aligned on the widest case name.
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 5) << table;
  EXPECT_EQ(table.find("fast"), table.find('\n') + 1) << table;
}

TEST(RatioTableTest, JsonIsAListOfRowsWithNullForAMissingGoal) {
  const std::vector<RatioRow> rows = {{"log \"line\"", 2000.5, 1000, 2.0005, 1.5},
                                      {"start-up", 9e7, 3e7, 3.0, std::nullopt}};
  Json::Value parsed;
  ASSERT_TRUE(Json::Reader().parse(RatioRowsToJson(rows), parsed));
  ASSERT_TRUE(parsed.isArray());
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[0]["case"].asString(), "log \"line\"");
  EXPECT_DOUBLE_EQ(parsed[0]["time_ns"].asDouble(), 2000.5);
  EXPECT_DOUBLE_EQ(parsed[0]["baseline_ns"].asDouble(), 1000);
  EXPECT_DOUBLE_EQ(parsed[0]["ratio"].asDouble(), 2.0005);
  EXPECT_DOUBLE_EQ(parsed[0]["goal"].asDouble(), 1.5);
  EXPECT_TRUE(parsed[1]["goal"].isNull());
  EXPECT_TRUE(parsed[1].isMember("goal"));
  EXPECT_EQ(parsed[1].getMemberNames().size(), 5u);
}

}  // namespace
}  // namespace bench
