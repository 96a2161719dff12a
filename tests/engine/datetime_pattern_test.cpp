// to_timestamp(text, pattern): expected values recorded from Apache Spark 4.0.1 (session time zone UTC,
// ANSI off), as epoch microseconds; std::nullopt where Spark returns null.
#include <gtest/gtest.h>

#include <optional>

#include "engine/errors.h"
#include "engine/local/expr/datetime_pattern.h"

using namespace engine;
using namespace engine::local;

TEST(DateTimePattern, ParsesLikeSpark) {
  struct Case {
    const char* text;
    const char* pattern;
    std::optional<std::int64_t> micros;
  };
  const Case cases[] = {
      {"2024-01-31 12:34:56", "yyyy-MM-dd HH:mm:ss", 1706704496000000LL},
      {"2024-1-5 12:34:56", "yyyy-MM-dd HH:mm:ss", std::nullopt},
      {"2024-1-5", "yyyy-M-d", 1704412800000000LL},
      {"2024-02-30", "yyyy-MM-dd", std::nullopt},
      {"2023-02-29", "yyyy-MM-dd", std::nullopt},
      {"2024-02-29", "yyyy-MM-dd", 1709164800000000LL},
      {"20240131", "yyyyMMdd", 1706659200000000LL},
      {"31/01/2024 07:05", "dd/MM/yyyy HH:mm", 1706684700000000LL},
      {"01/31/24", "MM/dd/yy", 1706659200000000LL},
      {"Jan 5, 2024", "MMM d, yyyy", 1704412800000000LL},
      {"January 05 2024", "MMMM dd yyyy", 1704412800000000LL},
      {"2024-01-31T12:34:56.123456", "yyyy-MM-dd'T'HH:mm:ss.SSSSSS", 1706704496123456LL},
      {"2024-01-31T12:34:56.1", "yyyy-MM-dd'T'HH:mm:ss.SSSSSS", 1706704496100000LL},
      {"2024-01-31 12:34:56.123", "yyyy-MM-dd HH:mm:ss.SSS", 1706704496123000LL},
      {"2024-01-31 12:34:56+02:00", "yyyy-MM-dd HH:mm:ssXXX", 1706697296000000LL},
      {"2024-01-31 12:34:56Z", "yyyy-MM-dd HH:mm:ssXXX", 1706704496000000LL},
      {"2024-01-31 12:34:56 +0530", "yyyy-MM-dd HH:mm:ss Z", 1706684696000000LL},
      {"2024-01-31 12:34:56 America/New_York", "yyyy-MM-dd HH:mm:ss VV", 1706722496000000LL},
      {"2024-01-31 07:34:56 PM", "yyyy-MM-dd hh:mm:ss a", 1706729696000000LL},
      {"2024-01-31 12:34:56 am", "yyyy-MM-dd hh:mm:ss a", 1706661296000000LL},
      {"2024-01-31 13:34", "yyyy-MM-dd hh:mm", std::nullopt},
      {"2024-01-31 24:00:00", "yyyy-MM-dd HH:mm:ss", std::nullopt},
      {"2024-01-31", "yyyy-MM-dd HH:mm:ss", std::nullopt},
      {"2024-01-31 12:34:56 extra", "yyyy-MM-dd HH:mm:ss", std::nullopt},
      {"2024-032", "yyyy-DDD", 1706745600000000LL},
      {"2024-01-31 12:34", "yyyy-MM-dd HH:mm[:ss]", 1706704440000000LL},
      {"2024-01-31 12:34:10", "yyyy-MM-dd HH:mm[:ss]", 1706704450000000LL},
      {"12:34:56", "HH:mm:ss", 45296000000LL},
      {"2024", "yyyy", 1704067200000000LL},
      {"not a date", "yyyy-MM-dd", std::nullopt},
      {"2024-13-01", "yyyy-MM-dd", std::nullopt},
      {" 2024-01-31", "yyyy-MM-dd", std::nullopt},
      {"2024-01-31", "yyyy-MM-dd'T'", std::nullopt},
      {"99-01-31", "yy-MM-dd", 4073500800000000LL},
      {"2024-01-31 12:34:56.1234567", "yyyy-MM-dd HH:mm:ss.SSSSSS", std::nullopt},
  };
  for (const auto& c : cases) {
    auto p = DateTimePattern::compile(c.pattern);
    EXPECT_EQ(p->parseTimestamp(c.text, "UTC"), c.micros) << c.text << " | " << c.pattern;
  }
}

TEST(DateTimePattern, SessionZoneAppliesToTextWithoutOffset) {
  auto p = DateTimePattern::compile("yyyy-MM-dd HH:mm:ss");
  // 2024-07-01 12:00 in Paris (UTC+2 in summer) and in a fixed offset zone.
  EXPECT_EQ(p->parseTimestamp("2024-07-01 12:00:00", "Europe/Paris"), 1719828000000000LL);
  EXPECT_EQ(p->parseTimestamp("2024-07-01 12:00:00", "+05:30"), 1719815400000000LL);
  EXPECT_EQ(p->parseTimestamp("2024-07-01 12:00:00", "No/Such_Zone"), std::nullopt);
  // A local time inside the spring-forward gap moves forward by the gap, as java.time does.
  EXPECT_EQ(p->parseTimestamp("2024-03-31 02:30:00", "Europe/Paris"), 1711848600000000LL);
}

TEST(DateTimePattern, RejectsUnsupportedOrMalformedPatterns) {
  EXPECT_THROW(DateTimePattern::compile("EEE, dd MMM yyyy"), ExecutionException);
  EXPECT_THROW(DateTimePattern::compile("YYYY-ww"), ExecutionException);
  EXPECT_THROW(DateTimePattern::compile("yyyy-MM-dd'T"), ExecutionException);
  EXPECT_THROW(DateTimePattern::compile("yyyy[-MM"), ExecutionException);
  EXPECT_THROW(DateTimePattern::compile("yyyy-MMMMM"), ExecutionException);
  EXPECT_THROW(DateTimePattern::compile("qqq"), ExecutionException);
}
