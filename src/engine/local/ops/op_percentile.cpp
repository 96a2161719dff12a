#include "engine/local/ops/op_percentile.h"

#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/local/ops/quantile_summaries.h"

namespace engine::local {

namespace {

struct PercentileParams {
  std::vector<double> percentages;
  bool isArray = false;
  double accuracy = kDefaultPercentileAccuracy;
};

[[noreturn]] void typeError(const std::string& why) {
  throw AnalysisException("[DATATYPE_MISMATCH] Cannot resolve percentile_approx: " + why);
}

bool acceptsInput(const DataType& t) {
  return t.isNumeric() || t.id() == TypeId::Date || t.id() == TypeId::Timestamp || t.isNull();
}

// Percentages and accuracy must be constants, as in Spark. The planner passes them as literal parameters
// (params[0] percentages, params[1] accuracy); calls bound directly may still carry them as constant arguments.
std::vector<Value> constantParams(const AggregateCall& call) {
  if (!call.params.empty() || call.args.size() <= 1) return call.params;
  std::vector<Value> out;
  for (std::size_t i = 1; i < call.args.size(); ++i) {
    if (!call.args[i]->isConstant())
      typeError("the percentage(s) and the accuracy must be constant literals, but got " + call.args[i]->toString() + ".");
    out.push_back(call.args[i]->constantValue());
  }
  return out;
}

void checkArity(std::size_t params) {
  if (params < 1 || params > 2)
    throw AnalysisException(fmt::format(
        "[WRONG_NUM_ARGS.WITHOUT_SUGGESTION] The `percentile_approx` requires [2, 3] parameters but the actual number "
        "is {}.",
        params + 1));
}

PercentileParams paramsOf(const std::vector<Value>& params) {
  checkArity(params.size());
  PercentileParams p;
  const Value& pv = params[0];
  auto addPercent = [&](const Value& v) {
    if (v.isNull() || !v.isNumeric()) typeError("the percentage(s) must not be null.");
    double d = v.toDouble();
    if (!(d >= 0.0 && d <= 1.0))
      typeError(fmt::format("All percentage values must be between 0.0 and 1.0 (current = {}).", javaDoubleString(d)));
    p.percentages.push_back(d);
  };
  if (pv.isNull()) typeError("the percentage(s) must not be null.");
  if (pv.is<std::shared_ptr<const ArrayValue>>()) {
    p.isArray = true;
    for (const auto& e : pv.arr().elements) addPercent(e);
  } else {
    addPercent(pv);
  }
  if (params.size() == 2) {
    const Value& av = params[1];
    if (av.isNull() || !av.isNumeric()) typeError("the accuracy must be an integer literal.");
    double a = av.toDouble();
    if (!(a > 0) || a > std::numeric_limits<std::int32_t>::max())
      typeError(fmt::format("The accuracy provided must be a literal between (0, {}] (current value = {}).",
                            std::numeric_limits<std::int32_t>::max(), av.toString()));
    p.accuracy = std::floor(a);
  }
  return p;
}

class PercentileStates final : public AggStates {
 public:
  PercentileStates(const AggregateCall& call, const AggInput& input)
      : input_(input), params_(paramsOf(constantParams(call))), resultType_(call.resultType), valueType_(input.types[0]) {}

  void resize(std::size_t groups) override {
    while (s_.size() < groups) s_.emplace_back(1.0 / params_.accuracy);
  }

  void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) override {
    const Vector& v = *input_.parts[part][0];
    const bool allValid = v.validity().allValid();
    auto run = [&](auto get) {
      for (std::size_t i = 0; i < n; ++i) {
        std::size_t r = begin + i;
        if (allValid || v.isValid(r)) s_[gids[i]].insert(get(r));
      }
    };
    switch (valueType_.id()) {
      case TypeId::Null: return;
      case TypeId::Byte: run([&](std::size_t r) { return static_cast<double>(v.data<std::int8_t>()[r]); }); return;
      case TypeId::Short: run([&](std::size_t r) { return static_cast<double>(v.data<std::int16_t>()[r]); }); return;
      case TypeId::Integer:
      case TypeId::Date: run([&](std::size_t r) { return static_cast<double>(v.data<std::int32_t>()[r]); }); return;
      case TypeId::Long:
      case TypeId::Timestamp: run([&](std::size_t r) { return static_cast<double>(v.data<std::int64_t>()[r]); }); return;
      case TypeId::Float: run([&](std::size_t r) { return static_cast<double>(v.data<float>()[r]); }); return;
      case TypeId::Double: run([&](std::size_t r) { return v.data<double>()[r]; }); return;
      case TypeId::Decimal:
        if (valueType_.precision() <= 18) {
          // Spark's Decimal.toDouble for compact decimals: the unscaled long divided by 10^scale in double.
          const double div = static_cast<double>(pow10_128(valueType_.scale()));
          run([&](std::size_t r) { return static_cast<double>(static_cast<std::int64_t>(v.data<int128_t>()[r])) / div; });
        } else {
          // Wider decimals go through BigDecimal.doubleValue: the correctly rounded value of the exact text.
          run([&](std::size_t r) {
            Decimal d{v.data<int128_t>()[r], static_cast<std::uint8_t>(valueType_.precision()),
                      static_cast<std::uint8_t>(valueType_.scale())};
            return d.toDouble();
          });
        }
        return;
      default: typeError("unsupported input type " + valueType_.simpleString() + ".");
    }
  }

