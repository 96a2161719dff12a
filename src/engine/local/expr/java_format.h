// format_string: java.util.Formatter (Locale.US) over Spark's internal values, compiled once per pattern
// and applied to column vectors row by row without boxing. %s renders each type as Spark does (doubles as
// Java's Double.toString, dates as their day count, timestamps as epoch microseconds, null as "null").
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "engine/vector.h"

namespace engine::local {

class JavaFormat {
 public:
  // Throws ExecutionException for a malformed pattern (unknown conversion, bad flags), naming it.
  static std::shared_ptr<const JavaFormat> compile(const std::string& pattern);

  // Appends the formatted text of row `row` of `args` to `out`. Throws ExecutionException when a conversion
  // does not apply to its argument's type (Java's IllegalFormatConversionException) or an argument is missing.
  void format(const std::vector<const Vector*>& args, std::size_t row, std::string& out) const;

  struct Spec;

 private:
  std::vector<Spec> specs_;
  std::string pattern_;
};

// java.math.BigDecimal.toString of an unscaled value and scale (scientific notation when the adjusted
// exponent is below -6).
std::string javaBigDecimalString(__int128 unscaled, int scale);

}  // namespace engine::local
