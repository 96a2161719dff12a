#include "engine/local_table.h"

#include <algorithm>

#include <fmt/format.h>

#include "engine/errors.h"

namespace engine {

namespace {
std::shared_ptr<const std::vector<std::string>> namesOf(const StructType& s) {
  return std::make_shared<const std::vector<std::string>>(s.names());
}
}  // namespace

LocalTable::LocalTable(StructType schema, std::vector<VectorPtr> columns, std::size_t rows)
    : schema_(std::move(schema)), columns_(std::move(columns)), rows_(rows), names_(namesOf(schema_)) {
  if (columns_.size() != schema_.size())
    throw std::invalid_argument(fmt::format("local table with {} fields but {} columns", schema_.size(), columns_.size()));
  for (const auto& c : columns_)
    if (c->size() != rows_) throw std::invalid_argument("local table columns of different lengths");
}

LocalTable LocalTable::fromRows(const StructType& schema, const std::vector<Row>& rows) {
  std::vector<VectorPtr> cols;
  for (std::size_t c = 0; c < schema.size(); ++c) {
    std::vector<Value> values;
    values.reserve(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (rows[r].size() != schema.size())
        throw AnalysisException(fmt::format(
            "[AXIS_LENGTH_MISMATCH] Row {} has {} values but the schema has {} fields.", r, rows[r].size(), schema.size()));
      values.push_back(rows[r][c]);
    }
    try {
      cols.push_back(Vector::fromValues(schema[c].dataType, values));
    } catch (const AnalysisException& e) {
      throw AnalysisException(fmt::format("Field `{}`: {}", schema[c].name, e.what()));
    }
  }
  return LocalTable(schema, std::move(cols), rows.size());
}

const Vector& LocalTable::column(const std::string& name) const {
  if (auto i = schema_.indexOf(name)) return *columns_[*i];
  std::string available;
  for (const auto& n : schema_.names()) available += (available.empty() ? "`" : ", `") + n + "`";
  throw AnalysisException(fmt::format("No column `{}` in the table; available columns: [{}].", name, available));
}

Row LocalTable::row(std::size_t i) const {
  std::vector<Value> values;
  values.reserve(columns_.size());
  for (const auto& c : columns_) values.push_back(c->get(i));
  return Row(names_, std::move(values));
}

std::vector<Row> LocalTable::rows() const {
  std::vector<Row> out;
  out.reserve(rows_);
  for (std::size_t i = 0; i < rows_; ++i) out.push_back(row(i));
  return out;
}

std::optional<std::pair<std::size_t, Row>> LocalTable::RowRange::next() {
  if (pos_ >= t_->size()) return std::nullopt;
  std::size_t i = pos_++;
  return std::make_pair(i, t_->row(i));
}

LocalTable::RowRange LocalTable::iterrows() const { return RowRange(std::make_shared<const LocalTable>(*this)); }

std::string LocalTable::toString(std::size_t maxRows) const {
  const std::size_t shown = std::min(maxRows, rows_);
  std::vector<std::vector<std::string>> cells(shown + 1);
  for (const auto& f : schema_.fields()) cells[0].push_back(f.name);
  for (std::size_t r = 0; r < shown; ++r)
    for (const auto& c : columns_) cells[r + 1].push_back(c->isNull(r) ? "NULL" : c->get(r).toString());
  std::vector<std::size_t> width(schema_.size(), 0);
  for (const auto& row : cells)
    for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  std::string sep = "+";
  for (auto w : width) sep += std::string(w + 2, '-') + "+";
  std::string out = sep + "\n";
  for (std::size_t r = 0; r < cells.size(); ++r) {
    out += "|";
    for (std::size_t c = 0; c < cells[r].size(); ++c) out += " " + fmt::format("{:<{}}", cells[r][c], width[c]) + " |";
    out += "\n";
    if (r == 0) out += sep + "\n";
  }
  out += sep + "\n";
  if (rows_ > shown) out += fmt::format("only showing top {} rows\n", shown);
  return out;
}

}  // namespace engine