  void merge(const AggStates& other, const std::uint32_t* src, const std::uint32_t* dst, std::size_t n) override {
    auto& o = const_cast<PercentileStates&>(static_cast<const PercentileStates&>(other));
    for (std::size_t i = 0; i < n; ++i) s_[dst[i]].merge(o.s_[src[i]]);
  }

  VectorPtr finish() override {
    std::vector<Value> out;
    out.reserve(s_.size());
    const DataType& elem = params_.isArray ? resultType_.elementType() : resultType_;
    for (auto& q : s_) {
      auto r = q.count() == 0 ? std::nullopt : q.query(params_.percentages);
      if (!r) {
        out.emplace_back();
        continue;
      }
      std::vector<Value> vals;
      for (double d : *r) vals.push_back(convert(d, elem));
      if (params_.isArray) {
        out.push_back(Value::array(elem, std::move(vals)));
      } else {
        out.push_back(vals.empty() ? Value() : vals[0]);
      }
    }
    return Vector::fromValues(resultType_, out);
  }

 private:
  // Spark casts the double answer back to the input type (toInt / toLong truncate; decimals via Decimal(d)).
  static Value convert(double d, const DataType& t) {
    switch (t.id()) {
      case TypeId::Byte: return Value(static_cast<std::int8_t>(static_cast<std::int32_t>(d)));
      case TypeId::Short: return Value(static_cast<std::int16_t>(static_cast<std::int32_t>(d)));
      case TypeId::Integer: return Value(static_cast<std::int32_t>(d));
      case TypeId::Date: return Value(Date{static_cast<std::int32_t>(d)});
      case TypeId::Long: return Value(static_cast<std::int64_t>(d));
      case TypeId::Timestamp: return Value(Timestamp{static_cast<std::int64_t>(d)});
      case TypeId::Float: return Value(static_cast<float>(d));
      case TypeId::Double: return Value(d);
      case TypeId::Decimal: {
        // Decimal(d) reads Double.toString(d), then the result type's scale is applied rounding HALF_UP.
        auto dec = Decimal::parse(javaDoubleString(d));
        if (!dec) return Value();
        int128_t u = dec->unscaled;
        int scale = dec->scale;
        if (scale > t.scale()) {
          int128_t f = pow10_128(scale - t.scale());
          int128_t q = u / f, rem = u % f;
          if (rem * 2 >= f) ++q;
          if (rem * 2 <= -f) --q;
          u = q;
        } else {
          u *= pow10_128(t.scale() - scale);
        }
        int128_t lim = pow10_128(t.precision());
        if (u >= lim || u <= -lim) return Value();
        return Value(Decimal{u, static_cast<std::uint8_t>(t.precision()), static_cast<std::uint8_t>(t.scale())});
      }
      default: return Value(d);
    }
  }

  const AggInput& input_;
  PercentileParams params_;
  DataType resultType_;
  DataType valueType_;
  std::vector<QuantileSummaries> s_;
};

}  // namespace

AggregateDef percentileApproxDef() {
  AggregateDef d;
  d.partitionExact = true;
  d.resultType = [](const std::vector<DataType>& a, const std::vector<Value>& params) {
    if (a.empty()) checkArity(0);
    if (!acceptsInput(a[0]))
      typeError("the first parameter requires a numeric, date or timestamp type, however it has the type " +
                a[0].simpleString() + ".");
    bool isArray = false;
    if (!params.empty()) {
      isArray = paramsOf(params).isArray;  // validates the percentages and the accuracy too
    } else {
      checkArity(a.size() - 1);
      const DataType& pt = a[1];
      isArray = pt.isArray();
      const DataType& pe = isArray ? pt.elementType() : pt;
      if (!(pe.isNumeric() || pe.isNull())) typeError("the percentage(s) must be a double or an array of doubles.");
      if (a.size() == 3 && !(a[2].isIntegral() || a[2].isNull())) typeError("the accuracy must be an integer.");
    }
    DataType value = a[0].isNull() ? DoubleType() : a[0];
    return isArray ? ArrayType(value) : value;
  };
  d.make = [](const AggregateCall& call, const AggInput& in) -> std::unique_ptr<AggStates> {
    return std::make_unique<PercentileStates>(call, in);
  };
  return d;
}

}  // namespace engine::local
