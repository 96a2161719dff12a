// Conditional and type functions written in terms of others, as Spark rewrites them: nvl2, nanvl, decode,
// typeof, and the cast functions (int(x), double(x), ...); and the array functions size, array_contains,
// element_at and sort_array.
#include <algorithm>
#include <cstring>
#include <numeric>

#include <fmt/format.h>

#include "engine/expr_to_string.h"
#include "engine/local/expr/expr_cast.h"
#include "engine/local/expr/expr_compare.h"
#include "engine/local/expr/expr_kernel.h"
#include "engine/local/expr/expr_registry.h"
#include "engine/local/expr/expressions.h"

namespace engine::local {

namespace {

ScalarBinder castFunction(DataType to) {
  return [to](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    return bindCast(std::move(args[0]), to, source);
  };
}

BoundExprPtr requireArray(BoundExprPtr e, const Expr& source, std::size_t i) {
  const DataType& t = e->type();
  if (t.isArray()) return e;
  if (t.isNull()) return castIfNeeded(std::move(e), ArrayType(NullType()));
  throwUnexpectedInput(callText(source), i, "\"ARRAY\"",
                       i < source.children.size() ? exprText(*source.children[i]) : e->toString(), t);
}

// The rows of `a` (an array argument) as a full vector.
VectorPtr arrayColumn(const Arg& a, std::size_t n) { return a.scalar ? broadcastColumn(a, n) : a.vec; }

// ---- hash: Spark's Murmur3 (x86, 32 bits), seed 42, columns folded left to right --------------------

inline std::uint32_t rotl32(std::uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }
inline std::uint32_t mixK1(std::uint32_t k1) { return rotl32(k1 * 0xcc9e2d51u, 15) * 0x1b873593u; }
inline std::uint32_t mixH1(std::uint32_t h1, std::uint32_t k1) { return rotl32(h1 ^ k1, 13) * 5u + 0xe6546b64u; }
inline std::uint32_t fmix32(std::uint32_t h1, std::uint32_t length) {
  h1 ^= length;
  h1 ^= h1 >> 16;
  h1 *= 0x85ebca6bu;
  h1 ^= h1 >> 13;
  h1 *= 0xc2b2ae35u;
  return h1 ^ (h1 >> 16);
}
inline std::uint32_t murmurInt(std::uint32_t v, std::uint32_t seed) { return fmix32(mixH1(seed, mixK1(v)), 4); }
inline std::uint32_t murmurLong(std::uint64_t v, std::uint32_t seed) {
  std::uint32_t h1 = mixH1(seed, mixK1(static_cast<std::uint32_t>(v)));
  return fmix32(mixH1(h1, mixK1(static_cast<std::uint32_t>(v >> 32))), 8);
}
// Spark's hashUnsafeBytes: little-endian words, then each remaining byte (sign-extended) on its own.
std::uint32_t murmurBytes(std::string_view b, std::uint32_t seed) {
  const std::size_t aligned = b.size() - b.size() % 4;
  std::uint32_t h1 = seed;
  for (std::size_t i = 0; i < aligned; i += 4) {
    std::uint32_t w;
    std::memcpy(&w, b.data() + i, 4);
    h1 = mixH1(h1, mixK1(w));
  }
  for (std::size_t i = aligned; i < b.size(); ++i)
    h1 = mixH1(h1, mixK1(static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(b[i])))));
  return fmix32(h1, static_cast<std::uint32_t>(b.size()));
}

