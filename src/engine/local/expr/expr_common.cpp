#include "engine/local/expr/expr_common.h"

#include <array>

#include <fmt/format.h>

#include "engine/expr_to_string.h"
#include "engine/local/expr/expr_cast.h"
#include "engine/local/expr/expr_registry.h"

namespace engine::local {

Arg evalArg(const BoundExpr& e, const Batch& batch, const EvalContext& ctx) {
  if (e.isConstant()) {
    // One row stands for all: kernels broadcast it instead of reading a materialised column.
    static const Batch kOneRow({}, 1);
    return Arg{e.eval(kOneRow, ctx), true};
  }
  return Arg{e.eval(batch, ctx), false};
}

std::vector<Arg> evalArgs(const std::vector<BoundExprPtr>& args, const Batch& batch, const EvalContext& ctx) {
  std::vector<Arg> out;
  out.reserve(args.size());
  for (const auto& a : args) out.push_back(evalArg(*a, batch, ctx));
  return out;
}

bool propagateNulls(Vector& out, const std::vector<const Arg*>& args, std::size_t n) {
  for (const Arg* a : args) {
    if (a->scalarNull()) {
      out.validity().setAllNull(n);
      return false;
    }
  }
  bool materialized = false;
  const std::size_t nw = Validity::wordsFor(n);
  for (const Arg* a : args) {
    if (a->scalar || a->vec->validity().allValid()) continue;
    const std::uint64_t* w = a->vec->validity().words();
    auto& st = out.validity().storage();
    if (!materialized) {
      st.assign(w, w + nw);
      materialized = true;
    } else {
      for (std::size_t k = 0; k < nw; ++k) st[k] &= w[k];
    }
  }
  return true;
}

MutableVectorPtr allNullVector(const DataType& type, std::size_t n) {
  auto v = Vector::make(type, n);
  v->validity().setAllNull(n);
  return v;
}

namespace {
bool allConstant(const std::vector<BoundExprPtr>& args) {
  for (const auto& a : args)
    if (!a->isConstant()) return false;
  return true;
}
}  // namespace

FunctionExpr::FunctionExpr(std::string name, std::vector<BoundExprPtr> args, DataType type, bool nullable,
                           Style style)
    : BoundExpr(std::move(type), nullable),
      name_(std::move(name)),
      args_(std::move(args)),
      style_(style),
      constant_(allConstant(args_)) {}

VectorPtr FunctionExpr::eval(const Batch& input, const EvalContext& ctx) const {
  if (!constant_) return evalRows(input, ctx);
  static const Batch kOneRow({}, 1);
  VectorPtr one = evalRows(kOneRow, ctx);
  if (input.rows == 1) return one;
  return Vector::constant(one->get(0), type(), input.rows);
}

bool FunctionExpr::collectColumns(std::vector<int>& out) const {
  for (const auto& a : args_)
    if (!a->collectColumns(out)) return false;
  return true;
}

Value FunctionExpr::constantValue() const {
  static const Batch kOneRow({}, 1);
  return evalRows(kOneRow, EvalContext{})->get(0);
}

std::string FunctionExpr::toString() const {
  switch (style_) {
    case Style::Infix:
      if (args_.size() == 2) return fmt::format("({} {} {})", args_[0]->toString(), name_, args_[1]->toString());
      break;
    case Style::Prefix:
      if (args_.size() == 1) return fmt::format("({} {})", name_, args_[0]->toString());
      break;
    case Style::Call:
      break;
  }
  std::string s = name_ + "(";
  for (std::size_t i = 0; i < args_.size(); ++i) {
    if (i) s += ", ";
    s += args_[i]->toString();
  }
  return s + ")";
}

void throwTypeMismatch(const std::string& subclass, const std::string& exprText, const std::string& detail) {
  throw AnalysisException(fmt::format("[DATATYPE_MISMATCH.{}] Cannot resolve \"{}\" due to data type mismatch: {}",
                                      subclass, exprText, detail));
}

std::string quoteType(const DataType& t) { return "\"" + t.sql() + "\""; }

std::string ordinalWord(std::size_t i) {
  static const char* kWords[] = {"first", "second", "third", "fourth", "fifth", "sixth", "seventh", "eighth", "ninth",
                                 "tenth"};
  if (i < 10) return kWords[i];
  return fmt::format("{}th", i + 1);
}

void throwUnexpectedInput(const std::string& exprText, std::size_t argIndex, const std::string& required,
                          const std::string& argText, const DataType& actual) {
  throwTypeMismatch("UNEXPECTED_INPUT_TYPE", exprText,
                    fmt::format("The {} parameter requires the {} type, however \"{}\" has the type {}.",
                                ordinalWord(argIndex), required, argText, quoteType(actual)));
}

namespace {
constexpr std::array<int128_t, 39> kPow10 = [] {
  std::array<int128_t, 39> t{};
  t[0] = 1;
  for (std::size_t i = 1; i < t.size(); ++i) t[i] = t[i - 1] * 10;
  return t;
}();
}  // namespace

int128_t pow10i128(int k) {
  if (k < 0 || k > 38) throw ExecutionException(fmt::format("internal error: 10^{} is outside the decimal range", k));
  return kPow10[static_cast<std::size_t>(k)];
}

int decimalDigits(int128_t v) {
  if (v < 0) v = -v;
  int d = 1;
  while (d < 39 && v >= pow10i128(d)) ++d;
  return d;
}

bool rescaleDecimal(int128_t v, int from, int to, int precision, int128_t& out) {
  if (to >= from) {
    int d = to - from;
    if (v == 0 || d == 0) {
      out = v;
    } else if (d <= 18 && v > INT64_MIN && v < INT64_MAX) {
      out = v * kPow10[static_cast<std::size_t>(d)];  // |v| < 2^63 and 10^d < 2^60: no overflow
    } else if (d > 38 || __builtin_mul_overflow(v, pow10i128(d), &out)) {
      return false;
    }
  } else {
    int d = from - to;
    if (d > 38) {
      out = 0;
    } else {
      int128_t m = pow10i128(d);
      int128_t q = v / m, r = v % m;
      if (r < 0) r = -r;
      if (r >= m - r) q += (v < 0 ? -1 : 1);  // HALF_UP
      out = q;
    }
  }
  return fitsPrecision(out, precision);
}

std::string argText(const Expr& source, std::size_t i, const BoundExpr& bound) {
  return i < source.children.size() ? exprText(*source.children[i]) : bound.toString();
}

BoundExprPtr stringArg(BoundExprPtr e, const Expr& source, std::size_t i) {
  const DataType& t = e->type();
  if (t.isString()) return e;
  if (t.isArray()) throwUnexpectedInput(callText(source), i, "\"STRING\"", argText(source, i, *e), t);
  return castIfNeeded(std::move(e), StringType());
}

BoundExprPtr intArg(BoundExprPtr e, const Expr& source, std::size_t i) {
  const DataType& t = e->type();
  if (t.id() == TypeId::Integer) return e;
  if (!(t.isNumeric() || t.isString() || t.isNull()))
    throwUnexpectedInput(callText(source), i, "\"INT\"", argText(source, i, *e), t);
  return castIfNeeded(std::move(e), IntegerType());
}

}  // namespace engine::local
