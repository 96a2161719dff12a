#include "inline_table.h"

#include <charconv>
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <vector>

#include "cli_error.h"
#include "engine/types.h"
#include "engine/value.h"
#include "engine/vector.h"

namespace cli {

namespace {

using engine::DataType;
using engine::TypeId;
using engine::Value;
using nlohmann::json;

// Thrown by the value converters; the caller adds the row and column.
struct BadValue {
  std::string reason;
};

// The first characters of a value's JSON text, for messages. Only as much of the value is serialised as
// is shown (a row of a million values costs nothing), and values are no deeper than kMaxJsonDepth.
void appendShort(std::string& out, const json& v, std::size_t limit) {
  if (out.size() >= limit) return;
  if (v.is_array() || v.is_object()) {
    out.push_back(v.is_array() ? '[' : '{');
    bool first = true;
    for (auto it = v.begin(); it != v.end() && out.size() < limit; ++it) {
      if (!first) out.push_back(',');
      first = false;
      if (v.is_object()) out += json(it.key()).dump(-1, ' ', false, json::error_handler_t::replace) + ":";
      appendShort(out, it.value(), limit);
    }
    out.push_back(v.is_array() ? ']' : '}');
    return;
  }
  std::string s = v.dump(-1, ' ', false, json::error_handler_t::replace);
  out.append(s, 0, std::min(s.size(), limit + 1 - std::min(limit, out.size())));
}

std::string shortText(const json& v) {
  std::string s;
  appendShort(s, v, 41);
  if (s.size() > 40) s = s.substr(0, 37) + "...";
  return s;
}

std::string shortText(const std::string& text) {
  return text.size() > 40 ? text.substr(0, 37) + "..." : text;
}

[[noreturn]] void bad(const json& v, const DataType& t) {
  throw BadValue{"cannot read " + shortText(v) + " as " + t.simpleString()};
}

engine::int128_t pow10(int n) {
  engine::int128_t p = 1;
  for (int i = 0; i < n; ++i) p *= 10;
  return p;
}

std::int64_t integralValue(const json& v, const DataType& t, std::int64_t lo, std::int64_t hi) {
  std::int64_t x = 0;
  if (v.is_number_unsigned()) {
    const auto u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) bad(v, t);
    x = static_cast<std::int64_t>(u);
  } else if (v.is_number_integer()) {
    x = v.get<std::int64_t>();
  } else {
    bad(v, t);
  }
  if (x < lo || x > hi) throw BadValue{shortText(v) + " is out of range for " + t.simpleString()};
  return x;
}

double floatingValue(const json& v, const DataType& t) {
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) {
    const auto& s = v.get_ref<const std::string&>();
    if (s == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (s == "Infinity" || s == "Inf" || s == "+Infinity") return std::numeric_limits<double>::infinity();
    if (s == "-Infinity" || s == "-Inf") return -std::numeric_limits<double>::infinity();
  }
  bad(v, t);
}

engine::Decimal decimalValue(const json& v, const DataType& t) {
  std::string text;
  if (v.is_string()) {
    text = v.get<std::string>();
  } else if (v.is_number_integer() || v.is_number_unsigned()) {
    text = v.dump();
  } else if (v.is_number_float()) {
    const double d = v.get<double>();
    if (!std::isfinite(d)) bad(v, t);
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof(buf), d);
    text.assign(buf, res.ptr);
  } else {
    bad(v, t);
  }
  const auto parsed = engine::Decimal::parse(text);
  if (!parsed) bad(v, t);
  engine::int128_t unscaled = parsed->unscaled;
  const int from = parsed->scale;
  const int to = t.scale();
  if (to >= from) {
    // Checked before multiplying so that no value too wide for the column can overflow 128 bits.
    int digitsNeeded = to - from;
    for (engine::int128_t a = unscaled < 0 ? -unscaled : unscaled; a != 0; a /= 10) ++digitsNeeded;
    if (digitsNeeded > t.precision()) throw BadValue{shortText(v) + " does not fit " + t.simpleString()};
    unscaled *= pow10(to - from);
  } else {
    const engine::int128_t div = pow10(from - to);
    const engine::int128_t q = unscaled / div;
    const engine::int128_t r = unscaled % div;
    unscaled = q;
    // Half-up rounding (away from zero on a tie), as Spark rounds decimals to a narrower scale.
    if (r * 2 >= div) ++unscaled;
    if (r * 2 <= -div) --unscaled;
  }
  const engine::int128_t limit = pow10(t.precision());
  if (unscaled >= limit || unscaled <= -limit) throw BadValue{shortText(v) + " does not fit " + t.simpleString()};
  return engine::Decimal{unscaled, static_cast<std::uint8_t>(t.precision()), static_cast<std::uint8_t>(t.scale())};
}