std::uint32_t murmurCell(const Vector& v, std::size_t r, std::uint32_t seed) {
  switch (v.type().id()) {
    case TypeId::Boolean: return murmurInt(v.data<std::uint8_t>()[r] ? 1u : 0u, seed);
    case TypeId::Byte: return murmurInt(static_cast<std::uint32_t>(v.data<std::int8_t>()[r]), seed);
    case TypeId::Short: return murmurInt(static_cast<std::uint32_t>(v.data<std::int16_t>()[r]), seed);
    case TypeId::Integer:
    case TypeId::Date:
    case TypeId::YearMonthInterval: return murmurInt(static_cast<std::uint32_t>(v.data<std::int32_t>()[r]), seed);
    case TypeId::Long:
    case TypeId::Timestamp:
    case TypeId::DayTimeInterval: return murmurLong(static_cast<std::uint64_t>(v.data<std::int64_t>()[r]), seed);
    case TypeId::Float: {
      float f = v.data<float>()[r];
      if (f == 0.0f) f = 0.0f;  // -0.0 hashes as 0.0
      std::uint32_t bits;
      if (f != f) {
        bits = 0x7fc00000u;  // Java's canonical NaN
      } else {
        std::memcpy(&bits, &f, 4);
      }
      return murmurInt(bits, seed);
    }
    case TypeId::Double: {
      double d = v.data<double>()[r];
      if (d == 0.0) d = 0.0;
      std::uint64_t bits;
      if (d != d) {
        bits = 0x7ff8000000000000ull;
      } else {
        std::memcpy(&bits, &d, 8);
      }
      return murmurLong(bits, seed);
    }
    case TypeId::String: return murmurBytes(v.str(r), seed);
    case TypeId::Decimal: return murmurLong(static_cast<std::uint64_t>(static_cast<std::int64_t>(v.data<int128_t>()[r])), seed);
    default: throw ExecutionException("hash of a " + v.type().simpleString() + " value is not supported");
  }
}

