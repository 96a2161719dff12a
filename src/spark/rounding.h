// Decimal rounding as the framework's numbers are reported: to the nearest value with the given number of
// decimal places, judged on the exact binary value of the double, exact ties to even (an average of exactly
// one eighth gives 0.12, exactly three eighths 0.38), and the shortest text that reads back as a double.
#pragma once

#include <string>

namespace spark {

// x rounded to `ndigits` decimal places (0 <= ndigits <= 17); NaN and infinities unchanged.
double round_decimal(double x, int ndigits);
// The shortest text that reads back as x, always with a fractional part or an exponent: 3.0, 0.5, 1e+16,
// 1e-05, nan, inf.
std::string float_text(double x);

}  // namespace spark
