// Spark's value ordering per physical type, shared by comparisons, IN, greatest/least and sorting-like
// kernels: NaN equals NaN and is above every number, -0.0 equals 0.0, strings compare as UTF-8 bytes,
// arrays element by element (a null element first).
#pragma once

#include <cmath>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "engine/local/expr/expr_common.h"

namespace engine::local {

// A row of an array vector (compared element-wise).
struct ArrayCell {
  const Vector* vec;
  std::size_t row;
};

// Total order of two non-null rows of vectors of the same type.
int compareRows(const Vector& a, std::size_t i, const Vector& b, std::size_t j);

template <class T>
inline int compareValues(const T& a, const T& b) {
  if constexpr (std::is_floating_point_v<T>) {
    if (a < b) return -1;
    if (a > b) return 1;
    if (a == b) return 0;
    bool an = std::isnan(a), bn = std::isnan(b);
    return an == bn ? 0 : (an ? 1 : -1);
  } else if constexpr (std::is_same_v<T, std::string_view>) {
    std::size_t m = a.size() < b.size() ? a.size() : b.size();
    int c = m ? std::memcmp(a.data(), b.data(), m) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
  } else if constexpr (std::is_same_v<T, ArrayCell>) {
    return compareRows(*a.vec, a.row, *b.vec, b.row);
  } else {
    return a < b ? -1 : (a > b ? 1 : 0);
  }
}

template <class T>
inline bool equalValues(const T& a, const T& b) {
  if constexpr (std::is_floating_point_v<T>) {
    return a == b || (std::isnan(a) && std::isnan(b));
  } else if constexpr (std::is_same_v<T, std::string_view> || std::is_arithmetic_v<T> || std::is_same_v<T, int128_t>) {
    return a == b;
  } else {
    return compareValues(a, b) == 0;
  }
}

// Cell i of an argument as the comparison type T (a string_view for strings, ArrayCell for arrays).
template <class T>
inline T cellOf(const Arg& a, std::size_t i) {
  if constexpr (std::is_same_v<T, std::string_view>) {
    return a.str(i);
  } else if constexpr (std::is_same_v<T, ArrayCell>) {
    return ArrayCell{a.vec.get(), a.row(i)};
  } else {
    return a.data<T>()[a.row(i)];
  }
}

// Calls f(Tag<T>{}) with T the comparison representation of `type`.
template <class F>
decltype(auto) dispatchComparable(const DataType& type, F&& f) {
  switch (type.id()) {
    case TypeId::String:
      return f(Tag<std::string_view>{});
    case TypeId::Array:
      return f(Tag<ArrayCell>{});
    case TypeId::Null:
      return f(Tag<std::uint8_t>{});  // every row is null; the layout is never read
    default:
      return dispatchFixed(type.id(), std::forward<F>(f));
  }
}

}  // namespace engine::local