void registerArrayFunctions(ScalarFunctionRegistry& r) {
  // size(NULL) is -1 (Spark's legacy sizeOfNull, in force with ANSI off).
  auto size = [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    args[0] = requireArray(std::move(args[0]), source, 0);
    return makeKernel(name, std::move(args), IntegerType(), false, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      auto out = Vector::make(IntegerType(), n);
      std::int32_t* o = out->data<std::int32_t>();
      const std::int64_t* off = a[0].v().offsets();
      for (std::size_t i = 0; i < n; ++i) {
        std::size_t row = a[0].row(i);
        o[i] = a[0].valid(i) ? static_cast<std::int32_t>(off[row + 1] - off[row]) : -1;
      }
      return VectorPtr(out);
    });
  };
  r.add("size", 1, 1, size);
  r.add("cardinality", 1, 1, size);
  // array_contains(arr, v): null when either is null, or when v is absent and the array holds a null.
  r.add("array_contains", 2, 2, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    args[0] = requireArray(std::move(args[0]), source, 0);
    DataType element = args[0]->type().elementType();
    if (element.isNull()) {
      args[0] = castIfNeeded(std::move(args[0]), ArrayType(args[1]->type()));
    } else if (args[1]->type() != element) {
      auto common = findTightestCommonType(element, args[1]->type());
      if (!common)
        throwTypeMismatch("ARRAY_FUNCTION_DIFF_TYPES", callText(source),
                          fmt::format("Input to `array_contains` should have been \"ARRAY\" followed by a value with "
                                      "same element type, but it's [{}, {}].",
                                      quoteType(args[0]->type()), quoteType(args[1]->type())));
      args[0] = castIfNeeded(std::move(args[0]), ArrayType(*common));
      args[1] = castIfNeeded(std::move(args[1]), *common);
    }
    return makeKernel(name, std::move(args), BooleanType(), true, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      VectorPtr value = broadcastColumn(a[1], n);
      return strictFixed<std::uint8_t>(a, n, BooleanType(), [&](std::size_t i, std::uint8_t& o) {
        const Vector& arr = a[0].v();
        std::size_t row = a[0].row(i);
        const Vector& child = *arr.child();
        bool sawNull = false;
        for (std::int64_t j = arr.offsets()[row]; j < arr.offsets()[row + 1]; ++j) {
          auto k = static_cast<std::size_t>(j);
          if (child.isNull(k)) {
            sawNull = true;
          } else if (compareRows(child, k, *value, i) == 0) {
            o = 1;
            return true;
          }
        }
        o = 0;
        return !sawNull;
      });
    });
  });
  // element_at(arr, i): 1-based, negative from the end; null when out of range.
  r.add("element_at", 2, 2, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    args[0] = requireArray(std::move(args[0]), source, 0);
    const DataType& it = args[1]->type();
    if (!(it.isIntegral() || it.isNull() || it.isString()))
      throwUnexpectedInput(callText(source), 1, "\"INT\"",
                           source.children.size() > 1 ? exprText(*source.children[1]) : args[1]->toString(), it);
    args[1] = castIfNeeded(std::move(args[1]), IntegerType());
    DataType element = args[0]->type().elementType();
    return makeKernel(name, std::move(args), element, true, [element](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      std::vector<std::int64_t> idx(n, -1);
      const Vector& arr = a[0].v();
      for (std::size_t i = 0; i < n; ++i) {
        if (!a[0].valid(i) || !a[1].valid(i)) continue;
        std::size_t row = a[0].row(i);
        std::int64_t len = arr.offsets()[row + 1] - arr.offsets()[row];
        std::int64_t k = a[1].data<std::int32_t>()[a[1].row(i)];
        if (k == 0) throw ExecutionException("[INVALID_INDEX_OF_ZERO] The index 0 is invalid. An index shall be either < 0 or > 0 (the first element has index 1).");
        std::int64_t pos = k > 0 ? k - 1 : len + k;
        if (pos >= 0 && pos < len) idx[i] = arr.offsets()[row] + pos;
      }
      if (element.isNull()) return VectorPtr(allNullVector(element, n));
      return VectorPtr(take(*arr.child(), idx));
    });
  });
  // sort_array(arr[, ascending]): nulls first when ascending, last when descending; NaN above numbers.
  r.add("sort_array", 1, 2, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    args[0] = requireArray(std::move(args[0]), source, 0);
    bool ascending = true;
    if (args.size() == 2) {
      const Value* v = literalValue(*args[1]);
      if (!v || !v->is<bool>())
        throwTypeMismatch("UNEXPECTED_INPUT_TYPE", callText(source),
                          "the second parameter of sort_array must be a boolean literal.");
      ascending = v->get<bool>();
      args.pop_back();
    }
    DataType type = args[0]->type();
    bool nullable = args[0]->nullable();
    return makeKernel(name, std::move(args), type, nullable, [ascending, type](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      VectorPtr col = arrayColumn(a[0], n);
      const Vector& arr = *col;
      auto out = Vector::make(type, n);
      std::int64_t* off = out->offsets();
      std::vector<std::int64_t> order;
      off[0] = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (arr.isNull(i)) {
          out->setNull(i);
          off[i + 1] = off[i];
          continue;
        }
        std::int64_t b = arr.offsets()[i], e = arr.offsets()[i + 1];
        std::size_t first = order.size();
        for (std::int64_t j = b; j < e; ++j) order.push_back(j);
        if (arr.child()) {
          const Vector& child = *arr.child();
          std::stable_sort(order.begin() + static_cast<std::ptrdiff_t>(first), order.end(), [&](std::int64_t x, std::int64_t y) {
            auto xi = static_cast<std::size_t>(x), yi = static_cast<std::size_t>(y);
            bool xn = child.isNull(xi), yn = child.isNull(yi);
            if (xn || yn) return ascending ? (xn && !yn) : (!xn && yn);
            int c = compareRows(child, xi, child, yi);
            return ascending ? c < 0 : c > 0;
          });
        }
        off[i + 1] = static_cast<std::int64_t>(order.size());
      }
      if (arr.child()) {
        out->setChild(take(*arr.child(), order));
      } else {
        out->setChild(Vector::make(type.elementType(), 0));
      }
      return VectorPtr(out);
    });
  });
}

}  // namespace

