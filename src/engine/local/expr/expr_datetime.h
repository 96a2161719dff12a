// Date and timestamp text forms and time zones as Spark's casts read and write them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace date {
class time_zone;
}

namespace engine::local {

// A time zone as Java's ZoneId.of(id, SHORT_IDS) reads it: Z, UTC/GMT/UT with an optional offset,
// +h, +hh, +hh:mm, +hhmm, +hh:mm:ss, region ids (America/New_York, from the system's tz database) and
// the short ids (EST, PST, ...).
class ZoneRules {
 public:
  ZoneRules() = default;  // UTC
  static std::optional<ZoneRules> parse(std::string_view id);
  // The session time zone; throws ExecutionException naming an unknown zone.
  static ZoneRules session(const std::string& id);
  static ZoneRules fixedOffset(int seconds) {
    ZoneRules z;
    z.fixed_ = seconds;
    return z;
  }

  bool isFixed() const { return tz_ == nullptr; }
  // Offset (seconds east of UTC) in force at a UTC instant.
  int offsetAtUtc(std::int64_t utcSeconds) const { return tz_ ? regionOffsetAtUtc(utcSeconds) : fixed_; }
  // Offset that maps a local wall-clock time to UTC, as java.time resolves it: in a gap the time moves
  // forward by the gap, in an overlap the earlier instant is taken.
  int offsetForLocal(std::int64_t localSeconds) const { return tz_ ? regionOffsetForLocal(localSeconds) : fixed_; }

  // Micros conversions between UTC instants and local wall-clock micros.
  std::int64_t utcToLocalMicros(std::int64_t utcMicros) const;
  std::int64_t localToUtcMicros(std::int64_t localMicros) const;

 private:
  int regionOffsetAtUtc(std::int64_t utcSeconds) const;
  int regionOffsetForLocal(std::int64_t localSeconds) const;
  int fixed_ = 0;
  const date::time_zone* tz_ = nullptr;
};

// Spark's stringToDate: yyyy, yyyy-[m]m, yyyy-[m]m-[d]d, optionally followed by ' ' or 'T' and anything.
std::optional<std::int32_t> parseDateText(std::string_view s);
// Spark's stringToTimestamp: a date form, then optional ' ' or 'T' time [h]h:[m]m:[s]s[.ffffff] and an
// optional zone; text without a zone is read in `defaultZone`. A time without a date is taken on today's
// date in that zone.
std::optional<std::int64_t> parseTimestampText(std::string_view s, const ZoneRules& defaultZone);

// Fixed-offset forms of the above, for readers that resolve the zone once: a text without a zone is read
// at `defaultOffsetSeconds`, a time without a date on `today` (days since the epoch).
std::optional<std::int64_t> parseTimestampText(std::string_view s, int defaultOffsetSeconds, std::int32_t today);
// The session time zone as a fixed offset; throws ExecutionException for a zone with daylight-saving rules
// (use ZoneRules there) or an unknown one.
int sessionZoneOffset(const std::string& zone);
// Days since the epoch of the current date at the given offset.
std::int32_t currentDay(int offsetSeconds);

}  // namespace engine::local
