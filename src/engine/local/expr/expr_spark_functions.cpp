#include "engine/local/expr/expr_spark_functions.h"

#include <cmath>
#include <limits>
#include <mutex>

#include <fmt/format.h>

#include "engine/local/expr/datetime_pattern.h"
#include "engine/local/expr/expr_common.h"
#include "engine/local/expr/expressions.h"
#include "engine/local/expr/java_format.h"
#include "engine/local/expr/spark_hash.h"

namespace engine::local {

namespace {

// A full column for an argument that may be a broadcast constant.
VectorPtr fullColumn(const Arg& a, std::size_t n) {
  if (!a.scalar || n == 1) return a.vec;
  std::vector<std::int64_t> zeros(n, 0);
  return take(*a.vec, zeros);
}

// ---- xxhash64 ---------------------------------------------------------------------------------

class Xxhash64Expr final : public FunctionExpr {
 public:
  explicit Xxhash64Expr(std::vector<BoundExprPtr> args) : FunctionExpr("xxhash64", std::move(args), LongType(), false) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    auto out = Vector::make(LongType(), n);
    std::int64_t* h = out->data<std::int64_t>();
    for (std::size_t i = 0; i < n; ++i) h[i] = kSparkHashSeed;
    for (const auto& a : args_) {
      Arg v = evalArg(*a, input, ctx);
      // A constant still folds row by row: each row's running hash seeds it differently.
      if (v.scalar && v.vec->isNull(0)) continue;
      sparkHashColumn(*fullColumn(v, n), h);
    }
    return out;
  }
};

// ---- width_bucket -----------------------------------------------------------------------------

class WidthBucketExpr final : public FunctionExpr {
 public:
  explicit WidthBucketExpr(std::vector<BoundExprPtr> args)
      : FunctionExpr("width_bucket", std::move(args), LongType(), true) {}

  static std::optional<std::int64_t> bucket(double value, double min, double max, std::int64_t numBucket) {
    if (numBucket <= 0 || numBucket == std::numeric_limits<std::int64_t>::max() || std::isnan(value) || min == max ||
        std::isnan(min) || std::isinf(min) || std::isnan(max) || std::isinf(max))
      return std::nullopt;
    const double lower = std::min(min, max), upper = std::max(min, max);
    if (min < max) {
      if (value < lower) return 0;
      if (value >= upper) return numBucket + 1;
      return static_cast<std::int64_t>(static_cast<double>(numBucket) * (value - lower) / (upper - lower)) + 1;
    }
    if (value > upper) return 0;
    if (value <= lower) return numBucket + 1;
    return static_cast<std::int64_t>(static_cast<double>(numBucket) * (upper - value) / (upper - lower)) + 1;
  }

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    auto a = evalArgs(args_, input, ctx);
    auto out = Vector::make(LongType(), n);
    if (!propagateNulls(*out, {&a[0], &a[1], &a[2], &a[3]}, n)) return out;
    const double* v = a[0].data<double>();
    const double* lo = a[1].data<double>();
    const double* hi = a[2].data<double>();
    const std::int64_t* nb = a[3].data<std::int64_t>();
    std::int64_t* o = out->data<std::int64_t>();
    Vector& ov = *out;
    for (std::size_t i = 0; i < n; ++i) {
      if (!ov.isValid(i)) continue;
      auto b = bucket(v[a[0].row(i)], lo[a[1].row(i)], hi[a[2].row(i)], nb[a[3].row(i)]);
      if (b) {
        o[i] = *b;
      } else {
        ov.setNull(i);
      }
    }
    return out;
  }
};

// ---- format_string ----------------------------------------------------------------------------

class FormatStringExpr final : public FunctionExpr {
 public:
  explicit FormatStringExpr(std::vector<BoundExprPtr> args)
      : FunctionExpr("format_string", std::move(args), StringType(), true) {
    if (args_[0]->isConstant()) {
      Value f = args_[0]->constantValue();
      if (!f.isNull()) compiled_ = JavaFormat::compile(f.str());
    }
  }

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    auto a = evalArgs(args_, input, ctx);
    std::vector<VectorPtr> cols;
    std::vector<const Vector*> ptrs;
    for (std::size_t k = 1; k < a.size(); ++k) {
      cols.push_back(fullColumn(a[k], n));
      ptrs.push_back(cols.back().get());
    }
    StringVectorBuilder b(n);
    std::string row;
    std::shared_ptr<const JavaFormat> current = compiled_;
    std::string currentText;
    for (std::size_t i = 0; i < n; ++i) {
      if (!a[0].valid(i)) {
        b.appendNull();
        continue;
      }
      if (!compiled_) {
        std::string_view f = a[0].str(i);
        if (!current || f != currentText) {
          currentText = std::string(f);
          current = JavaFormat::compile(currentText);
        }
      }
      row.clear();
      current->format(ptrs, i, row);
      b.append(row);
    }
    return b.finish();
  }

 private:
  std::shared_ptr<const JavaFormat> compiled_;
};

// ---- to_timestamp with a pattern ----------------------------------------------------------------

