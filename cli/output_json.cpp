#include "output_json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <type_traits>
#include <variant>

#include <nlohmann/json.hpp>

namespace cli {

namespace {

void appendJsonString(std::string& out, const std::string& s) {
  // Invalid UTF-8 (possible in CSV input) is replaced rather than aborting the whole output.
  out += nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

template <class F>
void appendFloating(std::string& out, F v) {
  if (std::isnan(v)) {
    out += "\"NaN\"";
    return;
  }
  if (std::isinf(v)) {
    out += v > 0 ? "\"Infinity\"" : "\"-Infinity\"";
    return;
  }
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof(buf), v);
  std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
  out += text;
  // Keep floating values recognisable as such (1.0, not 1) for readers that distinguish the two.
  if (text.find_first_of(".eE") == std::string_view::npos) out += ".0";
}

std::string isoTimestamp(std::int64_t micros) {
  std::string text = engine::formatTimestamp(micros);
  const auto space = text.find(' ');
  if (space != std::string::npos) text[space] = 'T';
  return text + "Z";
}

}  // namespace

void appendJsonValue(std::string& out, const engine::Value& v) {
  std::visit(
      [&out](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          out += "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          out += x ? "true" : "false";
        } else if constexpr (std::is_integral_v<T>) {
          out += std::to_string(static_cast<std::int64_t>(x));
        } else if constexpr (std::is_floating_point_v<T>) {
          appendFloating(out, x);
        } else if constexpr (std::is_same_v<T, engine::Decimal>) {
          appendJsonString(out, x.toString());
        } else if constexpr (std::is_same_v<T, std::string>) {
          appendJsonString(out, x);
        } else if constexpr (std::is_same_v<T, engine::Date>) {
          appendJsonString(out, engine::formatDate(x.days));
        } else if constexpr (std::is_same_v<T, engine::Timestamp>) {
          appendJsonString(out, isoTimestamp(x.micros));
        } else if constexpr (std::is_same_v<T, engine::YearMonthIntervalValue> ||
                             std::is_same_v<T, engine::DayTimeIntervalValue>) {
          appendJsonString(out, engine::Value(x).toString());
        } else {
          static_assert(std::is_same_v<T, std::shared_ptr<const engine::ArrayValue>>);
          out.push_back('[');
          if (x) {
            for (std::size_t i = 0; i < x->elements.size(); ++i) {
              if (i) out.push_back(',');
              appendJsonValue(out, x->elements[i]);
            }
          }
          out.push_back(']');
        }
      },
      v.storage());
}

std::string jsonRow(const engine::LocalTable& table, std::size_t row) {
  const auto& schema = table.schema();
  std::string out = "{";
  for (std::size_t c = 0; c < table.numColumns(); ++c) {
    if (c) out.push_back(',');
    appendJsonString(out, schema[c].name);
    out.push_back(':');
    appendJsonValue(out, table.column(c).get(row));
  }
  out.push_back('}');
  return out;
}

void writeJsonLines(std::ostream& out, const engine::LocalTable& table, std::size_t maxRows) {
  const std::size_t rows = std::min(maxRows, table.numRows());
  for (std::size_t r = 0; r < rows; ++r) out << jsonRow(table, r) << '\n';
}

}  // namespace cli
