// Conditional expressions: CASE WHEN, IF, COALESCE/NVL/IFNULL, NULLIF, GREATEST/LEAST. Each computes, per
// row, which argument supplies the value and then gathers the values in one typed pass.
#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "engine/local/expr/expr_cast.h"
#include "engine/local/expr/expr_compare.h"
#include "engine/local/expr/expr_registry.h"
#include "engine/local/expr/expressions.h"

namespace engine::local {

namespace {

constexpr std::int32_t kNullChoice = -1;

// Row i of the result is row i of sources[choice[i]] (null when the choice is kNullChoice or that row is
// null).
VectorPtr gather(const DataType& type, const std::vector<const Arg*>& sources, const std::vector<std::int32_t>& choice,
                 std::size_t n) {
  if (type.isNull()) return allNullVector(type, n);
  if (type.isString()) {
    std::size_t bytes = 0;
    for (const Arg* s : sources) bytes = std::max(bytes, s->v().chars().size());
    StringVectorBuilder b(n, bytes);
    for (std::size_t i = 0; i < n; ++i) {
      std::int32_t c = choice[i];
      if (c == kNullChoice || !sources[c]->valid(i)) {
        b.appendNull();
      } else {
        b.append(sources[c]->str(i));
      }
    }
    return b.finish();
  }
  if (type.isArray()) {
    ValueVectorBuilder b(type);
    for (std::size_t i = 0; i < n; ++i) {
      std::int32_t c = choice[i];
      b.append(c == kNullChoice ? Value() : sources[c]->v().get(sources[c]->row(i)));
    }
    return b.finish();
  }
  auto out = Vector::make(type, n);
  dispatchFixed(type.id(), [&](auto tag) {
    using T = typename decltype(tag)::type;
    T* o = out->template data<T>();
    for (std::size_t i = 0; i < n; ++i) {
      std::int32_t c = choice[i];
      if (c == kNullChoice || !sources[c]->valid(i)) {
        out->setNull(i);
      } else {
        o[i] = sources[c]->template data<T>()[sources[c]->row(i)];
      }
    }
  });
  return out;
}

std::string typeList(const std::vector<DataType>& types, const char* open, const char* sep, const char* close) {
  std::string s = open;
  for (std::size_t i = 0; i < types.size(); ++i) s += (i ? sep : "") + quoteType(types[i]);
  return s + close;
}

// Casts `args` to their wider common type (string promotion allowed), or throws DATA_DIFF_TYPES.
DataType coerceToCommon(std::vector<BoundExprPtr*> args, const std::string& fn, const Expr& source,
                        bool stringPromotion = true, bool parenthesised = false) {
  std::vector<DataType> types;
  for (auto* a : args) types.push_back((*a)->type());
  auto common = stringPromotion ? findWiderCommonType(types) : findWiderTypeWithoutStringPromotion(types);
  if (!common) {
    std::string list = parenthesised ? typeList(types, "(", " or ", ")") : typeList(types, "[", ", ", "]");
    throwTypeMismatch("DATA_DIFF_TYPES", callText(source),
                      fmt::format("Input to `{}` should all be the same type, but it's {}.", fn, list));
  }
  for (auto* a : args) *a = castIfNeeded(*a, *common);
  return *common;
}

// ---- CASE WHEN / IF ------------------------------------------------------------------------------

class CaseWhenExpr final : public FunctionExpr {
 public:
  // args: cond, value, cond, value, ..., [else]
  CaseWhenExpr(std::vector<BoundExprPtr> args, DataType type, bool nullable, bool isIf)
      : FunctionExpr(isIf ? "if" : "CASE", std::move(args), std::move(type), nullable), if_(isIf) {}

