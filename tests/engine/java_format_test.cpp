// format_string's Java Formatter: expected texts recorded from Apache Spark 4.0.1.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/errors.h"
#include "engine/local/expr/java_format.h"
#include "engine/value.h"
#include "engine/vector.h"

using namespace engine;
using namespace engine::local;

namespace {
std::string fmtRow(const std::string& pattern, const std::vector<std::pair<DataType, Value>>& args) {
  std::vector<MutableVectorPtr> cols;
  std::vector<const Vector*> ptrs;
  for (const auto& [t, v] : args) {
    cols.push_back(Vector::fromValues(t, {v}));
    ptrs.push_back(cols.back().get());
  }
  std::string out;
  JavaFormat::compile(pattern)->format(ptrs, 0, out);
  return out;
}
std::pair<DataType, Value> I(int v) { return {IntegerType(), v}; }
std::pair<DataType, Value> L(long v) { return {LongType(), v}; }
std::pair<DataType, Value> D(double v) { return {DoubleType(), v}; }
std::pair<DataType, Value> S(const char* v) { return {StringType(), v}; }
}  // namespace

TEST(JavaFormat, PercentSRendersSparkInternalValues) {
  EXPECT_EQ(fmtRow("a=%s|b=%s", {I(17), S("x")}), "a=17|b=x");
  EXPECT_EQ(fmtRow("%s %s %s %s", {D(1.0), D(1e20), D(std::nan("")), D(-0.0)}), "1.0 1.0E20 NaN -0.0");
  EXPECT_EQ(fmtRow("%s", {{FloatType(), 1.5f}}), "1.5");
  EXPECT_EQ(fmtRow("%s %s", {{DecimalType(5, 2), *Decimal::parse("1.50")}, {DecimalType(10, 9), *Decimal::parse("0.000000100")}}),
            "1.50 1.00E-7");
  EXPECT_EQ(fmtRow("%s %s", {{DateType(), Date{19753}}, {TimestampType(), Timestamp{1706659201000000}}}),
            "19753 1706659201000000");
  EXPECT_EQ(fmtRow("%s|%s", {{BooleanType(), true}, {IntegerType(), Value()}}), "true|null");
  EXPECT_EQ(fmtRow("%s", {{DecimalType(38, 1), *Decimal::parse("12345678901234567890.5")}}), "12345678901234567890.5");
  EXPECT_EQ(fmtRow("%2$s %1$s", {S("a"), S("b")}), "b a");
  EXPECT_EQ(fmtRow("%.3s", {S("abcdef")}), "abc");
  EXPECT_EQ(fmtRow("%10.3f|%-10s|%S", {D(3.14159), S("ab"), S("xyz")}), "     3.142|ab        |XYZ");
  // Upper-casing beyond ASCII, as Java's toUpperCase: the sharp s grows to SS, and a dotless i or a long s
  // map into ASCII, which must come out as one plain byte (not an overlong two-byte sequence).
  EXPECT_EQ(fmtRow("%S", {S("stra\u00dfe \u00e9t\u00e9")}), "STRASSE \u00c9T\u00c9");
  EXPECT_EQ(fmtRow("%S|%S", {S("\u0131n"), S("\u017fo")}), "IN|SO");
}

TEST(JavaFormat, NumbersFollowJavaRounding) {
  EXPECT_EQ(fmtRow("%5d|%-5d|%05d|%,d|%+d|%(d", {I(42), I(42), I(42), I(1234567), I(42), I(-42)}),
            "   42|42   |00042|1,234,567|+42|(42)");
  EXPECT_EQ(fmtRow("%x %X %o %#x", {I(255), I(255), I(8), I(-1)}), "ff FF 10 0xffffffff");
  // HALF_UP on the shortest decimal form, unlike C's printf.
  EXPECT_EQ(fmtRow("%.2f %.1f %.1f %f %.0f", {D(0.125), D(0.15), D(0.25), D(3.14159), D(2.5)}), "0.13 0.2 0.3 3.141590 3");
  EXPECT_EQ(fmtRow("%e %.2E %g %g %g", {D(12345.678), D(0.000123), D(0.0001), D(123456789.0), D(100.0)}),
            "1.234568e+04 1.23E-04 0.000100000 1.23457e+08 100.000");
  EXPECT_EQ(fmtRow("%,.2f", {D(1234567.891)}), "1,234,567.89");
  EXPECT_EQ(fmtRow("%d", {L(12)}), "12");
  EXPECT_EQ(fmtRow("%b %b %b", {{BooleanType(), true}, {BooleanType(), Value()}, S("x")}), "true false true");
  EXPECT_EQ(fmtRow("100%% %n", {}), "100% \n");
}

TEST(JavaFormat, ConversionErrorsAreReported) {
  EXPECT_THROW(fmtRow("%.2f", {{DecimalType(4, 3), *Decimal::parse("2.345")}}), ExecutionException);
  EXPECT_THROW(fmtRow("%d", {D(1.5)}), ExecutionException);
  EXPECT_THROW(fmtRow("%s %s", {S("only one")}), ExecutionException);
  EXPECT_THROW(JavaFormat::compile("%q"), ExecutionException);
  EXPECT_THROW(JavaFormat::compile("abc %"), ExecutionException);
  EXPECT_THROW(JavaFormat::compile("%-d"), ExecutionException);
}