// Reads exactly `width` digits at s[pos].
bool digits(const std::string& s, std::size_t& pos, int width, int& out) {
  if (pos + static_cast<std::size_t>(width) > s.size()) return false;
  out = 0;
  for (int i = 0; i < width; ++i) {
    const char c = s[pos + static_cast<std::size_t>(i)];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  pos += static_cast<std::size_t>(width);
  return true;
}

bool validDate(int y, int m, int d) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || d < 1) return false;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= kDays[m - 1] + (m == 2 && leap ? 1 : 0);
}

// yyyy-MM-dd at the start of s; advances pos.
std::optional<std::int32_t> parseDatePart(const std::string& s, std::size_t& pos) {
  int y = 0, m = 0, d = 0;
  if (!digits(s, pos, 4, y) || pos >= s.size() || s[pos++] != '-' || !digits(s, pos, 2, m) || pos >= s.size() ||
      s[pos++] != '-' || !digits(s, pos, 2, d) || !validDate(y, m, d)) {
    return std::nullopt;
  }
  return engine::daysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
}

std::int32_t dateValue(const json& v, const DataType& t) {
  if (!v.is_string()) bad(v, t);
  const auto& s = v.get_ref<const std::string&>();
  std::size_t pos = 0;
  const auto days = parseDatePart(s, pos);
  if (!days || pos != s.size()) bad(v, t);
  return *days;
}

std::int64_t timestampValue(const json& v, const DataType& t) {
  if (!v.is_string()) bad(v, t);
  const auto& s = v.get_ref<const std::string&>();
  std::size_t pos = 0;
  const auto days = parseDatePart(s, pos);
  if (!days) bad(v, t);
  std::int64_t micros = static_cast<std::int64_t>(*days) * 86'400'000'000LL;
  if (pos == s.size()) return micros;
  if (s[pos] != ' ' && s[pos] != 'T') bad(v, t);
  ++pos;
  int hh = 0, mm = 0, ss = 0;
  if (!digits(s, pos, 2, hh) || pos >= s.size() || s[pos++] != ':' || !digits(s, pos, 2, mm)) bad(v, t);
  if (pos < s.size() && s[pos] == ':') {
    ++pos;
    if (!digits(s, pos, 2, ss)) bad(v, t);
  }
  if (hh > 23 || mm > 59 || ss > 59) bad(v, t);
  std::int64_t fraction = 0;
  if (pos < s.size() && s[pos] == '.') {
    ++pos;
    int n = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
      if (n == 6) bad(v, t);
      fraction = fraction * 10 + (s[pos++] - '0');
      ++n;
    }
    if (n == 0) bad(v, t);
    for (; n < 6; ++n) fraction *= 10;
  }
  micros += ((hh * 60LL + mm) * 60 + ss) * 1'000'000LL + fraction;
  if (pos < s.size()) {
    if (s[pos] == 'Z' && pos + 1 == s.size()) return micros;
    const char sign = s[pos++];
    int oh = 0, om = 0;
    if ((sign != '+' && sign != '-') || !digits(s, pos, 2, oh) || pos >= s.size() || s[pos++] != ':' ||
        !digits(s, pos, 2, om) || pos != s.size() || oh > 18 || om > 59) {
      bad(v, t);
    }
    const std::int64_t offset = (oh * 60LL + om) * 60'000'000LL;
    micros += sign == '+' ? -offset : offset;  // the text is local time at that offset; store UTC
  }
  return micros;
}

Value toValue(const json& v, const DataType& t) {
  if (v.is_null()) return Value();
  switch (t.id()) {
    case TypeId::Null:
      bad(v, t);
    case TypeId::Boolean:
      if (!v.is_boolean()) bad(v, t);
      return Value(v.get<bool>());
    case TypeId::Byte:
      return Value(static_cast<std::int8_t>(integralValue(v, t, INT8_MIN, INT8_MAX)));
    case TypeId::Short:
      return Value(static_cast<std::int16_t>(integralValue(v, t, INT16_MIN, INT16_MAX)));
    case TypeId::Integer:
      return Value(static_cast<std::int32_t>(integralValue(v, t, INT32_MIN, INT32_MAX)));
    case TypeId::Long:
      return Value(static_cast<long long>(integralValue(v, t, INT64_MIN, INT64_MAX)));
    case TypeId::Float:
      return Value(static_cast<float>(floatingValue(v, t)));
    case TypeId::Double:
      return Value(floatingValue(v, t));
    case TypeId::Decimal:
      return Value(decimalValue(v, t));
    case TypeId::String:
      if (!v.is_string()) bad(v, t);
      return Value(v.get<std::string>());
    case TypeId::Date:
      return Value(engine::Date{dateValue(v, t)});
    case TypeId::Timestamp:
      return Value(engine::Timestamp{timestampValue(v, t)});
    case TypeId::Array: {
      if (!v.is_array()) bad(v, t);
      std::vector<Value> elements;
      elements.reserve(v.size());
      for (const auto& e : v) elements.push_back(toValue(e, t.elementType()));
      return Value::array(t.elementType(), std::move(elements));
    }
    case TypeId::YearMonthInterval:
    case TypeId::DayTimeInterval:
      break;  // not a column type of an inline table
  }
  bad(v, t);
}

}  // namespace

