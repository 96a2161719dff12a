// Comparison operators and IN with Spark's coercion (strings cast to the other side's type, dates against
// timestamps as timestamps, booleans against numbers as numbers for equality) and ordering.
#include <algorithm>
#include <string>

#include <fmt/format.h>

#include "engine/local/expr/expr_cast.h"
#include "engine/local/expr/expr_compare.h"
#include "engine/local/expr/expr_registry.h"
#include "engine/local/expr/expressions.h"

namespace engine::local {

int compareRows(const Vector& a, std::size_t i, const Vector& b, std::size_t j) {
  const DataType& t = a.type();
  if (t.isArray()) {
    const std::int64_t *oa = a.offsets(), *ob = b.offsets();
    std::int64_t la = oa[i + 1] - oa[i], lb = ob[j + 1] - ob[j];
    const Vector& ca = *a.child();
    const Vector& cb = *b.child();
    for (std::int64_t k = 0; k < std::min(la, lb); ++k) {
      auto x = static_cast<std::size_t>(oa[i] + k), y = static_cast<std::size_t>(ob[j] + k);
      bool nx = ca.isNull(x), ny = cb.isNull(y);
      if (nx || ny) {
        if (nx && ny) continue;
        return nx ? -1 : 1;
      }
      int c = compareRows(ca, x, cb, y);
      if (c != 0) return c;
    }
    return la == lb ? 0 : (la < lb ? -1 : 1);
  }
  if (t.isString()) return compareValues(a.str(i), b.str(j));
  if (t.isNull()) return 0;
  return dispatchFixed(t.id(), [&](auto tag) {
    using T = typename decltype(tag)::type;
    return compareValues(a.data<T>()[i], b.data<T>()[j]);
  });
}

namespace {

enum class CmpOp { Eq, NullSafeEq, Lt, Le, Gt, Ge };

const char* symbol(CmpOp op) {
  switch (op) {
    case CmpOp::Eq: return "=";
    case CmpOp::NullSafeEq: return "<=>";
    case CmpOp::Lt: return "<";
    case CmpOp::Le: return "<=";
    case CmpOp::Gt: return ">";
    case CmpOp::Ge: return ">=";
  }
  return "?";
}

template <CmpOp Op, class T>
inline std::uint8_t applyCmp(const T& x, const T& y) {
  if constexpr (Op == CmpOp::Eq || Op == CmpOp::NullSafeEq) {
    return equalValues(x, y);
  } else {
    int c = compareValues(x, y);
    if constexpr (Op == CmpOp::Lt) return c < 0;
    if constexpr (Op == CmpOp::Le) return c <= 0;
    if constexpr (Op == CmpOp::Gt) return c > 0;
    if constexpr (Op == CmpOp::Ge) return c >= 0;
  }
}

template <CmpOp Op, class T>
VectorPtr compareKernel(const Arg& a, const Arg& b, std::size_t n) {
  if constexpr (Op == CmpOp::NullSafeEq) {
    auto out = Vector::make(BooleanType(), n);
    std::uint8_t* o = out->data<std::uint8_t>();
    for (std::size_t i = 0; i < n; ++i) {
      bool va = a.valid(i), vb = b.valid(i);
      o[i] = (va && vb) ? equalValues(cellOf<T>(a, i), cellOf<T>(b, i)) : (!va && !vb);
    }
    return out;
  } else if constexpr (std::is_same_v<T, std::string_view> || std::is_same_v<T, ArrayCell>) {
    auto out = Vector::make(BooleanType(), n);
    if (!propagateNulls(*out, {&a, &b}, n)) return out;
    std::uint8_t* o = out->data<std::uint8_t>();
    for (std::size_t i = 0; i < n; ++i) o[i] = applyCmp<Op>(cellOf<T>(a, i), cellOf<T>(b, i));
    return out;
  } else {
    return binaryKernelTotal<T, T, std::uint8_t>(a, b, BooleanType(), n,
                                                  [](T x, T y) { return applyCmp<Op, T>(x, y); });
  }
}

class ComparisonExpr final : public FunctionExpr {
 public:
  ComparisonExpr(CmpOp op, BoundExprPtr l, BoundExprPtr r)
      : FunctionExpr(symbol(op), {l, r}, BooleanType(),
                     op != CmpOp::NullSafeEq && (l->nullable() || r->nullable()), Style::Infix),
        op_(op) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    Arg a = evalArg(*args_[0], input, ctx);
    Arg b = evalArg(*args_[1], input, ctx);
    const std::size_t n = input.rows;
    return dispatchComparable(args_[0]->type(), [&](auto tag) -> VectorPtr {
      using T = typename decltype(tag)::type;
      switch (op_) {
        case CmpOp::Eq: return compareKernel<CmpOp::Eq, T>(a, b, n);
        case CmpOp::NullSafeEq: return compareKernel<CmpOp::NullSafeEq, T>(a, b, n);
        case CmpOp::Lt: return compareKernel<CmpOp::Lt, T>(a, b, n);
        case CmpOp::Le: return compareKernel<CmpOp::Le, T>(a, b, n);
        case CmpOp::Gt: return compareKernel<CmpOp::Gt, T>(a, b, n);
        case CmpOp::Ge: return compareKernel<CmpOp::Ge, T>(a, b, n);
      }
      return nullptr;
    });
  }