void registerMiscFunctions(ScalarFunctionRegistry& r) {
  // The value of a scalar subquery from its row count and its (first) value: a subquery that returns more
  // than one row is an error, as in Spark.
  r.add("__scalar_subquery_value", 2, 2, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr&) -> BoundExprPtr {
    DataType type = args[1]->type();
    args[0] = castIfNeeded(std::move(args[0]), LongType());
    return makeKernel(name, std::move(args), type, true, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      const std::int64_t* counts = a[0].data<std::int64_t>();
      for (std::size_t i = 0; i < n; ++i) {
        if (a[0].valid(i) && counts[a[0].row(i)] > 1) {
          throw ExecutionException(
              "[SCALAR_SUBQUERY_TOO_MANY_ROWS] More than one row returned by a subquery used as an expression.");
        }
      }
      return broadcastColumn(a[1], n);
    });
  });
  // nvl2(a, b, c): b when a is not null, else c.
  r.add("nvl2", 3, 3, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    BoundExprPtr present = bindScalarFunction("isnotnull", {args[0]}, source);
    return bindScalarFunction("if", {present, args[1], args[2]}, source);
  });
  // nanvl(a, b): b when a is NaN, else a (both as double, or float when both are floats).
  r.add("nanvl", 2, 2, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    for (std::size_t i = 0; i < 2; ++i) {
      const DataType& t = args[i]->type();
      if (!(t.isNumeric() || t.isString() || t.isNull()))
        throwUnexpectedInput(callText(source), i, "(\"DOUBLE\" or \"FLOAT\")",
                             i < source.children.size() ? exprText(*source.children[i]) : args[i]->toString(), t);
    }
    DataType t = args[0]->type().id() == TypeId::Float && args[1]->type().id() == TypeId::Float ? FloatType() : DoubleType();
    for (auto& a : args) a = castIfNeeded(std::move(a), t);
    bool nullable = anyArgNullable(args);
    return makeKernel(name, std::move(args), t, nullable, [t](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      return dispatchFloating(t.id(), [&](auto tag) -> VectorPtr {
        using T = typename decltype(tag)::type;
        auto out = Vector::make(t, n);
        T* o = out->template data<T>();
        const T* x = a[0].data<T>();
        const T* y = a[1].data<T>();
        for (std::size_t i = 0; i < n; ++i) {
          if (!a[0].valid(i)) {
            out->setNull(i);
            continue;
          }
          T v = x[a[0].row(i)];
          if (v != v) {
            if (a[1].valid(i)) {
              o[i] = y[a[1].row(i)];
            } else {
              out->setNull(i);
            }
          } else {
            o[i] = v;
          }
        }
        return out;
      });
    });
  });
  // decode(x, s1, r1, s2, r2, ..., [default]): the result of the first search value equal to x, nulls
  // matching nulls.
  r.add("decode", 3, -1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    std::vector<BoundExprPtr> when;
    std::size_t k = 1;
    for (; k + 1 < args.size(); k += 2) {
      when.push_back(bindScalarFunction("<=>", {args[0], args[k]}, source));
      when.push_back(args[k + 1]);
    }
    // Without a default Spark's else branch is a string-typed null, which makes the result a string.
    when.push_back(k < args.size() ? args[k] : boundLiteral(Value(), StringType()));
    return bindScalarFunction("when", std::move(when), source);
  });
  r.add("typeof", 1, 1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr&) -> BoundExprPtr {
    return boundLiteral(Value(args[0]->type().simpleString()), StringType());
  });
  r.add("boolean", 1, 1, castFunction(BooleanType()));
  r.add("tinyint", 1, 1, castFunction(ByteType()));
  r.add("smallint", 1, 1, castFunction(ShortType()));
  r.add("int", 1, 1, castFunction(IntegerType()));
  r.add("bigint", 1, 1, castFunction(LongType()));
  r.add("float", 1, 1, castFunction(FloatType()));
  r.add("double", 1, 1, castFunction(DoubleType()));
  r.add("decimal", 1, 1, castFunction(DecimalType(10, 0)));
  r.add("string", 1, 1, castFunction(StringType()));
  r.add("date", 1, 1, castFunction(DateType()));
  r.add("timestamp", 1, 1, castFunction(TimestampType()));
  registerArrayFunctions(r);
  r.add("hash", 1, -1, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    for (std::size_t i = 0; i < args.size(); ++i) {
      const DataType& t = args[i]->type();
      if (t.isArray() || (t.isDecimal() && t.precision() > 18))
        throwUnexpectedInput(callText(source), i, "a hashable type",
                             i < source.children.size() ? exprText(*source.children[i]) : args[i]->toString(), t);
    }
    return makeKernel(name, std::move(args), IntegerType(), false, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      auto out = Vector::make(IntegerType(), n);
      std::int32_t* o = out->data<std::int32_t>();
      for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t h = 42;
        for (const auto& x : a)
          if (!x.v().type().isNull() && x.valid(i)) h = murmurCell(x.v(), x.row(i), h);
        o[i] = static_cast<std::int32_t>(h);
      }
      return VectorPtr(out);
    });
  });
}

}  // namespace engine::local
