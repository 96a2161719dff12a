// The comparison rules of the conformance runner: a lenient comparator would let engine faults through,
// a strict one would report Spark's own answers as failures.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "conformance_values.h"

namespace {

using conformance::json;

TEST(ConformanceValues, DoublesCompareNumericallyWithSparkSpecials) {
  const auto dbl = engine::DoubleType();
  // Python's repr and C++'s shortest form spell the same double differently.
  EXPECT_TRUE(conformance::cellEquals("1e+16", "1e+16", dbl, 0));
  EXPECT_TRUE(conformance::cellEquals("1000000000000000.0", conformance::outputJson(engine::Value(1e15)), dbl, 0));
  EXPECT_TRUE(conformance::cellEquals("NaN", conformance::outputJson(engine::Value(std::nan(""))), dbl, 0));
  EXPECT_TRUE(conformance::cellEquals("-Infinity", conformance::outputJson(engine::Value(-INFINITY)), dbl, 0));
  // Spark prints -0.0 where it keeps the sign; a lost or invented sign is a real difference.
  EXPECT_FALSE(conformance::cellEquals("-0.0", "0.0", dbl, 0));
  EXPECT_FALSE(conformance::cellEquals("0.30000000000000004", "0.3", dbl, 0));
  EXPECT_TRUE(conformance::cellEquals("0.30000000000000004", "0.3", dbl, 1e-12));
  EXPECT_FALSE(conformance::cellEquals("1.0", "1.001", dbl, 1e-12));
  EXPECT_FALSE(conformance::cellEquals("NaN", "Infinity", dbl, 1e-3));
  EXPECT_FALSE(conformance::cellEquals(nullptr, "0.0", dbl, 0));
  EXPECT_TRUE(conformance::cellEquals(nullptr, nullptr, dbl, 0));
}

TEST(ConformanceValues, FloatsAreComparedAsTheDoubleSparkWidenedThemTo) {
  const json actual = conformance::outputJson(engine::Value(0.1f));
  EXPECT_TRUE(conformance::cellEquals("0.10000000149011612", actual, engine::FloatType(), 0));
  EXPECT_FALSE(conformance::cellEquals("0.1", actual, engine::FloatType(), 0));
}

TEST(ConformanceValues, ExactTypesCompareExactly) {
  EXPECT_FALSE(conformance::cellEquals("1.50", "1.5", engine::DecimalType(5, 2), 1e-3));
  EXPECT_FALSE(conformance::cellEquals(1, 2, engine::LongType(), 0.5));
  EXPECT_FALSE(conformance::cellEquals("a", "A", engine::StringType(), 0));
  EXPECT_FALSE(conformance::cellEquals(true, 1, engine::BooleanType(), 0));
}

TEST(ConformanceValues, InputsRoundTripThroughTheCanonicalForm) {
  const auto dec = engine::DecimalType(10, 2);
  EXPECT_EQ(conformance::outputJson(conformance::inputValue("-0.5", dec)), "-0.50");
  EXPECT_EQ(conformance::outputJson(conformance::inputValue("12", dec)), "12.00");
  EXPECT_EQ(conformance::outputJson(conformance::inputValue("1969-12-31", engine::DateType())), "1969-12-31");
  EXPECT_EQ(conformance::outputJson(conformance::inputValue("1969-12-31 23:59:59.5", engine::TimestampType())),
            "1969-12-31 23:59:59.500000");
  EXPECT_EQ(conformance::outputJson(conformance::inputValue("2024-02-29T01:02:03", engine::TimestampType())),
            "2024-02-29 01:02:03.000000");
  EXPECT_EQ(conformance::outputJson(conformance::inputValue(json::array({1, nullptr}), engine::ArrayType(engine::IntegerType()))),
            json::parse("[1, null]"));
  EXPECT_EQ(conformance::outputJson(conformance::inputValue(-9223372036854775807LL - 1, engine::LongType())),
            json(std::numeric_limits<std::int64_t>::min()));
}

TEST(ConformanceValues, MalformedInputsAreRejected) {
  EXPECT_THROW(conformance::inputValue("1.234", engine::DecimalType(10, 2)), std::invalid_argument);
  EXPECT_THROW(conformance::inputValue("123456789", engine::DecimalType(5, 2)), std::invalid_argument);
  EXPECT_THROW(conformance::inputValue(128, engine::ByteType()), std::invalid_argument);
  EXPECT_THROW(conformance::inputValue("2024-1-5", engine::DateType()), std::invalid_argument);
  EXPECT_THROW(conformance::inputValue(1.5, engine::IntegerType()), std::invalid_argument);
  EXPECT_THROW(conformance::parseTypeName("varchar"), std::invalid_argument);
}

TEST(ConformanceValues, MultisetComparisonCountsDuplicates) {
  const std::vector<engine::DataType> types{engine::IntegerType(), engine::DoubleType()};
  const json expected = json::parse(R"([[1, "NaN"], [1, "NaN"], [2, null]])");
  EXPECT_EQ(conformance::compareRows(expected, json::parse(R"([[2, null], [1, "NaN"], [1, "NaN"]])"), types, 0, false),
            "");
  // Same distinct rows, wrong multiplicities.
  EXPECT_NE(conformance::compareRows(expected, json::parse(R"([[2, null], [2, null], [1, "NaN"]])"), types, 0, false),
            "");
  // Order matters only when asked for.
  EXPECT_NE(conformance::compareRows(expected, json::parse(R"([[2, null], [1, "NaN"], [1, "NaN"]])"), types, 0, true),
            "");
  EXPECT_NE(conformance::compareRows(expected, json::parse(R"([[1, "NaN"], [1, "NaN"]])"), types, 0, false), "");
}

}  // namespace