 private:
  CmpOp op_;
};

// Two decimals whose common type would need more than 38 digits (decimal(38,10) against decimal(38,18)):
// Spark compares their exact values, so neither side is cast. Each value splits into its floor integer
// part and a non-negative fraction brought to the larger scale; both fit in 128 bits.
class WideDecimalComparison final : public FunctionExpr {
 public:
  WideDecimalComparison(CmpOp op, BoundExprPtr l, BoundExprPtr r)
      : FunctionExpr(symbol(op), {l, r}, BooleanType(), op != CmpOp::NullSafeEq && (l->nullable() || r->nullable()),
                     Style::Infix),
        op_(op),
        sa_(l->type().scale()),
        sb_(r->type().scale()) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    Arg a = evalArg(*args_[0], input, ctx);
    Arg b = evalArg(*args_[1], input, ctx);
    const std::size_t n = input.rows;
    const int s = std::max(sa_, sb_);
    const int128_t pa = pow10(sa_), pb = pow10(sb_), fa = pow10(s - sa_), fb = pow10(s - sb_);
    auto split = [](int128_t v, int128_t p, int128_t& ip, int128_t& frac) {
      ip = v / p;
      frac = v % p;
      if (frac < 0) {
        frac += p;
        ip -= 1;
      }
    };
    auto out = Vector::make(BooleanType(), n);
    std::uint8_t* o = out->data<std::uint8_t>();
    const int128_t* x = a.data<int128_t>();
    const int128_t* y = b.data<int128_t>();
    for (std::size_t i = 0; i < n; ++i) {
      bool va = a.valid(i), vb = b.valid(i);
      if (!va || !vb) {
        if (op_ == CmpOp::NullSafeEq) {
          o[i] = !va && !vb;
        } else {
          out->setNull(i);
        }
        continue;
      }
      int128_t ia, ra, ib, rb;
      split(x[a.row(i)], pa, ia, ra);
      split(y[b.row(i)], pb, ib, rb);
      ra *= fa;
      rb *= fb;
      int c = ia != ib ? (ia < ib ? -1 : 1) : (ra != rb ? (ra < rb ? -1 : 1) : 0);
      switch (op_) {
        case CmpOp::Eq:
        case CmpOp::NullSafeEq: o[i] = c == 0; break;
        case CmpOp::Lt: o[i] = c < 0; break;
        case CmpOp::Le: o[i] = c <= 0; break;
        case CmpOp::Gt: o[i] = c > 0; break;
        case CmpOp::Ge: o[i] = c >= 0; break;
      }
    }
    return out;
  }

 private:
  static int128_t pow10(int k) {
    int128_t p = 1;
    for (int i = 0; i < k; ++i) p *= 10;
    return p;
  }
  CmpOp op_;
  int sa_, sb_;
};

