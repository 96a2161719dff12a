// Columnar data: a typed column vector with a validity bitmap, and a batch of equally long vectors.
//
// Physical layout per type (data<T>()):
//   Boolean uint8_t (0/1) | Byte int8_t | Short int16_t | Integer, Date int32_t | Long, Timestamp int64_t
//   Float float | Double double | Decimal int128_t (unscaled; precision/scale in the type)
//   String: offsets() holds size()+1 int64 offsets into chars(); value i is chars[off[i], off[i+1])
//   Array:  offsets() into the child vector child(); element j of row i is child[off[i] + j]
//   Null:   no data, every row invalid.
// The data slot of a null row holds an unspecified (but initialised) value; kernels may compute on it
// freely and mask with the validity afterwards. Vectors are built once and then shared read-only
// (VectorPtr is a shared_ptr to const).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/types.h"
#include "engine/value.h"

namespace engine {

// Validity bitmap: bit i set = row i is valid (not null). An empty bitmap means all rows are valid,
// which lets kernels take a fast path.
class Validity {
 public:
  bool allValid() const { return words_.empty(); }
  bool isValid(std::size_t i) const { return words_.empty() || ((words_[i >> 6] >> (i & 63)) & 1u); }
  bool isNull(std::size_t i) const { return !isValid(i); }
  // Materialises the bitmap for n rows (all valid) if it is not yet materialised.
  void ensureMaterialized(std::size_t n);
  void setNull(std::size_t i) {  // requires ensureMaterialized
    words_[i >> 6] &= ~(std::uint64_t{1} << (i & 63));
  }
  void setValid(std::size_t i) { words_[i >> 6] |= (std::uint64_t{1} << (i & 63)); }
  void set(std::size_t i, bool valid) { valid ? setValid(i) : setNull(i); }
  // Makes every row of n invalid.
  void setAllNull(std::size_t n);
  // Drops the bitmap if every one of n rows is valid.
  void compact(std::size_t n);
  std::size_t countNulls(std::size_t n) const;
  std::uint64_t* words() { return words_.data(); }
  const std::uint64_t* words() const { return words_.data(); }
  std::vector<std::uint64_t>& storage() { return words_; }
  static std::size_t wordsFor(std::size_t n) { return (n + 63) / 64; }

 private:
  std::vector<std::uint64_t> words_;
};

// Allocator whose resize leaves new elements uninitialised: a vector filled right after (a copy from another
// buffer) need not be zeroed first. Value-initialisation written out (assign(n, 0)) still zeroes.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

class Vector;
using VectorPtr = std::shared_ptr<const Vector>;
using MutableVectorPtr = std::shared_ptr<Vector>;

class Vector {
 public:
  // A vector of n rows, all valid, data zero-initialised (strings empty, arrays empty).
  Vector(DataType type, std::size_t n);
  static MutableVectorPtr make(DataType type, std::size_t n) { return std::make_shared<Vector>(std::move(type), n); }
  // As make(), but the fixed-width values are left uninitialised: the caller writes every row (null rows too)
  // before the vector is read. Other types are made as by make().
  static MutableVectorPtr uninitialized(DataType type, std::size_t n);
  // A vector of n rows holding the same value (null included).
  static MutableVectorPtr constant(const Value& value, const DataType& type, std::size_t n);
  // A vector from boxed values, each converted to `type` (throws on a value that does not fit the type).
  static MutableVectorPtr fromValues(const DataType& type, const std::vector<Value>& values);

  const DataType& type() const { return type_; }
  std::size_t size() const { return size_; }

  template <class T>
  T* data() {
    return reinterpret_cast<T*>(data_.data());
  }
  template <class T>
  const T* data() const {
    return reinterpret_cast<const T*>(data_.data());
  }
  Validity& validity() { return validity_; }
  const Validity& validity() const { return validity_; }
  bool isNull(std::size_t i) const { return validity_.isNull(i); }
  bool isValid(std::size_t i) const { return validity_.isValid(i); }
  void setNull(std::size_t i) {
    validity_.ensureMaterialized(size_);
    validity_.setNull(i);
  }

