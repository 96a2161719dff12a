#include "engine/local/expr/java_format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <cwctype>
#include <locale.h>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/local/expr/utf8.h"
#include "engine/value.h"

namespace engine::local {

struct JavaFormat::Spec {
  bool literal = true;
  std::string text;  // literal text
  int argIndex = -1;  // 0-based; -1 for %% and %n
  bool leftJustify = false, alternate = false, plus = false, space = false, zeroPad = false, group = false,
       parens = false, upper = false;
  int width = -1, precision = -1;
  char conv = 's';
};

namespace {

[[noreturn]] void formatError(const std::string& msg) { throw ExecutionException("[FORMAT_STRING] " + msg); }

std::string uint128Digits(unsigned __int128 u) {
  if (u == 0) return "0";
  char buf[48];
  int pos = 48;
  while (u) {
    buf[--pos] = static_cast<char>('0' + static_cast<int>(u % 10));
    u /= 10;
  }
  return std::string(buf + pos, buf + 48);
}

// Decimal digits and exponent of a value: value = 0.d1d2d3... no: value = d1.d2d3... x 10^exp10.
struct Digits {
  bool negative = false;
  std::string digits;  // no leading zeros (except the single "0")
  int exp10 = 0;       // exponent of the first digit
};

Digits doubleDigits(double v) {
  Digits d;
  d.negative = std::signbit(v);
  if (v == 0) {
    d.digits = "0";
    return d;
  }
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
  std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
  auto e = s.find('e');
  for (char c : s.substr(0, e))
    if (c != '.') d.digits.push_back(c);
  d.exp10 = std::atoi(std::string(s.substr(e + 1)).c_str());
  while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
  return d;
}

// Rounds the digit string HALF_UP so that the last kept digit has exponent `lastExp`; returns the digits of
// the fixed-point text (integer part and `frac` fraction digits).
std::string fixedText(const Digits& d, int frac) {
  // Place digits on a grid from exponent max(exp10, 0) down to -frac.
  const int hi = std::max(d.exp10, 0);
  std::string grid;
  for (int e = hi; e >= -frac; --e) {
    int idx = d.exp10 - e;
    grid.push_back(idx >= 0 && idx < static_cast<int>(d.digits.size()) ? d.digits[static_cast<std::size_t>(idx)] : '0');
  }
  int nextIdx = d.exp10 + frac + 1;  // index into digits of the first dropped digit
  bool roundUp = nextIdx >= 0 && nextIdx < static_cast<int>(d.digits.size()) && d.digits[static_cast<std::size_t>(nextIdx)] >= '5';
  if (d.digits == "0") roundUp = false;
  if (roundUp) {
    int k = static_cast<int>(grid.size()) - 1;
    while (k >= 0) {
      if (grid[static_cast<std::size_t>(k)] == '9') {
        grid[static_cast<std::size_t>(k)] = '0';
        --k;
      } else {
        ++grid[static_cast<std::size_t>(k)];
        break;
      }
    }
    if (k < 0) grid.insert(grid.begin(), '1');
  }
  std::size_t intLen = grid.size() - static_cast<std::size_t>(frac);
  std::string out = grid.substr(0, intLen);
  while (out.size() > 1 && out[0] == '0') out.erase(0, 1);
  if (frac > 0) out += "." + grid.substr(intLen);
  return out;
}

std::string scientificText(const Digits& d, int precision, bool upper) {
  // Round to precision+1 significant digits, HALF_UP.
  std::string digs = d.digits;
  int exp = d.exp10;
  if (d.digits == "0") exp = 0;
  std::size_t keep = static_cast<std::size_t>(precision) + 1;
  if (digs.size() > keep) {
    bool up = digs[keep] >= '5';
    digs.resize(keep);
    if (up) {
      int k = static_cast<int>(keep) - 1;
      while (k >= 0 && digs[static_cast<std::size_t>(k)] == '9') digs[static_cast<std::size_t>(k--)] = '0';
      if (k < 0) {
        digs.insert(digs.begin(), '1');
        digs.pop_back();
        ++exp;
      } else {
        ++digs[static_cast<std::size_t>(k)];
      }
    }
  }
  while (digs.size() < keep) digs.push_back('0');
  std::string out = digs.substr(0, 1);
  if (precision > 0) out += "." + digs.substr(1);
  out += upper ? "E" : "e";
  out += exp < 0 ? "-" : "+";
  int ae = std::abs(exp);
  if (ae < 10) out += "0";
  out += std::to_string(ae);
  return out;
}

std::string groupThousands(const std::string& intPart) {
  std::string out;
  int n = static_cast<int>(intPart.size());
  for (int i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out.push_back(',');
    out.push_back(intPart[static_cast<std::size_t>(i)]);
  }
  return out;
}

// Applies sign flags, grouping, zero padding and width to a numeric magnitude text.
std::string finishNumber(const JavaFormat::Spec& s, bool negative, std::string magnitude, bool allowGroup = true) {
  if (s.group && allowGroup) {
    auto dot = magnitude.find('.');
    std::string ip = magnitude.substr(0, dot), rest = dot == std::string::npos ? "" : magnitude.substr(dot);
    magnitude = groupThousands(ip) + rest;
  }
  std::string prefix, suffix;
  if (negative) {
    if (s.parens) {
      prefix = "(";
      suffix = ")";
    } else {
      prefix = "-";
    }
  } else if (s.plus) {
    prefix = "+";
  } else if (s.space) {
    prefix = " ";
  }
  std::string body = magnitude;
  if (s.zeroPad && s.width > 0) {
    int pad = s.width - static_cast<int>(prefix.size() + body.size() + suffix.size());
    if (pad > 0) body = std::string(static_cast<std::size_t>(pad), '0') + body;
  }
  return prefix + body + suffix;
}

// Java measures and cuts text in UTF-16 code units; the text here is UTF-8. Each step visits one character:
// its byte length and its UTF-16 length (2 beyond the basic plane).
inline std::size_t utf8Step(const std::string& t, std::size_t pos, int& units) {
  auto b = static_cast<unsigned char>(t[pos]);
  std::size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 1;
  len = std::min(len, t.size() - pos);
  units = len == 4 ? 2 : 1;
  return len;
}

int utf16Length(const std::string& t) {
  int n = 0;
  for (std::size_t pos = 0; pos < t.size();) {
    int units = 0;
    pos += utf8Step(t, pos, units);
    n += units;
  }
  return n;
}

// Keeps at most `limit` UTF-16 units. A cut through a character beyond the basic plane leaves Java half of a
// surrogate pair, which becomes "?" in UTF-8.
void truncateChars(std::string& t, int limit) {
  int n = 0;
  for (std::size_t pos = 0; pos < t.size();) {
    int units = 0;
    std::size_t len = utf8Step(t, pos, units);
    if (n + units > limit) {
      t.resize(pos);
      if (n < limit) t.push_back('?');
      return;
    }
    n += units;
    pos += len;
  }
}

// Java's toUpperCase: every letter, not only ASCII ones, and the sharp s becomes "SS".
std::string javaUpper(const std::string& t) {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::string out;
  out.reserve(t.size());
  for (std::size_t pos = 0; pos < t.size();) {
    auto b = static_cast<unsigned char>(t[pos]);
    if (b < 0x80) {
      out.push_back(b >= 'a' && b <= 'z' ? static_cast<char>(b - 32) : static_cast<char>(b));
      ++pos;
      continue;
    }
    int units = 0;
    std::size_t len = utf8Step(t, pos, units);
    if (len == 1) {  // a stray byte stays as it is
      out.push_back(t[pos++]);
      continue;
    }
    char32_t cp = b & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(t[pos + k]) & 0x3F);
    if (cp == 0xDF) {
      out += "SS";
    } else {
      char32_t m = loc ? static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), loc)) : cp;
      encodeUtf8(m, out);  // a mapping may land in ASCII (dotless i to I): one byte then
    }
    pos += len;
  }
  return out;
}