// NOT over a boolean column (for !=, which Spark expresses as NOT (a = b)).
class NotEqualExpr final : public FunctionExpr {
 public:
  explicit NotEqualExpr(BoundExprPtr eq) : FunctionExpr("NOT", {eq}, BooleanType(), eq->nullable(), Style::Prefix) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    Arg a = evalArg(*args_[0], input, ctx);
    const std::size_t n = input.rows;
    auto out = Vector::make(BooleanType(), n);
    if (!propagateNulls(*out, {&a}, n)) return out;
    const std::uint8_t* x = a.data<std::uint8_t>();
    std::uint8_t* o = out->data<std::uint8_t>();
    for (std::size_t i = 0; i < n; ++i) o[i] = !x[a.row(i)];
    return out;
  }
};

[[noreturn]] void throwDiffTypes(const std::string& text, const DataType& a, const DataType& b) {
  throwTypeMismatch("BINARY_OP_DIFF_TYPES", text,
                    fmt::format("the left and right operands of the binary operator have incompatible types ({} and "
                                "{}).",
                                quoteType(a), quoteType(b)));
}

BoundExprPtr bindComparison(CmpOp op, BoundExprPtr l, BoundExprPtr r, const Expr& source) {
  const DataType lt = l->type(), rt = r->type();
  std::optional<DataType> common;
  const bool equality = op == CmpOp::Eq || op == CmpOp::NullSafeEq;
  if (equality && lt.isBoolean() && rt.isNumeric()) {
    common = rt;  // Spark compares true = 1 as CAST(true AS INT) = 1
  } else if (equality && lt.isNumeric() && rt.isBoolean()) {
    common = lt;
  } else {
    if (lt.isDecimal() && rt.isDecimal() && lt.scale() != rt.scale() &&
        std::max(lt.precision() - lt.scale(), rt.precision() - rt.scale()) + std::max(lt.scale(), rt.scale()) > 38) {
      return std::make_shared<WideDecimalComparison>(op, std::move(l), std::move(r));
    }
    common = comparisonType(*l, *r);
  }
  if (!common) throwDiffTypes(callText(source), lt, rt);
  if (common->isNull()) common = BooleanType();  // NULL = NULL: any layout will do, every row is null
  l = castIfNeeded(std::move(l), *common);
  r = castIfNeeded(std::move(r), *common);
  return std::make_shared<ComparisonExpr>(op, std::move(l), std::move(r));
}

ScalarBinder comparison(CmpOp op) {
  return [op](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) {
    return bindComparison(op, std::move(args[0]), std::move(args[1]), source);
  };
}

// ---- IN -----------------------------------------------------------------------------------------

class InExpr final : public FunctionExpr {
 public:
  InExpr(std::vector<BoundExprPtr> args, bool nullable)
      : FunctionExpr("IN", std::move(args), BooleanType(), nullable) {
    allConstantList_ = std::all_of(args_.begin() + 1, args_.end(), [](const auto& a) { return a->isConstant(); });
  }

