#include "engine/local/expr/expr_udf.h"

#include <algorithm>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/local/expr/expressions.h"

namespace engine::local {

namespace {

class UdfExpr final : public BoundExpr {
 public:
  UdfExpr(std::shared_ptr<const UdfInfo> info, std::vector<BoundExprPtr> args)
      : BoundExpr(info->returnType, true), info_(std::move(info)), args_(std::move(args)) {}

  VectorPtr eval(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    std::vector<VectorPtr> cols;
    cols.reserve(args_.size());
    for (const auto& a : args_) cols.push_back(a->eval(input, ctx));
    const std::size_t step = std::max<std::size_t>(info_->maxBatchRows, 1);
    if (n <= step) return call(cols, n);
    std::vector<VectorPtr> parts;
    for (std::size_t begin = 0; begin < n; begin += step) {
      const std::size_t len = std::min(step, n - begin);
      std::vector<VectorPtr> slices;
      slices.reserve(cols.size());
      for (const auto& c : cols) slices.push_back(slice(*c, begin, len));
      parts.push_back(call(slices, len));
    }
    std::vector<const Vector*> ptrs;
    for (const auto& p : parts) ptrs.push_back(p.get());
    return concat(ptrs, type());
  }

  bool collectColumns(std::vector<int>& out) const override {
    for (const auto& a : args_)
      if (!a->collectColumns(out)) return false;
    return true;
  }

  std::string toString() const override {
    std::string s = info_->name + "(";
    for (std::size_t i = 0; i < args_.size(); ++i) s += (i ? ", " : "") + args_[i]->toString();
    return s + ")";
  }

 private:
  VectorPtr call(const std::vector<VectorPtr>& cols, std::size_t rows) const {
    VectorPtr out = info_->function(cols, rows);
    if (!out)
      throw ExecutionException(fmt::format("[UDF_ERROR] The function {} returned no result for a batch of {} rows.",
                                           info_->name, rows));
    if (out->size() != rows)
      throw ExecutionException(
          fmt::format("[UDF_ERROR] The function {} returned {} values for a batch of {} rows; it must return one value "
                      "per row.",
                      info_->name, out->size(), rows));
    if (out->type() == type()) return out;
    if (!(out->type().isNumeric() || out->type().isBoolean() || out->type().isNull()) || !canCast(out->type(), type()))
      throw ExecutionException(fmt::format("[UDF_ERROR] The function {} returned values of type {} but declares {}.",
                                           info_->name, out->type().simpleString(), type().simpleString()));
    Batch b({out}, rows);
    return bindCast(boundColumn(0, out->type()), type())->eval(b, EvalContext{});
  }

  std::shared_ptr<const UdfInfo> info_;
  std::vector<BoundExprPtr> args_;
};

}  // namespace

BoundExprPtr bindUdf(std::shared_ptr<const UdfInfo> info, std::vector<BoundExprPtr> args) {
  if (!info || !info->function) throw AnalysisException("a vectorised function without a body cannot be called");
  return std::make_shared<UdfExpr>(std::move(info), std::move(args));
}

}  // namespace engine::local
