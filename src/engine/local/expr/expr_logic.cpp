// Boolean logic (three-valued AND/OR, NOT) and null/NaN tests.
#include <cmath>

#include <fmt/format.h>

#include "engine/expr_to_string.h"
#include "engine/local/expr/expr_cast.h"
#include "engine/local/expr/expr_common.h"
#include "engine/local/expr/expr_registry.h"
#include "engine/local/expr/expressions.h"

namespace engine::local {

namespace {

class AndOrExpr final : public FunctionExpr {
 public:
  AndOrExpr(bool isAnd, BoundExprPtr l, BoundExprPtr r)
      : FunctionExpr(isAnd ? "AND" : "OR", {l, r}, BooleanType(), l->nullable() || r->nullable(), Style::Infix),
        and_(isAnd) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    Arg a = evalArg(*args_[0], input, ctx);
    Arg b = evalArg(*args_[1], input, ctx);
    const std::size_t n = input.rows;
    auto out = Vector::make(BooleanType(), n);
    std::uint8_t* o = out->data<std::uint8_t>();
    const std::uint8_t* x = a.data<std::uint8_t>();
    const std::uint8_t* y = b.data<std::uint8_t>();
    if (a.allValid() && b.allValid()) {
      if (and_) {
        forEach2(a.scalar, b.scalar, n, [&](std::size_t i, std::size_t ia, std::size_t ib) { o[i] = x[ia] & y[ib]; });
      } else {
        forEach2(a.scalar, b.scalar, n, [&](std::size_t i, std::size_t ia, std::size_t ib) { o[i] = x[ia] | y[ib]; });
      }
      return out;
    }
    // The dominant value (false for AND, true for OR) wins over null.
    const std::uint8_t dominant = and_ ? 0 : 1;
    for (std::size_t i = 0; i < n; ++i) {
      bool va = a.valid(i), vb = b.valid(i);
      std::uint8_t xa = va ? x[a.row(i)] : 0, yb = vb ? y[b.row(i)] : 0;
      if ((va && xa == dominant) || (vb && yb == dominant)) {
        o[i] = dominant;
      } else if (!va || !vb) {
        out->setNull(i);
      } else {
        o[i] = 1 - dominant;
      }
    }
    return out;
  }

 private:
  bool and_;
};

class NotExpr final : public FunctionExpr {
 public:
  explicit NotExpr(BoundExprPtr c) : FunctionExpr("NOT", {c}, BooleanType(), c->nullable(), Style::Prefix) {}

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

class NullTestExpr final : public FunctionExpr {
 public:
  NullTestExpr(bool wantNull, BoundExprPtr c)
      : FunctionExpr(wantNull ? "isnull" : "isnotnull", {c}, BooleanType(), false), wantNull_(wantNull) {}

  std::string toString() const override {
    return fmt::format("({} IS {}NULL)", args_[0]->toString(), wantNull_ ? "" : "NOT ");
  }

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    Arg a = evalArg(*args_[0], input, ctx);
    const std::size_t n = input.rows;
    auto out = Vector::make(BooleanType(), n);
    std::uint8_t* o = out->data<std::uint8_t>();
    for (std::size_t i = 0; i < n; ++i) o[i] = a.valid(i) != wantNull_;
    return out;
  }

 private:
  bool wantNull_;
};

class IsNanExpr final : public FunctionExpr {
 public:
  explicit IsNanExpr(BoundExprPtr c) : FunctionExpr("isnan", {c}, BooleanType(), false) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    Arg a = evalArg(*args_[0], input, ctx);
    const std::size_t n = input.rows;
    auto out = Vector::make(BooleanType(), n);
    std::uint8_t* o = out->data<std::uint8_t>();
    auto run = [&](auto tag) {
      using T = typename decltype(tag)::type;
      const T* x = a.data<T>();
      for (std::size_t i = 0; i < n; ++i) o[i] = a.valid(i) && std::isnan(x[a.row(i)]);  // null is not NaN
    };
    if (args_[0]->type().id() == TypeId::Float) {
      run(Tag<float>{});
    } else {
      run(Tag<double>{});
    }
    return out;
  }
};

BoundExprPtr bindAndOr(bool isAnd, std::vector<BoundExprPtr> args, const Expr& source) {
  for (auto& a : args)
    if (a->type().isNull()) a = castIfNeeded(a, BooleanType());
  const DataType lt = args[0]->type(), rt = args[1]->type();
  if (lt != rt)
    throwTypeMismatch("BINARY_OP_DIFF_TYPES", callText(source),
                      fmt::format("the left and right operands of the binary operator have incompatible types ({} and "
                                  "{}).",
                                  quoteType(lt), quoteType(rt)));
  if (!lt.isBoolean())
    throwTypeMismatch("BINARY_OP_WRONG_TYPE", callText(source),
                      fmt::format("the binary operator requires the input type \"BOOLEAN\", not {}.", quoteType(lt)));
  return std::make_shared<AndOrExpr>(isAnd, std::move(args[0]), std::move(args[1]));
}

}  // namespace

// Requires a BOOLEAN argument (untyped NULL accepted), for NOT, IF and CASE conditions.
BoundExprPtr requireBoolean(BoundExprPtr e, const Expr& source, std::size_t argIndex) {
  if (e->type().isNull()) return castIfNeeded(std::move(e), BooleanType());
  if (!e->type().isBoolean()) throwUnexpectedInput(callText(source), argIndex, "\"BOOLEAN\"", argText(source, argIndex, *e), e->type());
  return e;
}

void registerLogicFunctions(ScalarFunctionRegistry& r) {
  r.add("and", 2, 2, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) {
    return bindAndOr(true, std::move(args), source);
  });
  r.add("or", 2, 2, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) {
    return bindAndOr(false, std::move(args), source);
  });
  r.add("not", 1, 1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    return std::make_shared<NotExpr>(requireBoolean(std::move(args[0]), source, 0));
  });
  r.add("isnull", 1, 1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr&) -> BoundExprPtr {
    return std::make_shared<NullTestExpr>(true, std::move(args[0]));
  });
  r.add("isnotnull", 1, 1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr&) -> BoundExprPtr {
    return std::make_shared<NullTestExpr>(false, std::move(args[0]));
  });
  r.add("isnan", 1, 1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    BoundExprPtr a = std::move(args[0]);
    const DataType t = a->type();
    if (t.isNull() || t.isString() || t.isIntegral() || t.isDecimal()) {
      a = castIfNeeded(std::move(a), DoubleType());
    } else if (!t.isFloating()) {
      throwUnexpectedInput(callText(source), 0, "(\"DOUBLE\" or \"FLOAT\")", argText(source, 0, *a), t);
    }
    return std::make_shared<IsNanExpr>(std::move(a));
  });
}

}  // namespace engine::local
