// approx_count_distinct's sketches (independent of how rows are split, per-type hashing, limits) and
// interval values (literal forms, Spark's text of an interval, arithmetic edge cases).
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "engine/dataframe.h"
#include "engine/errors.h"
#include "engine/functions.h"
#include "engine/session.h"
#include "engine/sql/literals.h"
#include "engine/value.h"

using namespace engine;
namespace F = engine::functions;

namespace {

class SketchAndIntervalTest : public ::testing::Test {
 protected:
  void SetUp() override { spark = SparkSession::builder().master("local[4]").getOrCreate(); }

  Value one(const std::string& sql) {
    auto rows = spark->sql(sql).collect();
    EXPECT_EQ(rows.size(), 1u) << sql;
    return rows.at(0)[std::size_t{0}];
  }

  std::shared_ptr<SparkSession> spark;
};

TEST_F(SketchAndIntervalTest, EstimateDoesNotDependOnPartitionsOrGrouping) {
  // Registers merge by maximum, so any split of the rows into partial sketches gives one answer; the
  // values cross from the short register list to the full array at different points in each split.
  DataFrame base = spark->range(0, 40000);
  auto estimate = [&](const DataFrame& df) {
    return df.agg(std::vector<Column>{F::approx_count_distinct(F::col("id"))}).collect().at(0)[std::size_t{0}].toInt64();
  };
  const std::int64_t whole = estimate(base.repartition(1));
  EXPECT_NE(whole, 40000);  // an estimate, not the exact count
  EXPECT_NEAR(static_cast<double>(whole), 40000.0, 40000.0 * 0.15);
  EXPECT_EQ(estimate(base), whole);
  EXPECT_EQ(estimate(base.repartition(7)), whole);
  EXPECT_EQ(estimate(base.union_(base).repartition(3)), whole);  // duplicates change nothing

  // Grouped: a group's estimate equals that group's rows estimated alone.
  auto grouped = spark->sql("SELECT id % 4 AS k, approx_count_distinct(id, 0.02) AS c FROM range(20000) GROUP BY id % 4 ORDER BY k").collect();
  ASSERT_EQ(grouped.size(), 4u);
  for (int k = 0; k < 4; ++k) {
    Value alone = one("SELECT approx_count_distinct(id, 0.02) FROM range(20000) WHERE id % 4 = " + std::to_string(k));
    EXPECT_EQ(grouped[k][std::size_t{1}].toInt64(), alone.toInt64()) << "group " << k;
  }
}

TEST_F(SketchAndIntervalTest, HashingFollowsTheValueNotItsRepresentation) {
  // -0.0 and 0.0 are one value, every NaN is one value; an int and the same long are not the same hash.
  EXPECT_EQ(one("SELECT approx_count_distinct(x) FROM VALUES (0.0D), (-0.0D), (double('NaN')), (-double('NaN')) AS t(x)").toInt64(), 2);
  EXPECT_EQ(one("SELECT approx_count_distinct(x) FROM VALUES (CAST(0.0 AS FLOAT)), (CAST(-0.0 AS FLOAT)) AS t(x)").toInt64(), 1);
  EXPECT_EQ(one("SELECT approx_count_distinct(x) FROM VALUES (NULL), (NULL) AS t(x)").toInt64(), 0);
  EXPECT_EQ(one("SELECT approx_count_distinct(s) FROM VALUES ('a'), ('A'), ('ä'), ('a') AS t(s)").toInt64(), 3);
}

TEST_F(SketchAndIntervalTest, DeviationOutsideTheSupportedRangeIsAClearError) {
  auto message = [&](const std::string& sql) {
    try {
      spark->sql(sql).collect();
    } catch (const AnalysisException& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_NE(message("SELECT approx_count_distinct(id, 0.5) FROM range(3)").find("at most 39%"), std::string::npos);
  EXPECT_NE(message("SELECT approx_count_distinct(id, 0.00001) FROM range(3)").find("smallest supported deviation"),
            std::string::npos);
  EXPECT_NE(message("SELECT approx_count_distinct(id, 'x') FROM range(3)").find("double or decimal literal"),
            std::string::npos);
  // The functions API sends the deviation as a double literal, like SQL's decimal literal.
  auto a = spark->range(0, 3000).agg(std::vector<Column>{F::approx_count_distinct(F::col("id"), 0.01)});
  EXPECT_EQ(a.columns().at(0), "approx_count_distinct(id)");
  EXPECT_EQ(a.collect().at(0)[std::size_t{0}].toInt64(), one("SELECT approx_count_distinct(id, 0.01) FROM range(3000)").toInt64());
}

TEST(IntervalText, SparkFormsOfEveryFieldRange) {
  EXPECT_EQ(formatYearMonthInterval(14, 0, 1), "INTERVAL '1-2' YEAR TO MONTH");
  EXPECT_EQ(formatYearMonthInterval(-14, 0, 1), "INTERVAL '-1-2' YEAR TO MONTH");
  EXPECT_EQ(formatYearMonthInterval(-14, 1, 1), "INTERVAL '-14' MONTH");
  EXPECT_EQ(formatYearMonthInterval(-24, 0, 0), "INTERVAL '-2' YEAR");
  EXPECT_EQ(formatYearMonthInterval(std::numeric_limits<std::int32_t>::min(), 0, 1),
            "INTERVAL '-178956970-8' YEAR TO MONTH");
  const std::int64_t h = 3600000000LL, d = 24 * h;
  EXPECT_EQ(formatDayTimeInterval(3 * d + 4 * h + 5 * 60000000LL + 6789000, 0, 3), "INTERVAL '3 04:05:06.789' DAY TO SECOND");
  EXPECT_EQ(formatDayTimeInterval(-(3 * d + 4 * h), 0, 1), "INTERVAL '-3 04' DAY TO HOUR");
  EXPECT_EQ(formatDayTimeInterval(90 * 60000000LL, 2, 2), "INTERVAL '90' MINUTE");
  EXPECT_EQ(formatDayTimeInterval(1, 3, 3), "INTERVAL '00.000001' SECOND");
  EXPECT_EQ(formatDayTimeInterval(125 * h, 1, 1), "INTERVAL '125' HOUR");
  EXPECT_EQ(formatDayTimeInterval(0, 1, 3), "INTERVAL '00:00:00' HOUR TO SECOND");
  EXPECT_EQ(formatDayTimeInterval(std::numeric_limits<std::int64_t>::min(), 0, 3),
            "INTERVAL '-106751991 04:00:54.775808' DAY TO SECOND");
  EXPECT_EQ(formatDayTimeInterval(std::numeric_limits<std::int64_t>::min(), 3, 3),
            "INTERVAL '-9223372036854.775808' SECOND");
}

TEST(IntervalText, LiteralFormsAndTheirLimits) {
  using engine::sql::intervalFromTo;
  using engine::sql::intervalFromUnits;
  auto dt = [](const engine::sql::IntervalLiteral& l) { return l.value.get<DayTimeIntervalValue>().micros; };
  EXPECT_EQ(dt(intervalFromUnits({{"1", "week"}, {"-2", "DAYS"}})), 5 * 86400000000LL);
  EXPECT_EQ(intervalFromUnits({{"1", "week"}}).type.simpleString(), "interval day");
  EXPECT_EQ(dt(intervalFromUnits({{"-1.5", "seconds"}, {"250", "milliseconds"}})), -1250000);
  EXPECT_EQ(intervalFromUnits({{"1", "microsecond"}, {"1", "hour"}}).type.simpleString(), "interval hour to second");
  EXPECT_EQ(intervalFromUnits({{"2", "years"}, {"-3", "month"}}).value.get<YearMonthIntervalValue>().months, 21);
  EXPECT_THROW(intervalFromUnits({{"1", "month"}, {"1", "day"}}), std::invalid_argument);
  EXPECT_THROW(intervalFromUnits({{"1.5", "minutes"}}), std::invalid_argument);
  EXPECT_THROW(intervalFromUnits({{"9223372036854775807", "days"}}), std::invalid_argument);  // overflow, not a wrap
  EXPECT_THROW(intervalFromUnits({{"3000000000", "months"}}), std::invalid_argument);
  EXPECT_THROW(intervalFromUnits({{"1", "fortnight"}}), std::invalid_argument);

  EXPECT_EQ(intervalFromTo("-1-11", "YEAR", "MONTH").value.get<YearMonthIntervalValue>().months, -23);
  EXPECT_THROW(intervalFromTo("1-12", "YEAR", "MONTH"), std::invalid_argument);
  EXPECT_THROW(intervalFromTo("1", "YEAR", "MONTH"), std::invalid_argument);
  EXPECT_EQ(dt(intervalFromTo(" 10:20:30.123456789 ", "hour", "second")), ((10 * 60 + 20) * 60 + 30) * 1000000LL + 123456);
  EXPECT_EQ(dt(intervalFromTo("+1 2", "DAY", "HOUR")), 26 * 3600000000LL);
  EXPECT_THROW(intervalFromTo("1 24", "DAY", "HOUR"), std::invalid_argument);
  EXPECT_THROW(intervalFromTo("10:60", "HOUR", "MINUTE"), std::invalid_argument);
  EXPECT_THROW(intervalFromTo("10:20:30", "HOUR", "MINUTE"), std::invalid_argument);
  EXPECT_THROW(intervalFromTo("1", "SECOND", "MINUTE"), std::invalid_argument);
}

TEST_F(SketchAndIntervalTest, IntervalArithmeticKeepsCalendarRulesAndRefusesOverflow) {
  // Month arithmetic clamps to the month's last day; whole days keep a date a date.
  EXPECT_EQ(one("SELECT DATE '2024-01-31' + INTERVAL 1 MONTH").toString(), "2024-02-29");
  EXPECT_EQ(one("SELECT DATE '2024-02-29' - INTERVAL 1 YEAR").toString(), "2023-02-28");
  EXPECT_EQ(one("SELECT typeof(DATE '2024-01-31' + INTERVAL 2 DAYS)").toString(), "date");
  EXPECT_EQ(one("SELECT typeof(DATE '2024-01-31' + INTERVAL 2 MINUTES)").toString(), "timestamp");
  EXPECT_EQ(one("SELECT CAST(TIMESTAMP '2024-03-31 12:00:00' - INTERVAL '1-1' YEAR TO MONTH AS STRING)").toString(),
            "2023-02-28 12:00:00");
  EXPECT_THROW(one("SELECT INTERVAL 106751991 DAYS + INTERVAL 106751991 DAYS"), ExecutionException);
  EXPECT_THROW(one("SELECT INTERVAL 1 DAY * 2"), AnalysisException);  // not supported: refused, never wrong
  EXPECT_THROW(one("SELECT INTERVAL 1 DAY + 1"), AnalysisException);
}

}  // namespace
