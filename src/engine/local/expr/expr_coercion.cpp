// Spark's implicit type coercion (TypeCoercion and DecimalPrecision with ANSI off).
#include <algorithm>

#include "engine/local/expr/expr_common.h"
#include "engine/local/expr/expr_registry.h"
#include "engine/local/expr/expressions.h"

namespace engine::local {

namespace {

int numericPrecedence(TypeId id) {
  switch (id) {
    case TypeId::Byte: return 0;
    case TypeId::Short: return 1;
    case TypeId::Integer: return 2;
    case TypeId::Long: return 3;
    case TypeId::Float: return 4;
    case TypeId::Double: return 5;
    default: return -1;
  }
}

bool isWiderThan(const DataType& dec, const DataType& integral) {
  DataType f = decimalForType(integral);
  return dec.precision() - dec.scale() >= f.precision() && dec.scale() >= 0;
}

bool isAtomic(const DataType& t) { return !t.isArray() && !t.isNull(); }

bool hasStringType(const DataType& t) { return t.isString() || (t.isArray() && hasStringType(t.elementType())); }

std::optional<DataType> findWiderForDecimal(const DataType& a, const DataType& b) {
  if (a.isDecimal() && b.isDecimal()) return widerDecimalType(a.precision(), a.scale(), b.precision(), b.scale());
  if (a.isIntegral() && b.isDecimal()) {
    DataType f = decimalForType(a);
    return widerDecimalType(f.precision(), f.scale(), b.precision(), b.scale());
  }
  if (a.isDecimal() && b.isIntegral()) return findWiderForDecimal(b, a);
  if ((a.isFloating() && b.isDecimal()) || (a.isDecimal() && b.isFloating())) return DoubleType();
  return std::nullopt;
}

std::optional<DataType> stringPromotion(const DataType& a, const DataType& b) {
  if (a.isString() && isAtomic(b) && !b.isBoolean()) return StringType();
  if (b.isString() && isAtomic(a) && !a.isBoolean()) return StringType();
  return std::nullopt;
}

template <class TwoFn>
std::optional<DataType> complexWider(const DataType& a, const DataType& b, TwoFn two) {
  if (a.isArray() && b.isArray()) {
    auto e = two(a.elementType(), b.elementType());
    if (e) return ArrayType(*e);
  }
  return std::nullopt;
}

std::optional<DataType> widerWithoutStringPromotion(const DataType& a, const DataType& b) {
  if (auto t = findTightestCommonType(a, b)) return t;
  if (auto t = findWiderForDecimal(a, b)) return t;
  return complexWider(a, b, widerWithoutStringPromotion);
}

}  // namespace

DataType boundedDecimal(int precision, int scale) {
  return DecimalType(std::min(precision, DataType::kMaxDecimalPrecision), std::min(scale, DataType::kMaxDecimalPrecision));
}

DataType adjustPrecisionScale(int precision, int scale) {
  if (precision <= DataType::kMaxDecimalPrecision) return DecimalType(precision, scale);
  int intDigits = precision - scale;
  int minScale = std::min(scale, 6);
  int adjusted = std::max(DataType::kMaxDecimalPrecision - intDigits, minScale);
  return DecimalType(DataType::kMaxDecimalPrecision, adjusted);
}

DataType widerDecimalType(int p1, int s1, int p2, int s2) {
  int scale = std::max(s1, s2);
  int range = std::max(p1 - s1, p2 - s2);
  return boundedDecimal(range + scale, scale);
}

DataType decimalForType(const DataType& t) {
  switch (t.id()) {
    case TypeId::Byte: return DecimalType(3, 0);
    case TypeId::Short: return DecimalType(5, 0);
    case TypeId::Integer: return DecimalType(10, 0);
    case TypeId::Long: return DecimalType(20, 0);
    case TypeId::Float: return DecimalType(14, 7);
    case TypeId::Double: return DecimalType(30, 15);
    case TypeId::Decimal: return t;
    default: return DecimalType(38, 18);
  }
}

DataType decimalForLiteral(const Value& v) {
  if (v.isNull()) return DecimalType(1, 0);
  return DecimalType(decimalDigits(v.toInt64()), 0);
}

std::optional<DataType> decimalOperandType(const BoundExpr& e) {
  const DataType& t = e.type();
  if (t.isDecimal()) return t;
  if (t.isIntegral()) {
    if (const Value* lit = literalValue(e); lit && !lit->isNull()) return decimalForLiteral(*lit);
    return decimalForType(t);
  }
  return std::nullopt;
}

std::optional<DataType> findTightestCommonType(const DataType& a, const DataType& b) {
  if (a == b) return a;
  if (a.isNull()) return b;
  if (b.isNull()) return a;
  if (a.isIntegral() && b.isDecimal() && isWiderThan(b, a)) return b;
  if (a.isDecimal() && b.isIntegral() && isWiderThan(a, b)) return a;
  int pa = numericPrecedence(a.id()), pb = numericPrecedence(b.id());
  if (pa >= 0 && pb >= 0) return pa >= pb ? a : b;
  if (a.isDatetime() && b.isDatetime()) return TimestampType();
  if (a.isInterval() && a.id() == b.id()) {
    // Intervals of one kind widen to the union of their fields (DAY and HOUR give DAY TO HOUR).
    int start = std::min(a.startField(), b.startField()), end = std::max(a.endField(), b.endField());
    return a.id() == TypeId::YearMonthInterval ? YearMonthIntervalType(start, end) : DayTimeIntervalType(start, end);
  }
  if (a.id() == b.id() && !a.isArray() && !a.isDecimal()) return a;
  return complexWider(a, b, findTightestCommonType);
}

std::optional<DataType> findWiderType(const DataType& a, const DataType& b) {
  if (auto t = findTightestCommonType(a, b)) return t;
  if (auto t = findWiderForDecimal(a, b)) return t;
  if (auto t = stringPromotion(a, b)) return t;
  return complexWider(a, b, findWiderType);
}

std::optional<DataType> findWiderCommonType(const std::vector<DataType>& types) {
  // Types holding strings go first: findWiderType is not associative once strings are involved.
  std::vector<DataType> ordered;
  for (const auto& t : types)
    if (hasStringType(t) && std::find(ordered.begin(), ordered.end(), t) == ordered.end()) ordered.push_back(t);
  for (const auto& t : types)
    if (!hasStringType(t)) ordered.push_back(t);
  std::optional<DataType> acc = NullType();
  for (const auto& t : ordered) {
    acc = findWiderType(*acc, t);
    if (!acc) return std::nullopt;
  }
  return acc;
}

std::optional<DataType> findWiderTypeWithoutStringPromotion(const std::vector<DataType>& types) {
  std::optional<DataType> acc = NullType();
  for (const auto& t : types) {
    acc = widerWithoutStringPromotion(*acc, t);
    if (!acc) return std::nullopt;
  }
  return acc;
}

std::optional<DataType> comparisonType(const BoundExpr& left, const BoundExpr& right) {
  const DataType& a = left.type();
  const DataType& b = right.type();
  if (a == b) return a;
  if (a.isNull()) return b;
  if (b.isNull()) return a;
  // An interval compares only with an interval of its kind (widened as findTightestCommonType does).
  if (a.isInterval() || b.isInterval()) return a.id() == b.id() ? findTightestCommonType(a, b) : std::nullopt;
  // Strings against dates and timestamps compare as dates/timestamps.
  if ((a.isString() && b.isDatetime()) || (a.isDatetime() && b.isString())) return a.isString() ? b : a;
  if (a.isDatetime() && b.isDatetime()) return TimestampType();
  // There is no decimal type that fits any string: compare as double.
  if ((a.isDecimal() && b.isString()) || (a.isString() && b.isDecimal())) return DoubleType();
  if (a.isString() && isAtomic(b)) return b;
  if (b.isString() && isAtomic(a)) return a;
  if (a.isDecimal() || b.isDecimal()) {
    if (a.isFloating() || b.isFloating()) return DoubleType();
    auto da = decimalOperandType(left), db = decimalOperandType(right);
    if (da && db) return widerDecimalType(da->precision(), da->scale(), db->precision(), db->scale());
    return std::nullopt;
  }
  if (a.isArray() && b.isArray()) return findWiderType(a, b);
  return findTightestCommonType(a, b);
}

}  // namespace engine::local
