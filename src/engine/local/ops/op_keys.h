// Key machinery shared by the operators: encoding of key columns into comparable words or bytes,
// hashing, an open-addressing group table, row comparison with Spark's ordering, and gathering rows
// scattered over partitions.
//
// Equality follows Spark's grouping rules: NaN equals NaN, -0.0 equals 0.0, and (for grouping) null
// equals null. Integral keys of different widths encode alike (as int64), and so do float and double,
// so keys of two inputs compare equal whenever their values do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "engine/types.h"
#include "engine/vector.h"
#include "engine/local/expr/bound_expr.h"
#include "engine/local/plan/exec_context.h"

namespace engine::local {

inline std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// Order-free canonical bits of a double: every NaN one pattern, -0.0 as 0.0.
inline std::uint64_t canonicalDoubleBits(double d) {
  if (d != d) return 0x7ff8000000000000ULL;
  if (d == 0.0) return 0;
  std::uint64_t b;
  std::memcpy(&b, &d, 8);
  return b;
}

// Number of threads the pool runs on.
std::size_t workerCount();

struct EncodedKeys {
  std::size_t n = 0;
  std::vector<std::uint64_t> words;     // n * W words (fixed modes)
  std::vector<char> bytes;              // serialised keys (bytes mode)
  std::vector<std::uint64_t> offsets;   // n + 1 offsets into bytes
  std::vector<std::uint8_t> nulls;      // 1 when any key column is null (always filled in single mode)
  std::vector<std::uint64_t> hashes;

  std::string_view key(std::size_t i) const {
    return std::string_view(bytes.data() + offsets[i], offsets[i + 1] - offsets[i]);
  }
};

class KeyEncoder {
 public:
  // Single: one fixed-width key column, nulls kept apart (one word, two for decimals).
  // Fixed: several fixed-width columns packed into words plus one word of null bits.
  // Bytes: strings, arrays or very many columns, serialised with length prefixes.
  enum class Mode { Single, Fixed, Bytes };

  explicit KeyEncoder(std::vector<DataType> types);
  Mode mode() const { return mode_; }
  std::size_t width() const { return width_; }  // words per key in fixed modes
  const std::vector<DataType>& types() const { return types_; }

  // Encodes rows [begin, begin + n) of the key columns. `out` is reused between calls so that a warm
  // buffer costs no allocation. withNullFlags fills out.nulls in every mode.
  void encode(const std::vector<const Vector*>& cols, std::size_t begin, std::size_t n, EncodedKeys& out,
              bool withNullFlags = false) const;

 private:
  std::vector<DataType> types_;
  std::vector<std::size_t> colWords_;
  Mode mode_ = Mode::Bytes;
  std::size_t width_ = 0;
};

// Open-addressing table from encoded keys to dense group ids (0, 1, 2, ... in insertion order).
class GroupTable {
 public:
  explicit GroupTable(const KeyEncoder& enc);

  // gids[i] = group of row i, inserting new groups.
  void findOrInsert(const EncodedKeys& keys, std::uint32_t* gids);
  // gids[i] = group of row i, inserting new groups, for the rows whose key hash falls in hash range `part` of
  // `parts` (hashPart); the other rows get `other`.
  void findOrInsertPart(const EncodedKeys& keys, std::uint32_t* gids, std::size_t part, std::size_t parts,
                        std::uint32_t other);
  // gids[i] = group of row i or -1. Rows with a null key find nothing when !nullsMatch.
  void find(const EncodedKeys& keys, std::int64_t* gids, bool nullsMatch) const;
  // Group of other's group g in this table (inserting it when absent); both tables share the encoding.
  std::uint32_t insertFrom(const GroupTable& other, std::uint32_t g);
  std::int64_t findFrom(const GroupTable& other, std::uint32_t g) const;

  // Room for `groups` groups without rehashing.
  void reserve(std::size_t groups);

  std::size_t size() const { return hashes_.size(); }
  std::uint64_t hash(std::uint32_t g) const { return hashes_[g]; }

 private:
  std::uint32_t insertKey(std::uint64_t h, const std::uint64_t* w, std::string_view b, bool isNull);
  std::int64_t findKey(std::uint64_t h, const std::uint64_t* w, std::string_view b, bool isNull) const;
  void grow();
  bool equalAt(std::uint32_t g, const std::uint64_t* w, std::string_view b) const;

  KeyEncoder::Mode mode_;
  std::size_t width_;
  std::vector<std::uint64_t> slots_;  // 0 empty, else (hash high 32 bits << 32) | (gid + 1)
  std::size_t mask_ = 0;
  std::vector<std::uint64_t> hashes_;
  std::vector<std::uint64_t> words_;
  std::vector<char> bytes_;
  std::vector<std::uint64_t> offsets_{0};
  std::int64_t nullGroup_ = -1;
};

constexpr std::uint64_t kNullKeyHash = 0x9e3779b97f4a7c15ULL;

// Hash partition of a key hash among n parts (uses high bits, independent of the table slot bits).
inline std::size_t hashPart(std::uint64_t h, std::size_t n) {
  return static_cast<std::size_t>(((h >> 32) * n) >> 32);
}

// Compares two non-null values of the same type with Spark's ascending order (NaN above every
// number, -0.0 equal to 0.0, strings bytewise, arrays element-wise with nulls first).
int compareValues(const Vector& a, std::size_t i, const Vector& b, std::size_t j);

// A row in a list of partitions: partition index in the high bits, row in the low 40 bits.
using RowRef = std::int64_t;
inline RowRef makeRef(std::size_t part, std::size_t row) {
  return static_cast<RowRef>((static_cast<std::uint64_t>(part) << 40) | row);
}
inline std::size_t refPart(RowRef r) { return static_cast<std::size_t>(static_cast<std::uint64_t>(r) >> 40); }
inline std::size_t refRow(RowRef r) { return static_cast<std::size_t>(r & ((std::int64_t{1} << 40) - 1)); }

// Vector of the referenced rows (negative ref = null row), one per ref, from per-partition vectors.
MutableVectorPtr gatherRefs(const std::vector<const Vector*>& parts, const DataType& type, const RowRef* refs,
                            std::size_t n);

// A plain reference to input column `index`, for expressions the operators build themselves.
BoundExprPtr opColumn(std::size_t index, const DataType& type);

// Evaluates expressions over every partition in parallel: result[p][e].
std::vector<std::vector<VectorPtr>> evalPerPartition(const Partitions& input, const std::vector<BoundExprPtr>& exprs,
                                                     const ExecContext& ctx);

// Column pointers of partition p.
std::vector<const Vector*> columnPtrs(const std::vector<VectorPtr>& cols);

// Row ranges cut from the partitions for parallel work: never larger than `maxRows`.
struct Morsel {
  std::size_t part, begin, end;
};
std::vector<Morsel> makeMorsels(const std::vector<std::size_t>& partRows, std::size_t maxRows);
std::size_t defaultMorselRows(std::size_t totalRows);

}  // namespace engine::local