void justify(const JavaFormat::Spec& s, std::string text, std::string& out) {
  if (s.upper) text = javaUpper(text);
  int pad = s.width - utf16Length(text);
  if (pad > 0 && !s.leftJustify) out.append(static_cast<std::size_t>(pad), ' ');
  out += text;
  if (pad > 0 && s.leftJustify) out.append(static_cast<std::size_t>(pad), ' ');
}

// Spark's %s text of row i of v (its internal value's toString).
std::string sparkString(const Vector& v, std::size_t i) {
  if (v.isNull(i)) return "null";
  const DataType& t = v.type();
  switch (t.id()) {
    case TypeId::Boolean: return v.data<std::uint8_t>()[i] ? "true" : "false";
    case TypeId::Byte: return std::to_string(v.data<std::int8_t>()[i]);
    case TypeId::Short: return std::to_string(v.data<std::int16_t>()[i]);
    case TypeId::Integer:
    case TypeId::Date:
    case TypeId::YearMonthInterval: return std::to_string(v.data<std::int32_t>()[i]);
    case TypeId::Long:
    case TypeId::Timestamp:
    case TypeId::DayTimeInterval: return std::to_string(v.data<std::int64_t>()[i]);
    case TypeId::Float: return javaFloatString(v.data<float>()[i]);
    case TypeId::Double: return javaDoubleString(v.data<double>()[i]);
    case TypeId::Decimal: return javaBigDecimalString(v.data<__int128>()[i], t.scale());
    case TypeId::String: return std::string(v.str(i));
    default: return v.get(i).toString();
  }
}

}  // namespace