  std::string toString() const override {
    if (if_) return fmt::format("(IF({}, {}, {}))", args_[0]->toString(), args_[1]->toString(), args_[2]->toString());
    std::string s = "CASE";
    std::size_t pairs = args_.size() / 2;
    for (std::size_t k = 0; k < pairs; ++k)
      s += fmt::format(" WHEN {} THEN {}", args_[2 * k]->toString(), args_[2 * k + 1]->toString());
    if (args_.size() % 2 == 1) s += " ELSE " + args_.back()->toString();
    return s + " END";
  }

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    const std::size_t pairs = args_.size() / 2;
    const bool hasElse = args_.size() % 2 == 1;
    std::vector<std::int32_t> choice(n, kNullChoice);
    std::vector<std::uint8_t> decided(n, 0);
    std::size_t remaining = n;
    std::vector<Arg> values;
    std::vector<std::int32_t> valueSlot(args_.size(), -1);
    for (std::size_t k = 0; k < pairs && remaining > 0; ++k) {
      Arg cond = evalArg(*args_[2 * k], input, ctx);
      const std::uint8_t* c = cond.data<std::uint8_t>();
      bool any = false;
      for (std::size_t i = 0; i < n; ++i) {
        if (!decided[i] && cond.valid(i) && c[cond.row(i)]) {
          decided[i] = 1;
          choice[i] = static_cast<std::int32_t>(k);
          --remaining;
          any = true;
        }
      }
      if (any) valueSlot[k] = 0;  // evaluated below
    }
    // Evaluate only the branches some row takes.
    std::vector<std::int32_t> slotOf(pairs + 1, kNullChoice);
    for (std::size_t k = 0; k < pairs; ++k) {
      if (valueSlot[k] < 0) continue;
      slotOf[k] = static_cast<std::int32_t>(values.size());
      values.push_back(evalArg(*args_[2 * k + 1], input, ctx));
    }
    if (hasElse && remaining > 0) {
      slotOf[pairs] = static_cast<std::int32_t>(values.size());
      values.push_back(evalArg(*args_.back(), input, ctx));
    }
    for (std::size_t i = 0; i < n; ++i) choice[i] = decided[i] ? slotOf[choice[i]] : slotOf[pairs];
    std::vector<const Arg*> srcs;
    for (const auto& v : values) srcs.push_back(&v);
    return gather(type(), srcs, choice, n);
  }

 private:
  bool if_;
};

BoundExprPtr bindCaseWhen(std::vector<BoundExprPtr> args, const Expr& source) {
  const std::size_t pairs = args.size() / 2;
  if (pairs == 0)
    throw AnalysisException(fmt::format(
        "[WRONG_NUM_ARGS.WITHOUT_SUGGESTION] The `when` requires at least one condition and value, got {} arguments.",
        args.size()));
  std::vector<BoundExprPtr*> values;
  for (std::size_t k = 0; k < pairs; ++k) {
    args[2 * k] = requireBoolean(args[2 * k], source, 2 * k);
    values.push_back(&args[2 * k + 1]);
  }
  if (args.size() % 2 == 1) values.push_back(&args.back());
  DataType t = coerceToCommon(values, "casewhen", source);
  bool nullable = args.size() % 2 == 0;
  for (auto* v : values) nullable = nullable || (*v)->nullable();
  return std::make_shared<CaseWhenExpr>(std::move(args), t, nullable, false);
}

BoundExprPtr bindIf(std::vector<BoundExprPtr> args, const Expr& source) {
  args[0] = requireBoolean(args[0], source, 0);
  auto t = findWiderType(args[1]->type(), args[2]->type());
  if (!t)
    throwTypeMismatch("DATA_DIFF_TYPES", callText(source),
                      fmt::format("Input to `if` should all be the same type, but it's {}.",
                                  typeList({args[1]->type(), args[2]->type()}, "[", ", ", "]")));
  args[1] = castIfNeeded(args[1], *t);
  args[2] = castIfNeeded(args[2], *t);
  bool nullable = args[1]->nullable() || args[2]->nullable();
  return std::make_shared<CaseWhenExpr>(std::move(args), *t, nullable, true);
}

// ---- COALESCE / NULLIF ------------------------------------------------------------------------------

class CoalesceExpr final : public FunctionExpr {
 public:
  CoalesceExpr(std::string name, std::vector<BoundExprPtr> args, DataType type, bool nullable)
      : FunctionExpr(std::move(name), std::move(args), std::move(type), nullable) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    std::vector<Arg> values;
    std::vector<std::int32_t> choice(n, kNullChoice);
    std::size_t remaining = n;
    for (std::size_t k = 0; k < args_.size() && remaining > 0; ++k) {
      Arg a = evalArg(*args_[k], input, ctx);
      bool used = false;
      const auto slot = static_cast<std::int32_t>(values.size());
      for (std::size_t i = 0; i < n; ++i) {
        if (choice[i] == kNullChoice && a.valid(i)) {
          choice[i] = slot;
          --remaining;
          used = true;
        }
      }
      if (used) values.push_back(std::move(a));
    }
    std::vector<const Arg*> srcs;
    for (const auto& v : values) srcs.push_back(&v);
    return gather(type(), srcs, choice, n);
  }
};