  // Strings and arrays.
  std::int64_t* offsets() { return offsets_.data(); }
  const std::int64_t* offsets() const { return offsets_.data(); }
  std::vector<std::int64_t>& offsetStorage() { return offsets_; }
  std::vector<char>& chars() { return chars_; }
  const std::vector<char>& chars() const { return chars_; }
  std::string_view str(std::size_t i) const {
    return std::string_view(chars_.data() + offsets_[i], static_cast<std::size_t>(offsets_[i + 1] - offsets_[i]));
  }
  const VectorPtr& child() const { return child_; }
  void setChild(VectorPtr child) { child_ = std::move(child); }

  // Raw fixed-width storage (bytes); resized with the vector.
  using ByteStorage = std::vector<unsigned char, UninitializedAllocator<unsigned char>>;
  ByteStorage& rawData() { return data_; }

  // Boxed value of row i (slow path: results, tests, fallbacks).
  Value get(std::size_t i) const;
  // Memory held by this vector (bytes), for accounting.
  std::size_t memoryBytes() const;

 private:
  DataType type_;
  std::size_t size_ = 0;
  Validity validity_;
  ByteStorage data_;
  std::vector<std::int64_t> offsets_;
  std::vector<char> chars_;
  VectorPtr child_;
};

// Appends strings one at a time; produces a String vector.
class StringVectorBuilder {
 public:
  explicit StringVectorBuilder(std::size_t expectedRows = 0, std::size_t expectedBytes = 0);
  void append(std::string_view s);
  void appendNull();
  std::size_t size() const { return offsets_.size() - 1; }
  MutableVectorPtr finish();

 private:
  std::vector<std::int64_t> offsets_;
  std::vector<char> chars_;
  std::vector<std::size_t> nulls_;
};

// Appends boxed values of one type (slow path, for conversions and small results).
class ValueVectorBuilder {
 public:
  explicit ValueVectorBuilder(DataType type) : type_(std::move(type)) {}
  void append(const Value& v) { values_.push_back(v); }
  MutableVectorPtr finish() const { return Vector::fromValues(type_, values_); }

 private:
  DataType type_;
  std::vector<Value> values_;
};

// Row i of the result = row idx[i] of v; idx[i] < 0 gives a null row (outer-join null extension).
MutableVectorPtr take(const Vector& v, const std::int64_t* idx, std::size_t n);
inline MutableVectorPtr take(const Vector& v, const std::vector<std::int64_t>& idx) {
  return take(v, idx.data(), idx.size());
}
// Rows whose selection byte is non-zero, in order.
MutableVectorPtr filterBySelection(const Vector& v, const std::uint8_t* sel, std::size_t selectedCount);
// Rows [offset, offset + length).
MutableVectorPtr slice(const Vector& v, std::size_t offset, std::size_t length);
// Concatenation of vectors of the same type.
MutableVectorPtr concat(const std::vector<const Vector*>& parts, const DataType& type);

// A batch of columns with the same row count: one partition of a frame during execution.
struct Batch {
  std::vector<VectorPtr> columns;
  std::size_t rows = 0;

  Batch() = default;
  Batch(std::vector<VectorPtr> cols, std::size_t n) : columns(std::move(cols)), rows(n) {}
  std::size_t numColumns() const { return columns.size(); }
  const Vector& column(std::size_t i) const { return *columns[i]; }
};

// The partitions of a frame during execution, in order.
using Partitions = std::vector<Batch>;

std::size_t totalRows(const Partitions& parts);
// Row-wise helpers over batches (every column with the same index or selection).
Batch takeRows(const Batch& b, const std::vector<std::int64_t>& idx);
Batch sliceRows(const Batch& b, std::size_t offset, std::size_t length);
Batch filterRows(const Batch& b, const std::uint8_t* sel, std::size_t selectedCount);
// All partitions concatenated into one batch of the given column types.
Batch concatBatches(const Partitions& parts, const std::vector<DataType>& types);
// Splits a batch into `n` partitions of near-equal size (at least one partition, possibly empty).
Partitions splitBatch(const Batch& b, std::size_t n);

}  // namespace engine
