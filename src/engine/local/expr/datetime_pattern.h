// Spark's datetime patterns (java.time DateTimeFormatter letters as Spark uses them) for parsing text into
// timestamps: to_timestamp(text, pattern). Parsing is strict the way Spark's is: every pattern element must
// match, the whole text must be consumed, and the resolved date must exist; anything else gives no value
// (null in the engine's non-ANSI mode).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine::local {

class DateTimePattern {
 public:
  // Throws ExecutionException naming the pattern for letters Spark rejects or does not know.
  static std::shared_ptr<const DateTimePattern> compile(const std::string& pattern);

  // Epoch microseconds of `text`; a text without its own zone or offset is read in `zone` (Spark's session
  // time zone). nullopt when the text does not match.
  std::optional<std::int64_t> parseTimestamp(std::string_view text, const std::string& zone) const;

  struct Element;
  const std::string& pattern() const { return pattern_; }

 private:
  std::string pattern_;
  std::vector<Element> elements_;
};

// Offset in seconds of time zone `zone` (a fixed offset such as +05:30, UTC, GMT+1, or a region id such as
// Europe/Paris) for the given local date-time (seconds since the epoch as if local were UTC). nullopt for an
// unknown zone.
std::optional<int> zoneOffsetForLocal(const std::string& zone, std::int64_t localSeconds);
// Offset of `zone` at the UTC instant `utcSeconds`.
std::optional<int> zoneOffsetForInstant(const std::string& zone, std::int64_t utcSeconds);

}  // namespace engine::local
