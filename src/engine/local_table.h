// A small, fully materialised table in the calling process: the result of DataFrame::toPandas() and
// the batch type handed to vectorised user functions. Columnar; rows are built on demand.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/row.h"
#include "engine/types.h"
#include "engine/vector.h"

namespace engine {

class LocalTable {
 public:
  LocalTable() = default;
  LocalTable(StructType schema, std::vector<VectorPtr> columns, std::size_t rows);
  // Builds a table from boxed rows (each row converted to the schema's types).
  static LocalTable fromRows(const StructType& schema, const std::vector<Row>& rows);

  const StructType& schema() const { return schema_; }
  std::vector<std::string> columns() const { return schema_.names(); }
  std::size_t size() const { return rows_; }       // row count
  std::size_t numRows() const { return rows_; }
  std::size_t numColumns() const { return columns_.size(); }
  bool empty() const { return rows_ == 0; }
  const Vector& column(std::size_t i) const { return *columns_.at(i); }
  // Column by exact name; throws AnalysisException listing the columns.
  const Vector& column(const std::string& name) const;
  const VectorPtr& columnPtr(std::size_t i) const { return columns_.at(i); }
  const std::vector<VectorPtr>& columnVectors() const { return columns_; }
  Value at(std::size_t row, std::size_t col) const { return columns_.at(col)->get(row); }

  Row row(std::size_t i) const;
  std::vector<Row> rows() const;

  // iterrows(): (position, row) pairs, in row order. Rows are materialised lazily by the iterator.
  class RowIterator {
   public:
    using value_type = std::pair<std::size_t, Row>;
    RowIterator(const LocalTable* t, std::size_t i) : t_(t), i_(i) {}
    value_type operator*() const { return {i_, t_->row(i_)}; }
    RowIterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator==(const RowIterator& o) const { return i_ == o.i_; }
    bool operator!=(const RowIterator& o) const { return i_ != o.i_; }

   private:
    const LocalTable* t_;
    std::size_t i_;
  };
  class RowRange {
   public:
    explicit RowRange(std::shared_ptr<const LocalTable> t) : t_(std::move(t)) {}
    RowIterator begin() const { return RowIterator(t_.get(), 0); }
    RowIterator end() const { return RowIterator(t_.get(), t_->size()); }
    // Advances through the rows like Python's next(); nullopt when exhausted.
    std::optional<std::pair<std::size_t, Row>> next();

   private:
    std::shared_ptr<const LocalTable> t_;
    std::size_t pos_ = 0;
  };
  // The range keeps a copy of the table alive, so it may outlive this object.
  RowRange iterrows() const;

  // Aligned text rendering (like DataFrame.show()).
  std::string toString(std::size_t maxRows = 20) const;

 private:
  StructType schema_;
  std::vector<VectorPtr> columns_;
  std::size_t rows_ = 0;
  std::shared_ptr<const std::vector<std::string>> names_;
};

}  // namespace engine
