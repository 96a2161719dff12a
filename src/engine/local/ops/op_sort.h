// Sort keys normalised into unsigned words whose plain comparison gives Spark's ordering (direction,
// null placement, NaN above every number, -0.0 equal to 0.0 folded in), so that sorting compares
// integers instead of switching on types. Strings and arrays keep a comparison on their values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/types.h"
#include "engine/vector.h"

namespace engine::local {

struct SortSpec {
  bool ascending = true;
  bool nullsFirst = true;
};

class SortKeyMatrix {
 public:
  // cols[k][p]: key k over partition p. Rows are numbered by their position in the concatenation of
  // the partitions.
  SortKeyMatrix(const std::vector<std::vector<const Vector*>>& cols, const std::vector<DataType>& types,
                const std::vector<SortSpec>& specs, const std::vector<std::size_t>& partRows);

  std::size_t rows() const { return rows_; }
  // Row numbers in sorted order; ties keep their input order. Runs in parallel. Afterwards the matrix
  // itself is in sorted order: compare/equalKeys take sorted positions, so neighbours compare without
  // random memory access.
  std::vector<std::int64_t> sortInPlace();
  // Three-way comparison of rows a and b over all keys.
  int compare(std::int64_t a, std::int64_t b) const { return compareKeys(a, b, 0, keys_.size()); }
  // Whether rows a and b agree on keys [begin, end) (nulls equal each other).
  bool equalKeys(std::int64_t a, std::int64_t b, std::size_t begin, std::size_t end) const {
    return compareKeys(a, b, begin, end) == 0;
  }

 private:
  struct Key {
    std::size_t wordBegin = 0, wordCount = 0;  // in the row-major word matrix
    VectorPtr var;                              // strings/arrays: values concatenated over partitions
    bool descending = false;
    bool hasNullWord = false;
  };
  int compareKeys(std::int64_t a, std::int64_t b, std::size_t begin, std::size_t end) const;

  std::size_t rows_ = 0;
  std::size_t width_ = 0;  // words per row
  std::vector<Key> keys_;
  std::vector<std::uint64_t> words_;
  bool anyVar_ = false;
};

}  // namespace engine::local