json parseBoundedJson(std::istream& in) {
  // The parser itself keeps its nesting on the heap, but every later walk of the document (conversion,
  // serialisation, destruction) recurses: the depth is bounded while parsing.
  const json::parser_callback_t bound = [](int depth, json::parse_event_t, json&) {
    if (depth > kMaxJsonDepth)
      throw std::length_error("nested more than " + std::to_string(kMaxJsonDepth) + " levels deep");
    return true;
  };
  return json::parse(in, bound);
}

engine::LocalTable inlineTableFromJson(const json& doc, const std::string& name) {
  const std::string where = "table " + name + ": ";
  if (!doc.is_object()) throw CliError(where + "expected a JSON object with \"schema\" and \"rows\"");
  const auto schemaIt = doc.find("schema");
  const auto rowsIt = doc.find("rows");
  if (schemaIt == doc.end() || !schemaIt->is_array() || schemaIt->empty()) {
    throw CliError(where + "\"schema\" must be a non-empty list of [name, type] pairs");
  }
  if (rowsIt == doc.end() || !rowsIt->is_array()) throw CliError(where + "\"rows\" must be a list of rows");

  engine::StructType schema;
  for (std::size_t i = 0; i < schemaIt->size(); ++i) {
    const auto& f = (*schemaIt)[i];
    if (!f.is_array() || f.size() != 2 || !f[0].is_string() || !f[1].is_string()) {
      throw CliError(where + "schema entry " + std::to_string(i + 1) + " must be [name, type], got " + shortText(f));
    }
    const auto type = DataType::parse(f[1].get<std::string>());
    if (!type || type->isNull()) {
      throw CliError(where + "unknown type '" + shortText(f[1].get<std::string>()) + "' for column '" +
                     shortText(f[0].get<std::string>()) + "' (or arrays nested more than 64 deep)");
    }
    schema.add(f[0].get<std::string>(), *type);
  }

  const std::size_t cols = schema.size();
  const std::size_t rows = rowsIt->size();
  std::vector<std::vector<Value>> columns(cols);
  for (auto& c : columns) c.reserve(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    const auto& row = (*rowsIt)[r];
    if (!row.is_array() || row.size() != cols) {
      throw CliError(where + "row " + std::to_string(r + 1) + " must be a list of " + std::to_string(cols) +
                     " values, got " + shortText(row));
    }
    for (std::size_t c = 0; c < cols; ++c) {
      try {
        columns[c].push_back(toValue(row[c], schema[c].dataType));
      } catch (const BadValue& e) {
        throw CliError(where + "row " + std::to_string(r + 1) + ", column '" + schema[c].name + "': " + e.reason);
      }
    }
  }
  std::vector<engine::VectorPtr> vectors;
  vectors.reserve(cols);
  for (std::size_t c = 0; c < cols; ++c) vectors.push_back(engine::Vector::fromValues(schema[c].dataType, columns[c]));
  return engine::LocalTable(std::move(schema), std::move(vectors), rows);
}

engine::LocalTable loadInlineTable(const std::string& path, const std::string& name) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw CliError("table " + name + ": " + path + " is a folder, not a JSON file");
  std::ifstream in(path);
  if (!in) {
    const int error = errno;
    throw CliError("table " + name + ": cannot open " + path + ": " + std::strerror(error));
  }
  json doc;
  try {
    doc = parseBoundedJson(in);
  } catch (const json::exception& e) {
    throw CliError("table " + name + ": " + path + " is not valid JSON (" + e.what() + ")");
  } catch (const std::length_error& e) {
    throw CliError("table " + name + ": " + path + ": " + e.what());
  }
  return inlineTableFromJson(doc, name);
}

}  // namespace cli
