#include "engine/types.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include <fmt/format.h>

#include "engine/errors.h"

namespace engine {

namespace {
const DataType& nullTypeInstance() {
  static const DataType t;
  return t;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}
}  // namespace

DataType DataType::decimal(int precision, int scale) {
  if (precision < 1 || precision > kMaxDecimalPrecision || scale < 0 || scale > precision) {
    throw AnalysisException(fmt::format(
        "[INVALID_PARAMETER_VALUE] decimal({},{}) is not a valid decimal type: precision must be between 1 and {} "
        "and scale between 0 and the precision.",
        precision, scale, kMaxDecimalPrecision));
  }
  DataType t(TypeId::Decimal);
  t.precision_ = static_cast<std::uint8_t>(precision);
  t.scale_ = static_cast<std::uint8_t>(scale);
  return t;
}

DataType DataType::array(const DataType& element, bool containsNull) {
  DataType t(TypeId::Array);
  t.element_ = std::make_shared<const DataType>(element);
  t.containsNull_ = containsNull;
  return t;
}

DataType DataType::yearMonthInterval(int startField, int endField) {
  if (startField < 0 || endField > 1 || startField > endField)
    throw AnalysisException(fmt::format("[INVALID_INTERVAL_FORMAT] year-month interval fields {} to {}", startField, endField));
  DataType t(TypeId::YearMonthInterval);
  t.precision_ = static_cast<std::uint8_t>(startField);
  t.scale_ = static_cast<std::uint8_t>(endField);
  return t;
}

DataType DataType::dayTimeInterval(int startField, int endField) {
  if (startField < 0 || endField > 3 || startField > endField)
    throw AnalysisException(fmt::format("[INVALID_INTERVAL_FORMAT] day-time interval fields {} to {}", startField, endField));
  DataType t(TypeId::DayTimeInterval);
  t.precision_ = static_cast<std::uint8_t>(startField);
  t.scale_ = static_cast<std::uint8_t>(endField);
  return t;
}

namespace {
// "interval day to hour", "interval year": Spark's typeName of an interval type.
std::string intervalTypeName(const DataType& t) {
  static const char* const ym[] = {"year", "month"};
  static const char* const dt[] = {"day", "hour", "minute", "second"};
  const char* const* names = t.id() == TypeId::YearMonthInterval ? ym : dt;
  std::string s = std::string("interval ") + names[t.startField()];
  if (t.endField() != t.startField()) s += std::string(" to ") + names[t.endField()];
  return s;
}
}  // namespace

const DataType& DataType::elementType() const { return element_ ? *element_ : nullTypeInstance(); }

bool DataType::isIntegral() const {
  return id_ == TypeId::Byte || id_ == TypeId::Short || id_ == TypeId::Integer || id_ == TypeId::Long;
}

std::string DataType::typeName() const {
  switch (id_) {
    case TypeId::Null: return "void";
    case TypeId::Boolean: return "boolean";
    case TypeId::Byte: return "byte";
    case TypeId::Short: return "short";
    case TypeId::Integer: return "integer";
    case TypeId::Long: return "long";
    case TypeId::Float: return "float";
    case TypeId::Double: return "double";
    case TypeId::Decimal: return "decimal";
    case TypeId::String: return "string";
    case TypeId::Date: return "date";
    case TypeId::Timestamp: return "timestamp";
    case TypeId::Array: return "array";
    case TypeId::YearMonthInterval:
    case TypeId::DayTimeInterval: return intervalTypeName(*this);
  }
  return "unknown";
}

std::string DataType::simpleString() const {
  switch (id_) {
    case TypeId::Null: return "void";
    case TypeId::Boolean: return "boolean";
    case TypeId::Byte: return "tinyint";
    case TypeId::Short: return "smallint";
    case TypeId::Integer: return "int";
    case TypeId::Long: return "bigint";
    case TypeId::Float: return "float";
    case TypeId::Double: return "double";
    case TypeId::Decimal: return fmt::format("decimal({},{})", precision_, scale_);
    case TypeId::String: return "string";
    case TypeId::Date: return "date";
    case TypeId::Timestamp: return "timestamp";
    case TypeId::Array: return "array<" + elementType().simpleString() + ">";
    case TypeId::YearMonthInterval:
    case TypeId::DayTimeInterval: return intervalTypeName(*this);
  }
  return "unknown";
}

std::string DataType::sql() const {
  if (id_ == TypeId::Array) return "ARRAY<" + elementType().sql() + ">";
  std::string s = simpleString();
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::size_t DataType::fixedWidth() const {
  switch (id_) {
    case TypeId::Null: return 0;
    case TypeId::Boolean:
    case TypeId::Byte: return 1;
    case TypeId::Short: return 2;
    case TypeId::Integer:
    case TypeId::Date:
    case TypeId::YearMonthInterval:
    case TypeId::Float: return 4;
    case TypeId::Long:
    case TypeId::Timestamp:
    case TypeId::DayTimeInterval:
    case TypeId::Double: return 8;
    case TypeId::Decimal: return 16;
    case TypeId::String:
    case TypeId::Array: return 0;
  }
  return 0;
}

bool DataType::operator==(const DataType& o) const {
  if (id_ != o.id_) return false;
  if (id_ == TypeId::Decimal || isInterval()) return precision_ == o.precision_ && scale_ == o.scale_;
  if (id_ == TypeId::Array) return elementType() == o.elementType();
  return true;
}

namespace {

// A type name other than array<...>.
std::optional<DataType> parseScalar(std::string_view text) {
  std::string s = lower(trim(text));
  if (s == "int" || s == "integer") return IntegerType();
  if (s == "bigint" || s == "long") return LongType();
  if (s == "smallint" || s == "short") return ShortType();
  if (s == "tinyint" || s == "byte") return ByteType();
  if (s == "float" || s == "real") return FloatType();
  if (s == "double") return DoubleType();
  if (s == "string") return StringType();
  if (s == "boolean" || s == "bool") return BooleanType();
  if (s == "date") return DateType();
  if (s == "timestamp" || s == "timestamp_ltz") return TimestampType();
  if (s == "void" || s == "null") return NullType();
  if (s.rfind("interval ", 0) == 0) {
    // interval year [to month], interval day|hour|minute|second [to hour|minute|second]
    static const char* const ym[] = {"year", "month"};
    static const char* const dt[] = {"day", "hour", "minute", "second"};
    std::string rest = s.substr(9);
    std::string from = rest, to;
    if (auto at = rest.find(" to "); at != std::string::npos) {
      from = std::string(trim(rest.substr(0, at)));
      to = std::string(trim(rest.substr(at + 4)));
    }
    from = std::string(trim(from));
    if (to.empty()) to = from;
    auto index = [](const char* const* names, int n, const std::string& w) {
      for (int i = 0; i < n; ++i)
        if (w == names[i]) return i;
      return -1;
    };
    int a = index(ym, 2, from), b = index(ym, 2, to);
    if (a >= 0 && b >= a) return YearMonthIntervalType(a, b);
    a = index(dt, 4, from), b = index(dt, 4, to);
    if (a >= 0 && b >= a) return DayTimeIntervalType(a, b);
    return std::nullopt;
  }
  auto startsWith = [&](std::string_view p) { return s.compare(0, p.size(), p) == 0; };
  if (startsWith("varchar") || startsWith("char")) {
    auto open = s.find('(');
    if (open == std::string::npos) return s == "varchar" || s == "char" ? std::optional(StringType()) : std::nullopt;
    if (s.back() != ')') return std::nullopt;
    return StringType();
  }
  for (std::string_view p : {"decimal", "dec", "numeric"}) {
    if (!startsWith(p)) continue;
    std::string_view rest = trim(std::string_view(s).substr(p.size()));
    if (rest.empty()) return DecimalType(10, 0);
    if (rest.front() != '(' || rest.back() != ')') continue;
    rest = rest.substr(1, rest.size() - 2);
    auto comma = rest.find(',');
    std::string_view ps = trim(rest.substr(0, comma));
    std::string_view ss = comma == std::string_view::npos ? std::string_view("0") : trim(rest.substr(comma + 1));
    int prec = 0, scale = 0;
    auto r1 = std::from_chars(ps.data(), ps.data() + ps.size(), prec);
    auto r2 = std::from_chars(ss.data(), ss.data() + ss.size(), scale);
    if (r1.ec != std::errc() || r1.ptr != ps.data() + ps.size() || r2.ec != std::errc() ||
        r2.ptr != ss.data() + ss.size())
      return std::nullopt;
    if (prec < 1 || prec > DataType::kMaxDecimalPrecision || scale < 0 || scale > prec) return std::nullopt;
    return DecimalType(prec, scale);
  }
  return std::nullopt;
}

}  // namespace

std::optional<DataType> DataType::parse(std::string_view text) {
  // array<...> nests: the element types are peeled off in a loop (no recursion, one copy of the text), and
  // a type nested deeper than kMaxTypeNesting is refused: no column needs it, and values of such a type
  // would cost memory and stack in every operator that walks them.
  constexpr int kMaxTypeNesting = 64;
  std::string_view rest = trim(text);
  int arrays = 0;
  while (rest.size() > 7 && lower(std::string(rest.substr(0, 6))) == "array<" && rest.back() == '>') {
    if (++arrays > kMaxTypeNesting) return std::nullopt;
    rest = trim(rest.substr(6, rest.size() - 7));
  }
  if (arrays > 0) {
    auto inner = parseScalar(rest);
    if (!inner) return std::nullopt;
    DataType t = *inner;
    for (int i = 0; i < arrays; ++i) t = ArrayType(t);
    return t;
  }
  return parseScalar(rest);
}

StructType& StructType::add(std::string name, DataType type, bool nullable) {
  fields_.push_back(StructField{std::move(name), std::move(type), nullable});
  return *this;
}

const StructField& StructType::operator[](std::string_view name) const {
  if (auto i = indexOf(name)) return fields_[*i];
  std::string available;
  for (const auto& f : fields_) {
    if (!available.empty()) available += ", ";
    available += "`" + f.name + "`";
  }
  throw AnalysisException(
      fmt::format("[FIELD_NOT_FOUND] No such struct field `{}` in {}.", name, available.empty() ? "(no fields)" : available));
}

std::optional<std::size_t> StructType::indexOf(std::string_view name) const {
  for (std::size_t i = 0; i < fields_.size(); ++i)
    if (fields_[i].name == name) return i;
  return std::nullopt;
}

std::vector<std::string> StructType::names() const {
  std::vector<std::string> out;
  out.reserve(fields_.size());
  for (const auto& f : fields_) out.push_back(f.name);
  return out;
}

std::string StructType::simpleString() const {
  std::string s = "struct<";
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    if (i) s += ",";
    s += fields_[i].name + ":" + fields_[i].dataType.simpleString();
  }
  return s + ">";
}

}  // namespace engine