class NullIfExpr final : public FunctionExpr {
 public:
  NullIfExpr(BoundExprPtr value, BoundExprPtr equal)
      : FunctionExpr("nullif", {value, equal}, value->type(), true) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    Arg v = evalArg(*args_[0], input, ctx);
    Arg eq = evalArg(*args_[1], input, ctx);
    std::vector<std::int32_t> choice(n, 0);
    const std::uint8_t* e = eq.data<std::uint8_t>();
    for (std::size_t i = 0; i < n; ++i)
      if (eq.valid(i) && e[eq.row(i)]) choice[i] = kNullChoice;
    return gather(type(), {&v}, choice, n);
  }
};

// ---- GREATEST / LEAST ------------------------------------------------------------------------------

class ExtremumExpr final : public FunctionExpr {
 public:
  ExtremumExpr(bool greatest, std::vector<BoundExprPtr> args, DataType type, bool nullable)
      : FunctionExpr(greatest ? "greatest" : "least", std::move(args), std::move(type), nullable),
        greatest_(greatest) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    std::vector<Arg> values = evalArgs(args_, input, ctx);
    std::vector<std::int32_t> choice(n, kNullChoice);
    dispatchComparable(type(), [&](auto tag) {
      using T = typename decltype(tag)::type;
      const int sign = greatest_ ? 1 : -1;
      for (std::size_t k = 0; k < values.size(); ++k) {
        const Arg& a = values[k];
        if (a.scalarNull()) continue;
        for (std::size_t i = 0; i < n; ++i) {
          if (!a.valid(i)) continue;
          std::int32_t c = choice[i];
          if (c == kNullChoice || sign * compareValues(cellOf<T>(a, i), cellOf<T>(values[c], i)) > 0)
            choice[i] = static_cast<std::int32_t>(k);
        }
      }
    });
    std::vector<const Arg*> srcs;
    for (const auto& v : values) srcs.push_back(&v);
    return gather(type(), srcs, choice, n);
  }

 private:
  bool greatest_;
};

}  // namespace

void registerConditionalFunctions(ScalarFunctionRegistry& r) {
  r.add("when", 2, -1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) {
    return bindCaseWhen(std::move(args), source);
  });
  r.add("if", 3, 3, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) {
    return bindIf(std::move(args), source);
  });
  r.add("iff", 3, 3, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) {
    return bindIf(std::move(args), source);
  });
  auto coalesce = [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    std::vector<BoundExprPtr*> ptrs;
    for (auto& a : args) ptrs.push_back(&a);
    DataType t = coerceToCommon(ptrs, "coalesce", source, true, true);
    bool nullable = std::all_of(args.begin(), args.end(), [](const auto& a) { return a->nullable(); });
    return std::make_shared<CoalesceExpr>(name, std::move(args), t, nullable);
  };
  r.add("coalesce", 1, -1, coalesce);
  r.add("nvl", 2, 2, coalesce);
  r.add("ifnull", 2, 2, coalesce);
  r.add("nullif", 2, 2, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    BoundExprPtr value = args[0];
    BoundExprPtr eq = bindScalarFunction("==", {args[0], args[1]}, source);
    return std::make_shared<NullIfExpr>(std::move(value), std::move(eq));
  });
  for (bool greatest : {true, false}) {
    r.add(greatest ? "greatest" : "least", 2, -1,
          [greatest](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
            std::vector<BoundExprPtr*> ptrs;
            for (auto& a : args) ptrs.push_back(&a);
            DataType t = coerceToCommon(ptrs, name, source, false);
            bool nullable = std::all_of(args.begin(), args.end(), [](const auto& a) { return a->nullable(); });
            return std::make_shared<ExtremumExpr>(greatest, std::move(args), t, nullable);
          });
  }
}

}  // namespace engine::local