std::string javaBigDecimalString(__int128 unscaled, int scale) {
  bool neg = unscaled < 0;
  unsigned __int128 u = neg ? static_cast<unsigned __int128>(-(unscaled + 1)) + 1 : static_cast<unsigned __int128>(unscaled);
  std::string digits = uint128Digits(u);
  const long adjusted = -static_cast<long>(scale) + static_cast<long>(digits.size() - 1);
  std::string out;
  if (scale >= 0 && adjusted >= -6) {
    if (scale == 0) {
      out = digits;
    } else if (digits.size() > static_cast<std::size_t>(scale)) {
      out = digits.substr(0, digits.size() - static_cast<std::size_t>(scale)) + "." +
            digits.substr(digits.size() - static_cast<std::size_t>(scale));
    } else {
      out = "0." + std::string(static_cast<std::size_t>(scale) - digits.size(), '0') + digits;
    }
  } else {
    out = digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    out += "E";
    if (adjusted > 0) out += "+";
    out += std::to_string(adjusted);
  }
  return neg ? "-" + out : out;
}

std::shared_ptr<const JavaFormat> JavaFormat::compile(const std::string& pattern) {
  auto f = std::make_shared<JavaFormat>();
  f->pattern_ = pattern;
  int ordinary = 0;
  std::string lit;
  std::size_t i = 0;
  while (i < pattern.size()) {
    char c = pattern[i];
    if (c != '%') {
      lit.push_back(c);
      ++i;
      continue;
    }
    std::size_t start = i++;
    Spec s;
    s.literal = false;
    // %[argument_index$][flags][width][.precision]conversion
    std::size_t j = i;
    int num = 0;
    bool hasNum = false;
    while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j]))) {
      num = std::min(num * 10 + (pattern[j] - '0'), 1000000);
      ++j;
      hasNum = true;
    }
    if (hasNum && j < pattern.size() && pattern[j] == '$') {
      if (num == 0) formatError(fmt::format("Illegal argument index 0 in format \"{}\".", pattern));
      s.argIndex = num - 1;
      i = j + 1;
    }
    for (; i < pattern.size(); ++i) {
      char fl = pattern[i];
      if (fl == '-') s.leftJustify = true;
      else if (fl == '#') s.alternate = true;
      else if (fl == '+') s.plus = true;
      else if (fl == ' ') s.space = true;
      else if (fl == '0') s.zeroPad = true;
      else if (fl == ',') s.group = true;
      else if (fl == '(') s.parens = true;
      else if (fl == '<') formatError("Relative argument indexes (%<) are not supported.");
      else break;
    }
    if (i < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[i]))) {
      s.width = 0;
      while (i < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[i])))
        s.width = std::min(s.width * 10 + (pattern[i++] - '0'), 100000);
    }
    if (i < pattern.size() && pattern[i] == '.') {
      ++i;
      if (i >= pattern.size() || !std::isdigit(static_cast<unsigned char>(pattern[i])))
        formatError(fmt::format("Missing precision in format specifier '{}'.", pattern.substr(start, i - start)));
      s.precision = 0;
      while (i < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[i])))
        s.precision = std::min(s.precision * 10 + (pattern[i++] - '0'), 1000);
    }
    if (i >= pattern.size()) formatError(fmt::format("Unterminated format specifier '{}'.", pattern.substr(start)));
    char conv = pattern[i++];
    if ((s.leftJustify || s.zeroPad) && s.width < 0)
      formatError(fmt::format("Missing width in format specifier '{}'.", pattern.substr(start, i - start)));
    if (std::isupper(static_cast<unsigned char>(conv)) && std::string("SBHXEGC").find(conv) != std::string::npos) {
      s.upper = true;
      conv = static_cast<char>(std::tolower(static_cast<unsigned char>(conv)));
    }
    if (std::string("sbhdoxefgcn%").find(conv) == std::string::npos)
      formatError(fmt::format("Unknown format conversion '{}' in \"{}\".", pattern.substr(start, i - start), pattern));
    s.conv = conv;
    if (conv == '%' || conv == 'n') {
      lit += conv == '%' ? "%" : "\n";
      continue;
    }
    if (s.argIndex < 0) s.argIndex = ordinary++;
    if (!lit.empty()) {
      Spec l;
      l.text = std::move(lit);
      lit.clear();
      f->specs_.push_back(std::move(l));
    }
    f->specs_.push_back(std::move(s));
  }
  if (!lit.empty()) {
    Spec l;
    l.text = std::move(lit);
    f->specs_.push_back(std::move(l));
  }
  return f;
}