class ToTimestampExpr final : public FunctionExpr {
 public:
  explicit ToTimestampExpr(std::vector<BoundExprPtr> args)
      : FunctionExpr("to_timestamp", std::move(args), TimestampType(), true) {
    if (args_[1]->isConstant()) {
      Value f = args_[1]->constantValue();
      if (!f.isNull()) compiled_ = DateTimePattern::compile(f.str());
    }
  }

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    auto a = evalArgs(args_, input, ctx);
    auto out = Vector::make(TimestampType(), n);
    if (!propagateNulls(*out, {&a[0], &a[1]}, n)) return out;
    std::int64_t* o = out->data<std::int64_t>();
    Vector& ov = *out;
    std::shared_ptr<const DateTimePattern> current = compiled_;
    std::string currentText;
    for (std::size_t i = 0; i < n; ++i) {
      if (!ov.isValid(i)) continue;
      if (!compiled_) {
        std::string_view f = a[1].str(i);
        if (!current || f != currentText) {
          currentText = std::string(f);
          current = DateTimePattern::compile(currentText);
        }
      }
      auto r = current->parseTimestamp(a[0].str(i), ctx.timeZone);
      if (r) {
        o[i] = *r;
      } else {
        ov.setNull(i);
      }
    }
    return out;
  }

 private:
  std::shared_ptr<const DateTimePattern> compiled_;
};

// ---- array(e1, ..., ek) -----------------------------------------------------------------------

class ArrayExpr final : public FunctionExpr {
 public:
  ArrayExpr(std::vector<BoundExprPtr> args, const DataType& element)
      : FunctionExpr("array", std::move(args), ArrayType(element), false), element_(element) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows, k = args_.size();
    auto out = Vector::make(type(), n);
    std::int64_t* off = out->offsets();
    for (std::size_t i = 0; i <= n; ++i) off[i] = static_cast<std::int64_t>(i * k);
    if (k == 0) return out;
    // The child holds row 0's elements, then row 1's, ...: gather them from the argument columns.
    std::vector<VectorPtr> cols;
    std::vector<const Vector*> ptrs;
    for (const auto& a : args_) {
      cols.push_back(fullColumn(evalArg(*a, input, ctx), n));
      ptrs.push_back(cols.back().get());
    }
    auto stacked = concat(ptrs, element_);
    std::vector<std::int64_t> idx(n * k);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < k; ++j) idx[i * k + j] = static_cast<std::int64_t>(j * n + i);
    out->setChild(take(*stacked, idx));
    return out;
  }

 private:
  DataType element_;
};

BoundExprPtr castIfNeeded(BoundExprPtr e, const DataType& to) {
  if (e->type() == to) return e;
  return bindCast(std::move(e), to);
}

bool acceptsImplicitNumeric(const DataType& t) { return t.isNumeric() || t.isString() || t.isNull(); }

}  // namespace

void registerSparkFunctions(ScalarFunctionRegistry& r) {
  r.add("array", 0, -1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    std::vector<DataType> types;
    for (const auto& a : args) types.push_back(a->type());
    DataType element = NullType();
    if (!types.empty()) {
      auto common = findWiderCommonType(types);
      if (!common)
        throwTypeMismatch("DATA_DIFF_TYPES", callText(source), "Input to `array` should all be the same type.");
      element = *common;
    }
    for (auto& a : args) a = castIfNeeded(std::move(a), element);
    return std::make_shared<ArrayExpr>(std::move(args), element);
  });

  r.add("xxhash64", 1, -1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr&) -> BoundExprPtr {
    return std::make_shared<Xxhash64Expr>(std::move(args));
  });

  r.add("width_bucket", 4, 4, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    static const char* required[] = {"\"DOUBLE\"", "\"DOUBLE\"", "\"DOUBLE\"", "\"BIGINT\""};
    for (std::size_t k = 0; k < 4; ++k) {
      if (!acceptsImplicitNumeric(args[k]->type()))
        throwUnexpectedInput(callText(source), k, required[k], args[k]->toString(), args[k]->type());
    }
    for (std::size_t k = 0; k < 3; ++k) args[k] = castIfNeeded(std::move(args[k]), DoubleType());
    args[3] = castIfNeeded(std::move(args[3]), LongType());
    return std::make_shared<WidthBucketExpr>(std::move(args));
  });

  r.add("format_string", 1, -1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    if (!args[0]->type().isString() && !args[0]->type().isNull())
      throwUnexpectedInput(callText(source), 0, "\"STRING\"", args[0]->toString(), args[0]->type());
    args[0] = castIfNeeded(std::move(args[0]), StringType());
    return std::make_shared<FormatStringExpr>(std::move(args));
  });
  r.add("printf", 1, -1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    if (!args[0]->type().isString() && !args[0]->type().isNull())
      throwUnexpectedInput(callText(source), 0, "\"STRING\"", args[0]->toString(), args[0]->type());
    args[0] = castIfNeeded(std::move(args[0]), StringType());
    return std::make_shared<FormatStringExpr>(std::move(args));
  });

  r.add("to_timestamp", 1, 2, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    const DataType& t = args[0]->type();
    if (!(t.isString() || t.isNull() || t.id() == TypeId::Date || t.id() == TypeId::Timestamp))
      throwUnexpectedInput(callText(source), 0, "(\"STRING\" or \"DATE\" or \"TIMESTAMP\")", args[0]->toString(), t);
    // Without a pattern, and for values that already are dates or timestamps, this is a cast.
    if (args.size() == 1 || !t.isString()) return castIfNeeded(std::move(args[0]), TimestampType());
    if (!args[1]->type().isString() && !args[1]->type().isNull())
      throwUnexpectedInput(callText(source), 1, "\"STRING\"", args[1]->toString(), args[1]->type());
    args[1] = castIfNeeded(std::move(args[1]), StringType());
    return std::make_shared<ToTimestampExpr>(std::move(args));
  });
}

}  // namespace engine::local
