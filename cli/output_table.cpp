#include "output_table.h"

#include <algorithm>
#include <vector>

namespace cli {

namespace {

// As in Spark's show(), so that narrow columns keep a readable border.
constexpr std::size_t kMinimumColumnWidth = 3;

bool rightAligned(const engine::DataType& t) { return t.isNumeric(); }

void appendEscaped(std::string& out, const std::string& s) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7f) {
      out.push_back(c);
      continue;
    }
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\x";
        out.push_back(kHex[u >> 4]);
        out.push_back(kHex[u & 15]);
    }
  }
}

void appendPadded(std::string& out, const std::string& text, std::size_t width, bool right) {
  const std::size_t pad = width - std::min(width, displayWidth(text));
  if (right) out.append(pad, ' ');
  out += text;
  if (!right) out.append(pad, ' ');
}

void appendBorder(std::string& out, const std::vector<std::size_t>& widths) {
  out.push_back('+');
  for (const auto w : widths) {
    out.append(w, '-');
    out.push_back('+');
  }
  out.push_back('\n');
}

}  // namespace

std::size_t displayWidth(const std::string& text) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t len = 1;
    if (c >= 0xf0 && c < 0xf8) {
      len = 4;
    } else if (c >= 0xe0) {
      len = c < 0xf0 ? 3 : 1;
    } else if (c >= 0xc0) {
      len = 2;
    }
    // A truncated or malformed sequence counts byte by byte.
    bool ok = i + len <= text.size();
    for (std::size_t j = 1; ok && j < len; ++j) ok = (static_cast<unsigned char>(text[i + j]) & 0xc0) == 0x80;
    i += ok ? len : 1;
    ++n;
  }
  return n;
}

std::string cellText(const engine::Value& v) {
  if (v.isNull()) return "NULL";
  std::string out;
  appendEscaped(out, v.is<std::string>() ? v.str() : v.toString());
  return out;
}

std::string renderTable(const engine::LocalTable& table, std::size_t maxRows) {
  const auto& schema = table.schema();
  const std::size_t cols = table.numColumns();
  const std::size_t rows = std::min(maxRows, table.numRows());

  std::vector<std::string> header(cols);
  std::vector<std::size_t> widths(cols);
  std::vector<bool> right(cols);
  for (std::size_t c = 0; c < cols; ++c) {
    appendEscaped(header[c], schema[c].name);
    widths[c] = std::max(kMinimumColumnWidth, displayWidth(header[c]));
    right[c] = rightAligned(schema[c].dataType);
  }
  std::vector<std::string> cells(rows * cols);
  for (std::size_t c = 0; c < cols; ++c) {
    const auto& column = table.column(c);
    for (std::size_t r = 0; r < rows; ++r) {
      auto& cell = cells[r * cols + c];
      cell = cellText(column.get(r));
      widths[c] = std::max(widths[c], displayWidth(cell));
    }
  }

  std::string out;
  appendBorder(out, widths);
  out.push_back('|');
  for (std::size_t c = 0; c < cols; ++c) {
    appendPadded(out, header[c], widths[c], right[c]);
    out.push_back('|');
  }
  out.push_back('\n');
  appendBorder(out, widths);
  for (std::size_t r = 0; r < rows; ++r) {
    out.push_back('|');
    for (std::size_t c = 0; c < cols; ++c) {
      appendPadded(out, cells[r * cols + c], widths[c], right[c]);
      out.push_back('|');
    }
    out.push_back('\n');
  }
  appendBorder(out, widths);
  if (table.numRows() > rows) {
    out += "only showing top " + std::to_string(rows) + (rows == 1 ? " row\n" : " rows\n");
  }
  return out;
}

}  // namespace cli
