#include "spark/rounding.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>

namespace spark {

double round_decimal(double x, int ndigits) {
  if (!std::isfinite(x)) return x;
  // printf renders the exact binary value with the requested digits, rounding to nearest with exact ties
  // to even; reading the text back gives the double nearest to that decimal.
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", ndigits, x);
  return std::strtod(buf, nullptr);
}

std::string float_text(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  std::string s = fmt::format("{}", x);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

}  // namespace spark