void JavaFormat::format(const std::vector<const Vector*>& args, std::size_t row, std::string& out) const {
  for (const Spec& s : specs_) {
    if (s.literal) {
      out += s.text;
      continue;
    }
    if (s.argIndex >= static_cast<int>(args.size()))
      formatError(fmt::format("Format specifier '%{}' in \"{}\" has no argument (only {} given).", s.conv, pattern_,
                              args.size()));
    const Vector& v = *args[static_cast<std::size_t>(s.argIndex)];
    const DataType& t = v.type();
    const bool null = v.isNull(row);
    auto mismatch = [&]() {
      formatError(fmt::format("Conversion '{}' cannot format a value of type {} (in \"{}\").", s.conv,
                              t.simpleString(), pattern_));
    };
    switch (s.conv) {
      case 's': {
        std::string text = sparkString(v, row);
        if (s.precision >= 0) truncateChars(text, s.precision);
        justify(s, text, out);
        break;
      }
      case 'b': {
        std::string text = null ? "false" : (t.isBoolean() ? (v.data<std::uint8_t>()[row] ? "true" : "false") : "true");
        if (s.precision >= 0) truncateChars(text, s.precision);
        justify(s, text, out);
        break;
      }
      case 'h': {
        justify(s, null ? "null" : fmt::format("{:x}", static_cast<std::uint64_t>(std::hash<std::string>{}(sparkString(v, row))) & 0xffffffffu), out);
        break;
      }
      case 'c': {
        if (null) {
          justify(s, "null", out);
          break;
        }
        if (!t.isIntegral()) mismatch();
        std::int64_t cp = v.get(row).toInt64();
        std::string text;
        if (cp < 0 || cp > 0x10FFFF) formatError(fmt::format("Code point {} is not valid for %c.", cp));
        encodeUtf8(static_cast<char32_t>(cp), text);
        justify(s, text, out);
        break;
      }
      case 'd':
      case 'o':
      case 'x': {
        if (null) {
          justify(s, "null", out);
          break;
        }
        // Spark hands decimals to the formatter as its own Decimal class, which Java's %d/%o/%x reject.
        if (!t.isIntegral()) mismatch();
        std::int64_t x = v.get(row).toInt64();
        if (s.conv == 'd') {
          std::uint64_t mag = x < 0 ? static_cast<std::uint64_t>(-(x + 1)) + 1 : static_cast<std::uint64_t>(x);
          justify(s, finishNumber(s, x < 0, std::to_string(mag)), out);
        } else {
          // Java prints negative values as the two's complement of the argument's width.
          std::uint64_t bits = static_cast<std::uint64_t>(x);
          switch (t.id()) {
            case TypeId::Byte: bits &= 0xffu; break;
            case TypeId::Short: bits &= 0xffffu; break;
            case TypeId::Integer: bits &= 0xffffffffu; break;
            default: break;
          }
          std::string text = s.conv == 'x' ? fmt::format("{:x}", bits) : fmt::format("{:o}", bits);
          if (s.alternate) text = (s.conv == 'x' ? "0x" : "0") + text;
          if (s.zeroPad && s.width > static_cast<int>(text.size()))
            text = std::string(static_cast<std::size_t>(s.width) - text.size(), '0') + text;
          justify(s, text, out);
        }
        break;
      }
      case 'e':
      case 'f':
      case 'g': {
        if (null) {
          justify(s, "null", out);
          break;
        }
        Digits d;
        if (t.isFloating()) {
          double x = t.id() == TypeId::Float ? static_cast<double>(v.data<float>()[row]) : v.data<double>()[row];
          if (std::isnan(x) || std::isinf(x)) {
            std::string text = std::isnan(x) ? "NaN" : (x > 0 ? (s.plus ? "+Infinity" : "Infinity") : (s.parens ? "(Infinity)" : "-Infinity"));
            justify(s, text, out);
            break;
          }
          d = t.id() == TypeId::Float ? doubleDigits(std::stod(javaFloatString(v.data<float>()[row]))) : doubleDigits(x);
        } else {
          mismatch();  // includes decimals, which Spark passes as a class Java's %f/%e/%g reject
        }
        int prec = s.precision < 0 ? 6 : s.precision;
        std::string mag;
        Digits absd = d;
        absd.negative = false;
        bool isZero = d.digits == "0";
        if (s.conv == 'f') {
          mag = fixedText(absd, prec);
        } else if (s.conv == 'e') {
          mag = scientificText(absd, prec, s.upper);
        } else {
          if (prec == 0) prec = 1;
          // Java: after rounding to `prec` significant digits, use fixed notation when 1e-4 <= x < 10^prec.
          std::string sci = scientificText(absd, prec - 1, false);
          int exp = std::atoi(sci.substr(sci.find('e') + 1).c_str());
          if (isZero || (exp >= -4 && exp < prec)) {
            mag = fixedText(absd, prec - 1 - (isZero ? 0 : exp));
          } else {
            mag = scientificText(absd, prec - 1, s.upper);
          }
        }
        bool neg = d.negative;
        justify(s, finishNumber(s, neg, mag, s.conv != 'e'), out);
        break;
      }
      default:
        formatError(fmt::format("Unsupported conversion '{}'.", s.conv));
    }
  }
}

}  // namespace engine::local