  std::string toString() const override {
    std::string s = "(" + args_[0]->toString() + " IN (";
    for (std::size_t i = 1; i < args_.size(); ++i) {
      if (i > 1) s += ", ";
      s += args_[i]->toString();
    }
    return s + "))";
  }

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    Arg v = evalArg(*args_[0], input, ctx);
    std::vector<Arg> items;
    items.reserve(args_.size() - 1);
    for (std::size_t k = 1; k < args_.size(); ++k) items.push_back(evalArg(*args_[k], input, ctx));
    return dispatchComparable(args_[0]->type(), [&](auto tag) -> VectorPtr {
      using T = typename decltype(tag)::type;
      return allConstantList_ ? evalConstantList<T>(v, items, n) : evalGeneral<T>(v, items, n);
    });
  }

 private:
  // Constant lists (the usual isin([...])) are sorted once per batch and probed by binary search.
  template <class T>
  VectorPtr evalConstantList(const Arg& v, const std::vector<Arg>& items, std::size_t n) const {
    std::vector<T> set;
    bool listHasNull = false;
    for (const Arg& it : items) {
      if (it.v().isNull(0)) {
        listHasNull = true;
      } else {
        set.push_back(cellOf<T>(it, 0));
      }
    }
    std::sort(set.begin(), set.end(), [](const T& x, const T& y) { return compareValues(x, y) < 0; });
    auto out = Vector::make(BooleanType(), n);
    if (!propagateNulls(*out, {&v}, n)) return out;
    std::uint8_t* o = out->data<std::uint8_t>();
    for (std::size_t i = 0; i < n; ++i) {
      if (!v.valid(i)) continue;
      T x = cellOf<T>(v, i);
      bool found;
      if (set.size() <= 8) {
        found = std::any_of(set.begin(), set.end(), [&](const T& y) { return equalValues(x, y); });
      } else {
        auto it = std::lower_bound(set.begin(), set.end(), x,
                                   [](const T& a, const T& b) { return compareValues(a, b) < 0; });
        found = it != set.end() && compareValues(*it, x) == 0;
      }
      o[i] = found;
      if (!found && listHasNull) out->setNull(i);
    }
    return out;
  }

  template <class T>
  VectorPtr evalGeneral(const Arg& v, const std::vector<Arg>& items, std::size_t n) const {
    auto out = Vector::make(BooleanType(), n);
    if (!propagateNulls(*out, {&v}, n)) return out;
    std::uint8_t* o = out->data<std::uint8_t>();
    for (std::size_t i = 0; i < n; ++i) {
      if (!v.valid(i)) continue;
      T x = cellOf<T>(v, i);
      bool found = false, sawNull = false;
      for (const Arg& it : items) {
        if (!it.valid(i)) {
          sawNull = true;
        } else if (equalValues(x, cellOf<T>(it, i))) {
          found = true;
          break;
        }
      }
      o[i] = found;
      if (!found && sawNull) out->setNull(i);
    }
    return out;
  }

  bool allConstantList_ = true;
};

BoundExprPtr bindIn(std::vector<BoundExprPtr> args, const Expr& source) {
  std::vector<DataType> types;
  for (const auto& a : args) types.push_back(a->type());
  bool same = std::all_of(types.begin(), types.end(), [&](const DataType& t) { return t == types[0]; });
  DataType common = types[0];
  if (!same) {
    auto w = findWiderCommonType(types);
    if (!w) {
      std::string list;
      for (std::size_t i = 0; i < types.size(); ++i) list += (i ? ", " : "") + quoteType(types[i]);
      throwTypeMismatch("DATA_DIFF_TYPES", callText(source),
                        fmt::format("Input to `in` should all be the same type, but it's [{}].", list));
    }
    common = *w;
  }
  if (common.isNull()) common = BooleanType();
  bool nullable = false;
  for (auto& a : args) {
    nullable = nullable || a->nullable();
    a = castIfNeeded(std::move(a), common);
  }
  return std::make_shared<InExpr>(std::move(args), nullable);
}

}  // namespace

void registerComparisonFunctions(ScalarFunctionRegistry& r) {
  r.add("==", 2, 2, comparison(CmpOp::Eq));
  r.add("=", 2, 2, comparison(CmpOp::Eq));
  r.add("<=>", 2, 2, comparison(CmpOp::NullSafeEq));
  r.add("<", 2, 2, comparison(CmpOp::Lt));
  r.add("<=", 2, 2, comparison(CmpOp::Le));
  r.add(">", 2, 2, comparison(CmpOp::Gt));
  r.add(">=", 2, 2, comparison(CmpOp::Ge));
  auto notEqual = [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    return std::make_shared<NotEqualExpr>(bindComparison(CmpOp::Eq, std::move(args[0]), std::move(args[1]), source));
  };
  r.add("!=", 2, 2, notEqual);
  r.add("<>", 2, 2, notEqual);
  // between(v, lo, hi) is (v >= lo) AND (v <= hi), as Spark rewrites it.
  r.add("between", 3, 3, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) {
    BoundExprPtr ge = bindComparison(CmpOp::Ge, args[0], args[1], source);
    BoundExprPtr le = bindComparison(CmpOp::Le, args[0], args[2], source);
    return bindScalarFunction("and", {ge, le}, source);
  });
  r.add("in", 1, -1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) {
    return bindIn(std::move(args), source);
  });
}

}  // namespace engine::local
