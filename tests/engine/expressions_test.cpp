// Scalar expressions of the local backend: binding with Spark's coercion, batch evaluation, casts and the
// generated column names. Expected values come from Spark 4 with ANSI off (scripts/expr_semantics_check.py).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/column.h"
#include "engine/errors.h"
#include "engine/functions.h"
#include "engine/local/expr/expr_cast.h"
#include "engine/local/expr/expressions.h"
#include "engine/window.h"

using namespace engine;
using namespace engine::local;
namespace F = engine::functions;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A decimal value; the precision defaults to the one the result type carries in each test.
Value dec(const char* text, int precision = 0) {
  Decimal d = *Decimal::parse(text);
  if (precision) d.precision = static_cast<std::uint8_t>(precision);
  return Value(d);
}

// A batch of named columns and a tiny binder from unresolved expressions (columns by name, literals,
// functions, casts) to bound ones, standing in for the planner.
class Frame {
 public:
  Frame& add(const std::string& name, const DataType& type, const std::vector<Value>& values) {
    names_.push_back(name);
    types_.push_back(type);
    batch_.columns.push_back(Vector::fromValues(type, values));
    batch_.rows = values.size();
    return *this;
  }

  BoundExprPtr bind(const ExprPtr& e) const {
    switch (e->kind) {
      case ExprKind::Literal:
        return boundLiteral(e->literal, e->literalType);
      case ExprKind::Attribute:
        for (std::size_t i = 0; i < names_.size(); ++i)
          if (names_[i] == e->name) return boundColumn(i, types_[i], true);
        throw std::runtime_error("no column " + e->name);
      case ExprKind::Cast:
        return bindCast(bind(e->children[0]), e->castType, *e);
      case ExprKind::Alias:
        return bind(e->children[0]);
      case ExprKind::Function: {
        std::vector<BoundExprPtr> args;
        for (const auto& c : e->children) args.push_back(bind(c));
        return bindScalarFunction(e->name, std::move(args), *e);
      }
      default:
        throw std::runtime_error("unsupported expression in test binder");
    }
  }
  BoundExprPtr bind(const Column& c) const { return bind(c.expr()); }

  std::vector<Value> eval(const Column& c, const EvalContext& ctx = {}) const {
    BoundExprPtr b = bind(c);
    VectorPtr v = b->eval(batch_, ctx);
    EXPECT_EQ(v->size(), batch_.rows);
    EXPECT_EQ(v->type(), b->type());
    std::vector<Value> out;
    for (std::size_t i = 0; i < v->size(); ++i) out.push_back(v->get(i));
    return out;
  }
  // Value of an expression over a one-row frame.
  Value one(const Column& c, const EvalContext& ctx = {}) const { return eval(c, ctx).at(0); }
  DataType typeOf(const Column& c) const { return bind(c)->type(); }

 private:
  std::vector<std::string> names_;
  std::vector<DataType> types_;
  Batch batch_;
};

// A frame with one row, for expressions over literals.
Frame single() { return Frame().add("_", IntegerType(), {Value(0)}); }

Column lit(const Value& v) { return F::lit(v); }
Column typedNull(const DataType& t) { return Column(Expr::literalOf(Value(), t)); }
Column call(const std::string& name, std::vector<Column> args) {
  std::vector<ExprPtr> e;
  for (const auto& a : args) e.push_back(a.expr());
  return Column(Expr::function(name, std::move(e)));
}
Column castTo(const Column& c, const char* type) { return c.cast(*DataType::parse(type)); }

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const AnalysisException& e) {
    return e.what();
  }
  return "<no AnalysisException>";
}

}  // namespace

// ---- arithmetic ------------------------------------------------------------------------------------

TEST(Arithmetic, IntegralResultsWidenAndWrap) {
  Frame f = Frame()
                .add("i", IntegerType(), {Value(2147483647), Value(-5), Value()})
                .add("b", ByteType(), {Value(std::int8_t{127}), Value(std::int8_t{1}), Value(std::int8_t{2})})
                .add("l", LongType(), {Value(1L), Value(2L), Value(3L)});
  EXPECT_EQ(f.eval(F::col("i") + 1), (std::vector<Value>{Value(-2147483647 - 1), Value(-4), Value()}));
  EXPECT_EQ(f.typeOf(F::col("b") + F::col("b")), ByteType());
  EXPECT_EQ(f.eval(F::col("b") + F::col("b"))[0], Value(std::int8_t{-2}));
  EXPECT_EQ(f.typeOf(F::col("i") + F::col("l")), LongType());
  EXPECT_EQ(f.eval(F::col("i") * F::col("l"))[1], Value(-10L));
  EXPECT_EQ(f.eval(-F::col("b"))[0], Value(std::int8_t{-127}));
  EXPECT_EQ(single().one(-castTo(lit(-128), "tinyint")), Value(std::int8_t{-128}));
  EXPECT_EQ(single().one(F::abs(lit(std::numeric_limits<std::int32_t>::min()))),
            Value(std::numeric_limits<std::int32_t>::min()));
}

TEST(Arithmetic, DivisionAndRemainderByZeroAreNull) {
  Frame f = Frame()
                .add("a", IntegerType(), {Value(7), Value(-7), Value(7), Value()})
                .add("z", IntegerType(), {Value(0), Value(3), Value(-3), Value(1)})
                .add("d", DoubleType(), {Value(1.5), Value(-0.0), Value(kNaN), Value(2.0)});
  EXPECT_EQ(f.typeOf(F::col("a") / F::col("z")), DoubleType());
  EXPECT_EQ(f.eval(F::col("a") / F::col("z")),
            (std::vector<Value>{Value(), Value(-7.0 / 3), Value(7.0 / -3), Value()}));
  EXPECT_EQ(f.eval(F::col("a") % F::col("z")), (std::vector<Value>{Value(), Value(-1), Value(1), Value()}));
  EXPECT_EQ(f.eval(F::col("d") / 0.0)[0], Value());
  EXPECT_EQ(f.eval(F::col("a") / F::col("d"))[1], Value());  // -0.0 is zero too
  EXPECT_TRUE(std::isnan(f.eval(F::col("d") * 2)[2].get<double>()));
  EXPECT_EQ(f.eval(call("div", {F::col("a"), F::col("z")})),
            (std::vector<Value>{Value(), Value(-2L), Value(-2L), Value()}));
  EXPECT_EQ(single().one(call("div", {lit(std::numeric_limits<std::int64_t>::min()), lit(-1L)})),
            Value(std::numeric_limits<std::int64_t>::min()));
  EXPECT_EQ(single().one(lit(std::numeric_limits<std::int32_t>::min()) % -1), Value(0));
  EXPECT_EQ(single().one(lit(-7.5) % 2), Value(-1.5));
}

TEST(Arithmetic, StringsAndNullsCoerce) {
  Frame f = single();
  EXPECT_EQ(f.typeOf(lit("1") + 1), DoubleType());
  EXPECT_EQ(f.one(lit("1") + 1), Value(2.0));
  EXPECT_EQ(f.one(lit("a") + 1), Value());
  EXPECT_EQ(f.typeOf(lit(Value()) + 1), IntegerType());
  EXPECT_EQ(f.typeOf(lit(Value()) + lit(Value())), DoubleType());
  EXPECT_EQ(f.typeOf(typedNull(LongType()) + 1), LongType());
  EXPECT_EQ(f.one(typedNull(LongType()) + 1), Value());
  EXPECT_EQ(f.typeOf(F::abs(lit("-1"))), DoubleType());
}

TEST(Arithmetic, DecimalResultTypesAndValues) {
  Frame f = Frame()
                .add("m", DecimalType(10, 2), {dec("1.00", 10), dec("12345678.99", 10), Value()})
                .add("i", IntegerType(), {1, 2, 3});
  EXPECT_EQ(f.typeOf(F::col("m") + 1), DecimalType(11, 2));  // an integer literal needs only its digits
  EXPECT_EQ(f.typeOf(F::col("m") + F::col("i")), DecimalType(13, 2));
  EXPECT_EQ(f.typeOf(F::col("m") * F::col("m")), DecimalType(21, 4));
  EXPECT_EQ(f.typeOf(F::col("m") / F::col("m")), DecimalType(23, 13));
  EXPECT_EQ(f.typeOf(F::col("m") % castTo(lit(3), "decimal(5,3)")), DecimalType(5, 3));
  EXPECT_EQ(f.typeOf(F::col("m") + 1.5), DoubleType());
  EXPECT_EQ(f.eval(F::col("m") / castTo(lit(3), "decimal(10,2)"))[0], dec("0.3333333333333", 23));
  EXPECT_EQ(f.eval(F::col("m") * F::col("m"))[1], dec("152415789724127.4201", 21));
  EXPECT_EQ(f.eval(F::col("m") / 0)[0], Value());
  EXPECT_EQ(f.eval(F::col("m") - 2)[2], Value());

  Frame g = single();
  Column wide = castTo(lit(1), "decimal(38,10)");
  EXPECT_EQ(g.typeOf(wide / castTo(lit(3), "decimal(38,10)")), DecimalType(38, 6));
  EXPECT_EQ(g.one(wide / castTo(lit(3), "decimal(38,10)")), dec("0.333333", 38));
  // Sums that leave 38 digits are null, never wrapped.
  EXPECT_EQ(g.one(castTo(lit("99999999999999999999999999999999999999"), "decimal(38,0)") + 1), Value());
  // Products wider than 128 bits are computed exactly and rounded to the result scale.
  Column big = castTo(lit("10000000000.5"), "decimal(38,18)");
  EXPECT_EQ(g.typeOf(big * big), DecimalType(38, 6));
  EXPECT_EQ(g.one(big * big), dec("100000000010000000000.250000", 38));
  EXPECT_EQ(g.one(castTo(lit("12345678901234567890.123456789"), "decimal(38,18)") *
                  castTo(lit("98765432109876543210.123"), "decimal(38,18)")),
            Value());
  EXPECT_EQ(g.one(castTo(lit("-7.5"), "decimal(2,1)") % 2), dec("-1.5", 2));
  EXPECT_EQ(g.one(call("div", {castTo(lit("5.5"), "decimal(2,1)"), lit(2)})), Value(2L));
}

// ---- comparisons -----------------------------------------------------------------------------------

TEST(Comparison, NaNNullAndSignedZeroRules) {
  Frame f = Frame()
                .add("x", DoubleType(), {Value(kNaN), Value(-0.0), Value(1.0), Value()})
                .add("y", DoubleType(), {Value(kNaN), Value(0.0), Value(kNaN), Value()});
  EXPECT_EQ(f.eval(F::col("x") == F::col("y")), (std::vector<Value>{Value(true), Value(true), Value(false), Value()}));
  EXPECT_EQ(f.eval(F::col("x") < F::col("y")), (std::vector<Value>{Value(false), Value(false), Value(true), Value()}));
  EXPECT_EQ(f.eval(F::col("x").eqNullSafe(F::col("y"))),
            (std::vector<Value>{Value(true), Value(true), Value(false), Value(true)}));
  EXPECT_EQ(f.eval(F::col("x") != F::col("y")), (std::vector<Value>{Value(false), Value(false), Value(true), Value()}));
  EXPECT_EQ(f.eval(F::col("x").eqNullSafe(lit(1.0)))[3], Value(false));
  EXPECT_EQ(f.eval(F::col("x") >= 1e308)[0], Value(true));
}

TEST(Comparison, CoercionFollowsSpark) {
  Frame f = single();
  EXPECT_EQ(f.one(lit("10") > 9), Value(true));       // string cast to int, not compared as text
  EXPECT_EQ(f.one(lit("abc") == 1), Value());
  EXPECT_EQ(f.one(lit("1.0") == 1), Value(true));     // Spark's int parse drops the fraction
  EXPECT_EQ(f.one(lit("1.5") == castTo(lit("1.5"), "decimal(2,1)")), Value(true));
  EXPECT_EQ(f.one(lit(true) == 1), Value(true));
  EXPECT_EQ(f.one(lit(true) == 2), Value(false));
  EXPECT_EQ(f.one(lit(true) == lit("true")), Value(true));
  EXPECT_EQ(f.one(lit(1L) == lit(1.5f)), Value(false));
  EXPECT_EQ(f.one(castTo(lit("2024-01-01"), "date") == lit("2024-01-01")), Value(true));
  EXPECT_EQ(f.one(castTo(lit("2024-01-01"), "date") < castTo(lit("2024-01-01 10:00:00"), "timestamp")), Value(true));
  EXPECT_EQ(f.one(lit("b") > lit("a")), Value(true));
  EXPECT_EQ(f.one(lit("é") > lit("z")), Value(true));  // UTF-8 bytes, not locale order
  EXPECT_EQ(f.one(lit("ab") < lit("abc")), Value(true));
  EXPECT_EQ(f.one(lit(Value()) == lit(Value())), Value());
  EXPECT_EQ(f.one(lit(Value()).eqNullSafe(lit(Value()))), Value(true));
  EXPECT_EQ(f.one(call("between", {lit(2), lit(1), lit("3")})), Value(true));
  EXPECT_EQ(f.one(call("between", {lit(5), lit(Value()), lit(3)})), Value(false));
}

TEST(Comparison, InListSemantics) {
  Frame f = Frame().add("v", IntegerType(), {Value(1), Value(2), Value()});
  EXPECT_EQ(f.eval(F::col("v").isin({Value(1), Value()})), (std::vector<Value>{Value(true), Value(), Value()}));
  EXPECT_EQ(f.eval(F::col("v").isin({Value(1), Value(3)})), (std::vector<Value>{Value(true), Value(false), Value()}));
  std::vector<Value> many;
  for (int i = 10; i < 30; ++i) many.push_back(Value(i));
  many.push_back(Value(2));
  EXPECT_EQ(f.eval(F::col("v").isin(many)), (std::vector<Value>{Value(false), Value(true), Value()}));
  EXPECT_EQ(f.eval(F::col("v").isin(std::vector<Column>{F::col("v") + 0, lit(5)})),
            (std::vector<Value>{Value(true), Value(true), Value()}));
  EXPECT_EQ(single().one(lit("1").isin({Value(1), Value(2)})), Value(true));
  EXPECT_EQ(single().one(lit(kNaN).isin({Value(kNaN)})), Value(true));
  EXPECT_NE(errorOf([] { single().bind(lit(1).isin(std::vector<Column>{lit(Value::array(IntegerType(), {Value(1)}))})); })
                .find("DATA_DIFF_TYPES"),
            std::string::npos);
}

// ---- logic -------------------------------------------------------------------------------------------

TEST(Logic, ThreeValuedAndOrNot) {
  Frame f = Frame()
                .add("p", BooleanType(), {Value(true), Value(true), Value(true), Value(false), Value(false), Value()})
                .add("q", BooleanType(), {Value(true), Value(false), Value(), Value(), Value(false), Value()});
  EXPECT_EQ(f.eval(F::col("p") & F::col("q")),
            (std::vector<Value>{Value(true), Value(false), Value(), Value(false), Value(false), Value()}));
  EXPECT_EQ(f.eval(F::col("p") | F::col("q")),
            (std::vector<Value>{Value(true), Value(true), Value(true), Value(), Value(false), Value()}));
  EXPECT_EQ(f.eval(!F::col("q")),
            (std::vector<Value>{Value(false), Value(true), Value(), Value(), Value(true), Value()}));
  EXPECT_EQ(f.eval(F::col("q").isNull()),
            (std::vector<Value>{Value(false), Value(false), Value(true), Value(true), Value(false), Value(true)}));
  EXPECT_EQ(f.eval(F::col("p") & lit(Value()))[3], Value(false));
  EXPECT_EQ(f.eval(F::col("p") | lit(Value()))[0], Value(true));
}

TEST(Logic, IsNan) {
  Frame f = Frame().add("d", DoubleType(), {Value(kNaN), Value(1.0), Value()}).add("i", IntegerType(), {1, 2, 3});
  EXPECT_EQ(f.eval(F::isnan("d")), (std::vector<Value>{Value(true), Value(false), Value(false)}));
  EXPECT_EQ(f.eval(F::isnan("i"))[0], Value(false));
  EXPECT_EQ(single().one(F::isnan(lit("NaN"))), Value(true));
}

// ---- strings -----------------------------------------------------------------------------------------

TEST(Strings, LikePatterns) {
  Frame f = Frame().add("s", StringType(), {Value("abc"), Value("a_c"), Value("ébc"), Value(""), Value()});
  auto like = [&](const char* p) { return f.eval(F::col("s").like(p)); };
  EXPECT_EQ(like("a%"), (std::vector<Value>{Value(true), Value(true), Value(false), Value(false), Value()}));
  EXPECT_EQ(like("%c"), (std::vector<Value>{Value(true), Value(true), Value(true), Value(false), Value()}));
  EXPECT_EQ(like("%b%"), (std::vector<Value>{Value(true), Value(false), Value(true), Value(false), Value()}));
  EXPECT_EQ(like("_bc"), (std::vector<Value>{Value(true), Value(false), Value(true), Value(false), Value()}));
  EXPECT_EQ(like("a\\_c"), (std::vector<Value>{Value(false), Value(true), Value(false), Value(false), Value()}));
  EXPECT_EQ(like("%"), (std::vector<Value>{Value(true), Value(true), Value(true), Value(true), Value()}));
  EXPECT_EQ(like("a%b%"), (std::vector<Value>{Value(true), Value(false), Value(false), Value(false), Value()}));
  EXPECT_EQ(like("%_%_c"), (std::vector<Value>{Value(true), Value(true), Value(true), Value(false), Value()}));
  EXPECT_NE(errorOf([&] { f.bind(F::col("s").like("a\\x")); }).find("escape character"), std::string::npos);
}

TEST(Strings, CaseLengthTrimConcat) {
  Frame f = single();
  EXPECT_EQ(f.one(call("upper", {lit("straße")})), Value("STRASSE"));
  EXPECT_EQ(f.one(call("lower", {lit("ÀB")})), Value("àb"));
  EXPECT_EQ(f.one(call("length", {lit("héllo")})), Value(5));
  EXPECT_EQ(f.one(call("length", {lit(123)})), Value(3));
  EXPECT_EQ(f.one(call("trim", {lit("  a b  ")})), Value("a b"));
  EXPECT_EQ(f.one(call("trim", {lit("\ta\t")})), Value("\ta\t"));
  EXPECT_EQ(f.one(call("ltrim", {lit("x"), lit("xxaxx")})), Value("axx"));
  EXPECT_EQ(f.one(call("trim", {lit(" a "), lit(" ")})), Value(""));  // trim(trimStr, str)
  EXPECT_EQ(f.one(call("btrim", {lit("xyaxy"), lit("yx")})), Value("a"));
  EXPECT_EQ(f.one(call("concat", {lit("a"), lit(1), lit(true)})), Value("a1true"));
  EXPECT_EQ(f.one(call("concat", {lit("a"), lit(Value())})), Value());
  EXPECT_EQ(f.one(call("concat", {})), Value(""));
}

TEST(Strings, SubstringPositions) {
  Frame f = single();
  auto sub = [&](int pos, std::optional<int> len) {
    std::vector<Column> args{lit("hello"), lit(pos)};
    if (len) args.push_back(lit(*len));
    return f.one(call("substring", args));
  };
  EXPECT_EQ(sub(0, 2), Value("he"));
  EXPECT_EQ(sub(-3, 2), Value("ll"));
  EXPECT_EQ(sub(2, std::nullopt), Value("ello"));
  EXPECT_EQ(sub(-10, 3), Value(""));
  EXPECT_EQ(sub(3, -1), Value(""));
  EXPECT_EQ(f.one(call("substring", {lit("héllo"), lit(2), lit(2)})), Value("él"));
  EXPECT_EQ(f.one(call("substr", {lit("hello"), lit(2L), lit(Value())})), Value());
}

// ---- conditionals ------------------------------------------------------------------------------------

TEST(Conditional, CaseWhenCoalesceIf) {
  Frame f = Frame().add("a", IntegerType(), {Value(1), Value(5), Value()}).add("l", LongType(), {10L, 20L, 30L});
  Column c = F::when(F::col("a") > 2, F::col("l")).when(F::col("a") > 0, 0).otherwise(-1);
  EXPECT_EQ(f.typeOf(c), LongType());
  EXPECT_EQ(f.eval(c), (std::vector<Value>{Value(0L), Value(20L), Value(-1L)}));
  EXPECT_EQ(f.eval(F::when(F::col("a") > 2, lit(1))), (std::vector<Value>{Value(), Value(1), Value()}));
  EXPECT_EQ(f.typeOf(F::when(F::col("a") > 2, lit(1)).otherwise(lit("x"))), StringType());
  EXPECT_EQ(f.eval(F::coalesce({F::col("a"), F::col("l")})), (std::vector<Value>{Value(1L), Value(5L), Value(30L)}));
  EXPECT_EQ(f.eval(call("nullif", {F::col("a"), lit(1)})), (std::vector<Value>{Value(), Value(5), Value()}));
  EXPECT_EQ(f.one(call("if", {lit(Value()), lit(1), lit(2)})), Value(2));
  EXPECT_EQ(f.typeOf(call("if", {lit(true), lit(1), castTo(lit("1.5"), "decimal(2,1)")})), DecimalType(11, 1));
  EXPECT_EQ(f.typeOf(call("coalesce", {lit(1), lit("a")})), StringType());
}

TEST(Conditional, GreatestLeast) {
  Frame f = Frame().add("x", DoubleType(), {Value(1.0), Value(), Value(kNaN)}).add("y", DoubleType(), {3.0, 2.0, 1.0});
  std::vector<Value> g = f.eval(call("greatest", {F::col("x"), F::col("y"), lit(Value())}));
  EXPECT_EQ(g[0], Value(3.0));
  EXPECT_EQ(g[1], Value(2.0));
  EXPECT_TRUE(std::isnan(g[2].get<double>()));
  EXPECT_EQ(f.eval(call("least", {F::col("x"), F::col("y")})), (std::vector<Value>{Value(1.0), Value(2.0), Value(1.0)}));
  EXPECT_EQ(f.one(call("least", {lit(Value()), lit(Value())})), Value());
  EXPECT_EQ(f.typeOf(call("greatest", {lit(1), lit(2L), castTo(lit("1.5"), "decimal(2,1)")})), DecimalType(21, 1));
  EXPECT_NE(errorOf([&] { f.bind(call("greatest", {lit(1), lit("2")})); }).find("Input to `greatest`"),
            std::string::npos);
}

// ---- casts ---------------------------------------------------------------------------------------------

TEST(Cast, NumericNarrowingAndFloatingToIntegral) {
  Frame f = single();
  EXPECT_EQ(f.one(castTo(lit(kNaN), "int")), Value(0));
  EXPECT_EQ(f.one(castTo(lit(1e10), "int")), Value(2147483647));
  EXPECT_EQ(f.one(castTo(lit(-1e10), "int")), Value(-2147483647 - 1));
  EXPECT_EQ(f.one(castTo(lit(1e10), "tinyint")), Value(std::int8_t{-1}));
  EXPECT_EQ(f.one(castTo(lit(300.7), "tinyint")), Value(std::int8_t{44}));
  EXPECT_EQ(f.one(castTo(lit(-1.9), "int")), Value(-1));
  EXPECT_EQ(f.one(castTo(lit(1e30), "bigint")), Value(std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(f.one(castTo(castTo(lit(1e30), "decimal(38,0)"), "bigint")), Value(5076944270305263616L));
  EXPECT_EQ(f.one(castTo(lit(3000000000L), "int")), Value(-1294967296));
  EXPECT_EQ(f.one(castTo(lit(dec("123.456")), "int")), Value(123));
  EXPECT_EQ(f.one(castTo(lit(0.1f), "double")), Value(static_cast<double>(0.1f)));
  EXPECT_EQ(f.one(castTo(lit(true), "int")), Value(1));
  EXPECT_EQ(f.one(castTo(lit(2), "boolean")), Value(true));
  EXPECT_EQ(f.one(castTo(lit(kNaN), "boolean")), Value(true));
}

TEST(Cast, StringToNumbers) {
  Frame f = single();
  EXPECT_EQ(f.one(castTo(lit(" 12 "), "int")), Value(12));
  EXPECT_EQ(f.one(castTo(lit("1.9"), "int")), Value(1));
  EXPECT_EQ(f.one(castTo(lit("1e3"), "int")), Value());
  EXPECT_EQ(f.one(castTo(lit("."), "int")), Value(0));
  EXPECT_EQ(f.one(castTo(lit("+5"), "int")), Value(5));
  EXPECT_EQ(f.one(castTo(lit(""), "int")), Value());
  EXPECT_EQ(f.one(castTo(lit("-"), "int")), Value());
  EXPECT_EQ(f.one(castTo(lit("300"), "tinyint")), Value());
  EXPECT_EQ(f.one(castTo(lit("-9223372036854775808"), "bigint")), Value(std::numeric_limits<std::int64_t>::min()));
  EXPECT_EQ(f.one(castTo(lit("9223372036854775808"), "bigint")), Value());
  EXPECT_EQ(f.one(castTo(lit(" 1.5 "), "double")), Value(1.5));
  EXPECT_EQ(f.one(castTo(lit("1.5d"), "double")), Value(1.5));
  EXPECT_EQ(f.one(castTo(lit("inf"), "double")), Value(std::numeric_limits<double>::infinity()));
  EXPECT_EQ(f.one(castTo(lit("-Infinity"), "double")), Value(-std::numeric_limits<double>::infinity()));
  EXPECT_EQ(f.one(castTo(lit("1e400"), "double")), Value(std::numeric_limits<double>::infinity()));
  EXPECT_EQ(f.one(castTo(lit("1e-400"), "double")), Value(0.0));
  EXPECT_EQ(f.one(castTo(lit("+.5"), "double")), Value(0.5));
  EXPECT_EQ(f.one(castTo(lit("1e"), "double")), Value());
  EXPECT_EQ(f.one(castTo(lit("-nan"), "double")), Value());
  EXPECT_EQ(f.one(castTo(lit("1.5e-3"), "decimal(10,4)")), dec("0.0015", 10));
  EXPECT_EQ(f.one(castTo(lit("1e1000"), "decimal(10,2)")), Value());
  EXPECT_EQ(f.one(castTo(lit("0x10"), "double")), Value());
  EXPECT_TRUE(std::isnan(f.one(castTo(lit("nan"), "double")).get<double>()));
  EXPECT_EQ(f.one(castTo(lit("1.5f"), "float")), Value(1.5f));
  EXPECT_EQ(f.one(castTo(lit(" 1.255 "), "decimal(10,2)")), dec("1.26", 10));
  EXPECT_EQ(f.one(castTo(lit("1e3"), "decimal(10,2)")), dec("1000.00", 10));
  EXPECT_EQ(f.one(castTo(lit("-0.005"), "decimal(10,2)")), dec("-0.01", 10));
  EXPECT_EQ(f.one(castTo(lit("123456789"), "decimal(5,2)")), Value());
  EXPECT_EQ(f.one(castTo(lit("abc"), "decimal(10,2)")), Value());
  EXPECT_EQ(f.one(castTo(lit(" yes "), "boolean")), Value(true));
  EXPECT_EQ(f.one(castTo(lit("F"), "boolean")), Value(false));
  EXPECT_EQ(f.one(castTo(lit("2"), "boolean")), Value());
}

TEST(Cast, DecimalRounding) {
  Frame f = single();
  EXPECT_EQ(f.one(castTo(lit(0.1), "decimal(20,18)")), dec("0.100000000000000000", 20));
  EXPECT_EQ(f.one(castTo(lit(0.1f), "decimal(20,18)")), dec("0.100000001490116120", 20));
  EXPECT_EQ(f.one(castTo(lit(1.005), "decimal(10,2)")), dec("1.01", 10));
  EXPECT_EQ(f.one(castTo(lit(kNaN), "decimal(10,2)")), Value());
  EXPECT_EQ(f.one(castTo(lit(dec("-1.005")), "decimal(10,2)")), dec("-1.01", 10));
  EXPECT_EQ(f.one(castTo(lit(dec("999.995")), "decimal(5,2)")), Value());
  EXPECT_EQ(f.one(castTo(lit(123456), "decimal(5,0)")), Value());
  EXPECT_EQ(f.one(castTo(lit(dec("12345678901234567890.5")), "double")), Value(12345678901234567890.5));
}

TEST(Cast, ToStringForms) {
  Frame f = single();
  EXPECT_EQ(f.one(castTo(lit(1e20), "string")), Value("1.0E20"));
  EXPECT_EQ(f.one(castTo(lit(100.0), "string")), Value("100.0"));
  EXPECT_EQ(f.one(castTo(lit(1e-3), "string")), Value("0.001"));
  // The cast's own formatter agrees with Java's Double.toString (value.h) across magnitudes.
  for (double d : {1.0, 0.1, 123.456, 1e7, 9999999.0, 1e-4, 1.5e-3, -2.5e300, 4.9e-324, 1.7976931348623157e308,
                   -0.0, kNaN, 12345678.9, 100.0, 0.30000000000000004}) {
    EXPECT_EQ(f.one(castTo(lit(d), "string")), Value(javaDoubleString(d))) << d;
  }
  EXPECT_EQ(f.one(castTo(lit(dec("1.50")), "string")), Value("1.50"));
  EXPECT_EQ(f.one(castTo(lit(true), "string")), Value("true"));
  EXPECT_EQ(f.one(castTo(lit(Date{19787}), "string")), Value("2024-03-05"));
  EXPECT_EQ(f.one(castTo(castTo(lit("2024-03-05 10:11:12.100"), "timestamp"), "string")),
            Value("2024-03-05 10:11:12.1"));
  EXPECT_EQ(f.one(castTo(lit(Value::array(IntegerType(), {Value(1), Value(2), Value()})), "string")),
            Value("[1, 2, null]"));
  EXPECT_EQ(f.one(castTo(lit(Value::array(IntegerType(), {Value(1), Value(2)})), "array<string>")),
            Value::array(StringType(), {Value("1"), Value("2")}));
}

TEST(Cast, DatesAndTimestamps) {
  Frame f = single();
  auto date = [&](const char* s) { return f.one(castTo(lit(s), "date")); };
  auto ts = [&](const char* s) { return f.one(castTo(lit(s), "timestamp")); };
  const std::int64_t base = 19787LL * 86400000000LL;  // 2024-03-05
  EXPECT_EQ(date("2024"), Value(Date{19723}));
  EXPECT_EQ(date("2024-3"), Value(Date{19783}));
  EXPECT_EQ(date("2024-03-5 junk"), Value(Date{19787}));
  EXPECT_EQ(date("2024-03-05T10"), Value(Date{19787}));
  EXPECT_EQ(date(" 2024-03-05 "), Value(Date{19787}));
  EXPECT_EQ(date("+2024-03-05"), Value(Date{19787}));
  EXPECT_EQ(date("2024-02-30"), Value());
  EXPECT_EQ(date("24-03-05"), Value());
  EXPECT_EQ(ts("2024-03-05 10:11:12.1234567"), Value(Timestamp{base + 36672123456LL}));
  EXPECT_EQ(ts("2024-03-05T10:11:12Z"), Value(Timestamp{base + 36672000000LL}));
  EXPECT_EQ(ts("2024-03-05 10:11:12+01:00"), Value(Timestamp{base + 33072000000LL}));
  EXPECT_EQ(ts("2024-03-05 10:11:12 UTC+1"), Value(Timestamp{base + 33072000000LL}));
  EXPECT_EQ(ts("2024-03-05 10:11"), Value(Timestamp{base + 36660000000LL}));
  EXPECT_EQ(ts("2024-03-05 10"), Value(Timestamp{base + 36000000000LL}));
  EXPECT_EQ(ts("2024-03-05 25:00:00"), Value());
  EXPECT_EQ(ts("x"), Value());
  EXPECT_EQ(ts("2024-03-05T"), Value());
  EXPECT_EQ(ts("2024-3-5 1:2:3"), Value(Timestamp{base + 3723000000LL}));
  EXPECT_EQ(ts("2024-03-05 10:11:12.5+0130"), Value(Timestamp{base + (8 * 3600 + 41 * 60 + 12) * 1000000LL + 500000}));
  EXPECT_EQ(ts("2024-03-05 10:11:12 +1:30"), Value(Timestamp{base + (8 * 3600 + 41 * 60 + 12) * 1000000LL}));
  EXPECT_EQ(ts("2024-03-05 10:11:12 GMT-8"), Value(Timestamp{base + (18 * 3600 + 11 * 60 + 12) * 1000000LL}));
  EXPECT_EQ(f.one(castTo(castTo(lit("2024-03-05 10:11:12"), "timestamp"), "date")), Value(Date{19787}));
  EXPECT_EQ(f.one(castTo(lit(Date{19787}), "timestamp")), Value(Timestamp{base}));
  EXPECT_EQ(f.one(castTo(lit(1.5), "timestamp")), Value(Timestamp{1500000}));
  EXPECT_EQ(f.one(castTo(lit(1), "timestamp")), Value(Timestamp{1000000}));
  EXPECT_EQ(f.one(castTo(lit(true), "timestamp")), Value(Timestamp{1}));
  EXPECT_EQ(f.one(castTo(lit(Timestamp{-500000}), "bigint")), Value(-1L));
  EXPECT_EQ(f.one(castTo(lit(Timestamp{1500000}), "double")), Value(1.5));
  EXPECT_EQ(f.one(castTo(lit(Date{19787}), "int")), Value());
  // The session time zone shifts wall-clock forms.
  EvalContext plus2{"+02:00", 0};
  EXPECT_EQ(f.one(castTo(lit(Timestamp{base}), "string"), plus2), Value("2024-03-05 02:00:00"));
  EXPECT_EQ(f.one(castTo(lit("2024-03-05 02:00:00"), "timestamp"), plus2), Value(Timestamp{base}));
  EXPECT_EQ(f.one(castTo(lit(Timestamp{base - 1}), "date"), plus2), Value(Date{19787}));
}

TEST(Cast, RegionTimeZones) {
  Frame f = single();
  const std::int64_t base = 19787LL * 86400000000LL;  // 2024-03-05
  EXPECT_EQ(f.one(castTo(lit("2024-03-05 10:11:12 America/New_York"), "timestamp")),
            Value(Timestamp{base + (15 * 3600 + 11 * 60 + 12) * 1000000LL}));
  EvalContext ny{"America/New_York", 0};
  // 2024-03-10 02:30 does not exist in New York: java.time moves it past the gap (03:30 EDT = 07:30 UTC).
  const std::int64_t mar10 = 19792LL * 86400000000LL;
  EXPECT_EQ(f.one(castTo(lit("2024-03-10 02:30:00"), "timestamp"), ny), Value(Timestamp{mar10 + 27000000000LL}));
  EXPECT_EQ(f.one(castTo(lit(Timestamp{mar10 + 27000000000LL}), "string"), ny), Value("2024-03-10 03:30:00"));
  EXPECT_EQ(f.one(castTo(lit(Timestamp{base}), "string"), EvalContext{"PST", 0}), Value("2024-03-04 16:00:00"));
  EXPECT_EQ(f.one(castTo(lit(Date{19787}), "timestamp"), ny), Value(Timestamp{base + 5 * 3600 * 1000000LL}));
  EXPECT_EQ(f.one(castTo(lit("2024-03-05 10:11:12 Mars/Olympus"), "timestamp")), Value());
  EXPECT_THROW(f.one(castTo(lit("2024-03-05"), "timestamp"), EvalContext{"Nowhere/Zone", 0}), ExecutionException);
}

TEST(Cast, RejectedCasts) {
  EXPECT_FALSE(canCast(IntegerType(), DateType()));
  EXPECT_FALSE(canCast(BooleanType(), DateType()));
  EXPECT_FALSE(canCast(ArrayType(IntegerType()), IntegerType()));
  EXPECT_FALSE(canCast(StringType(), ArrayType(IntegerType())));
  EXPECT_TRUE(canCast(DateType(), IntegerType()));
  EXPECT_TRUE(canCast(NullType(), ArrayType(IntegerType())));
  Frame f = Frame().add("a", IntegerType(), {1});
  EXPECT_NE(errorOf([&] { f.bind(castTo(F::col("a"), "date")); })
                .find("[DATATYPE_MISMATCH.CAST_WITHOUT_SUGGESTION] Cannot resolve \"CAST(a AS DATE)\""),
            std::string::npos);
}

// ---- binding errors ----------------------------------------------------------------------------------

TEST(Binding, ErrorsNameTheProblem) {
  Frame f = Frame().add("a", IntegerType(), {1}).add("b", BooleanType(), {true});
  EXPECT_EQ(errorOf([&] { f.bind(call("foo", {F::col("a")})); }),
            "[UNRESOLVED_ROUTINE] Cannot resolve routine `foo` on search path [`system`.`builtin`, `system`.`session`, "
            "`spark_catalog`.`default`].");
  EXPECT_NE(errorOf([&] { f.bind(call("abs", {F::col("a"), F::col("a")})); })
                .find("The `abs` requires 1 parameters but the actual number is 2."),
            std::string::npos);
  EXPECT_NE(errorOf([&] { f.bind(call("substring", {F::col("a")})); }).find("requires [2, 3] parameters"),
            std::string::npos);
  EXPECT_NE(errorOf([&] { f.bind(call("greatest", {F::col("a")})); }).find("requires > 1 parameters"),
            std::string::npos);
  EXPECT_EQ(errorOf([&] { f.bind(F::col("a") + F::col("b")); }),
            "[DATATYPE_MISMATCH.BINARY_OP_DIFF_TYPES] Cannot resolve \"(a + b)\" due to data type mismatch: the left "
            "and right operands of the binary operator have incompatible types (\"INT\" and \"BOOLEAN\").");
  EXPECT_EQ(errorOf([&] { f.bind(F::col("a") & 1); }),
            "[DATATYPE_MISMATCH.BINARY_OP_WRONG_TYPE] Cannot resolve \"(a AND 1)\" due to data type mismatch: the "
            "binary operator requires the input type \"BOOLEAN\", not \"INT\".");
  EXPECT_EQ(errorOf([&] { f.bind(!F::col("a")); }),
            "[DATATYPE_MISMATCH.UNEXPECTED_INPUT_TYPE] Cannot resolve \"(NOT a)\" due to data type mismatch: The "
            "first parameter requires the \"BOOLEAN\" type, however \"a\" has the type \"INT\".");
  EXPECT_NE(errorOf([&] { f.bind(F::col("a") < F::col("b")); }).find("BINARY_OP_DIFF_TYPES"), std::string::npos);
  EXPECT_NE(errorOf([&] { f.bind(call("if", {F::col("a"), lit(1), lit(2)})); }).find("\"(IF(a, 1, 2))\""),
            std::string::npos);
  EXPECT_TRUE(isScalarFunction("COALESCE"));
  EXPECT_FALSE(isScalarFunction("avg"));
}

TEST(Binding, ConstantsFoldAndBroadcast) {
  Frame f = Frame().add("a", IntegerType(), {1, 2, 3});
  BoundExprPtr c = f.bind(lit(2) * 3 + F::abs(lit(-1)));
  EXPECT_TRUE(c->isConstant());
  EXPECT_EQ(c->constantValue(), Value(7));
  EXPECT_EQ(f.eval(lit(2) * 3 + F::col("a")), (std::vector<Value>{Value(7), Value(8), Value(9)}));
  EXPECT_EQ(f.eval(lit("x") + 1), (std::vector<Value>{Value(), Value(), Value()}));
  EXPECT_FALSE(f.bind(F::col("a") + 1)->isConstant());
}

// ---- type widening -------------------------------------------------------------------------------------

TEST(TypeWidening, FindWiderTypeMatchesSpark) {
  EXPECT_EQ(*findWiderType(IntegerType(), LongType()), LongType());
  EXPECT_EQ(*findWiderType(LongType(), FloatType()), FloatType());
  EXPECT_EQ(*findWiderType(IntegerType(), DecimalType(5, 2)), DecimalType(12, 2));
  EXPECT_EQ(*findWiderType(LongType(), DecimalType(10, 2)), DecimalType(22, 2));
  EXPECT_EQ(*findWiderType(DecimalType(10, 2), DoubleType()), DoubleType());
  EXPECT_EQ(*findWiderType(DateType(), TimestampType()), TimestampType());
  EXPECT_EQ(*findWiderType(NullType(), DateType()), DateType());
  EXPECT_EQ(*findWiderType(IntegerType(), StringType()), StringType());
  EXPECT_EQ(*findWiderType(DateType(), StringType()), StringType());
  EXPECT_FALSE(findWiderType(BooleanType(), StringType()));
  EXPECT_FALSE(findWiderType(BooleanType(), IntegerType()));
  EXPECT_EQ(*findWiderType(ArrayType(IntegerType()), ArrayType(DoubleType())), ArrayType(DoubleType()));
  EXPECT_EQ(*findWiderCommonType({TimestampType(), IntegerType(), StringType()}), StringType());
  EXPECT_FALSE(findWiderCommonType({IntegerType(), ArrayType(IntegerType())}));
}

// ---- generated names -------------------------------------------------------------------------------

TEST(ExprNames, MatchSparkGeneratedColumnNames) {
  using F::col;
  EXPECT_EQ((col("a") + 1).toString(), "(a + 1)");
  EXPECT_EQ((col("a") == 1).toString(), "(a = 1)");
  EXPECT_EQ((col("a") != 1).toString(), "(NOT (a = 1))");
  EXPECT_EQ(((col("a") > 1) & col("b")).toString(), "((a > 1) AND b)");
  EXPECT_EQ((~col("b")).toString(), "(NOT b)");
  EXPECT_EQ(F::avg("a").toString(), "avg(a)");
  EXPECT_EQ(F::mean("a").toString(), "avg(a)");
  EXPECT_EQ(F::count("*").toString(), "count(1)");
  EXPECT_EQ(F::countDistinct({"a", "s"}).toString(), "count(DISTINCT a, s)");
  // A cast of a named column keeps the name at the top level only.
  EXPECT_EQ(col("a").cast(DecimalType(10, 2)).toString(), "a");
  EXPECT_EQ(F::max(col("a").cast(IntegerType())).toString(), "max(CAST(a AS INT))");
  EXPECT_EQ(F::lit(Value()).cast(IntegerType()).toString(), "CAST(NULL AS INT)");
  EXPECT_EQ(F::max(col("a") + 1).toString(), "max((a + 1))");
  EXPECT_EQ(col("a").isNull().toString(), "(a IS NULL)");
  EXPECT_EQ(col("a").isNotNull().toString(), "(a IS NOT NULL)");
  EXPECT_EQ(col("a").isin({Value(1), Value(2)}).toString(), "(a IN (1, 2))");
  EXPECT_EQ(F::when(col("a") > 1, 1).otherwise(0).toString(), "CASE WHEN (a > 1) THEN 1 ELSE 0 END");
  EXPECT_EQ(F::when(col("a") > 1, 1).toString(), "CASE WHEN (a > 1) THEN 1 END");
  EXPECT_EQ(F::abs("a").toString(), "abs(a)");
  EXPECT_EQ(F::stddev("a").toString(), "stddev(a)");
  EXPECT_EQ(F::first("a", true).toString(), "first(a)");
  EXPECT_EQ(F::lit(1.5).toString(), "1.5");
  EXPECT_EQ(F::lit(1e20).toString(), "1.0E20");
  EXPECT_EQ(F::lit(100.0).toString(), "100.0");
  EXPECT_EQ(F::lit("x").toString(), "x");
  EXPECT_EQ(F::lit(Value()).toString(), "NULL");
  EXPECT_EQ(F::lit(true).toString(), "true");
  EXPECT_EQ(col("a").eqNullSafe(F::lit(1)).toString(), "(a <=> 1)");
  EXPECT_EQ(F::coalesce({"a", F::lit(0)}).toString(), "coalesce(a, 0)");
  EXPECT_EQ(col("s").like("x%").toString(), "s LIKE x%");
  EXPECT_EQ(col("a").between(F::lit(1), F::lit(2)).toString(), "((a >= 1) AND (a <= 2))");
  EXPECT_EQ((-col("a")).toString(), "negative(a)");
  EXPECT_EQ(col("a").alias("z").toString(), "z");
  EXPECT_EQ(col("t.a").toString(), "a");
  EXPECT_EQ(F::call_function("substring", {"s", F::lit(2)}).toString(), "substring(s, 2, 2147483647)");
  EXPECT_EQ(F::call_function("percentile_approx", {"a", F::lit(0.5)}).toString(), "percentile_approx(a, 0.5, 10000)");
  EXPECT_EQ(F::lit(Date{19723}).cast(StringType()).toString(), "CAST(DATE '2024-01-01' AS STRING)");
}

TEST(ExprNames, WindowFrames) {
  using F::col;
  Column cd = F::call_function("cume_dist", {}).over(Window::orderBy({"a"}));
  EXPECT_EQ(cd.toString(),
            "cume_dist() OVER (ORDER BY a ASC NULLS FIRST RANGE BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW)");
  Column s = F::sum("a").over(Window::partitionBy({"s"}).orderBy({col("a").desc()}).rowsBetween(-1, 0));
  EXPECT_EQ(s.toString(),
            "sum(a) OVER (PARTITION BY s ORDER BY a DESC NULLS LAST ROWS BETWEEN -1 FOLLOWING AND CURRENT ROW)");
  Column l = F::last("a", true).over(Window::orderBy({"a"}).rowsBetween(Window::unboundedPreceding, Window::currentRow));
  EXPECT_EQ(l.toString(),
            "last(a) OVER (ORDER BY a ASC NULLS FIRST ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW)");
  EXPECT_EQ(F::call_function("rank", {}).over(Window::orderBy({"a"})).toString(),
            "RANK() OVER (ORDER BY a ASC NULLS FIRST ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW)");
  EXPECT_EQ(F::call_function("lag", {"a"}).over(Window::orderBy({"a"})).toString(),
            "lag(a, 1, NULL) OVER (ORDER BY a ASC NULLS FIRST ROWS BETWEEN -1 FOLLOWING AND -1 FOLLOWING)");
  EXPECT_EQ(F::sum("a").over(Window::partitionBy({"s"})).toString(),
            "sum(a) OVER (PARTITION BY s ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING)");
  EXPECT_EQ(F::avg("a").over(Window::orderBy({"a"}).rangeBetween(-1, 1)).toString(),
            "avg(a) OVER (ORDER BY a ASC NULLS FIRST RANGE BETWEEN -1 FOLLOWING AND 1 FOLLOWING)");
  Column rn = F::call_function("row_number", {}).over(Window::partitionBy({"s"}).orderBy({"a"}));
  EXPECT_EQ(rn.toString(),
            "row_number() OVER (PARTITION BY s ORDER BY a ASC NULLS FIRST ROWS BETWEEN UNBOUNDED PRECEDING AND "
            "CURRENT ROW)");
}

// ---- batch shapes ----------------------------------------------------------------------------------

TEST(BatchShapes, NullsAcrossValidityWordsAndConstantSides) {
  // 130 rows span three validity words; nulls on different rows in each column.
  std::vector<Value> xs, ys;
  for (int i = 0; i < 130; ++i) {
    xs.push_back(i % 7 == 0 ? Value() : Value(i));
    ys.push_back(i % 5 == 0 ? Value() : Value(static_cast<std::int64_t>(i) * 2));
  }
  Frame f = Frame().add("x", IntegerType(), xs).add("y", LongType(), ys);
  std::vector<Value> sum = f.eval(F::col("x") + F::col("y"));
  std::vector<Value> leftConst = f.eval(lit(10) - F::col("x"));
  std::vector<Value> rightConst = f.eval(F::col("x") - 10);
  std::vector<Value> cmp = f.eval(lit(64) < F::col("x"));
  std::vector<Value> nullSide = f.eval(F::col("x") * lit(Value()));
  for (int i = 0; i < 130; ++i) {
    bool xNull = i % 7 == 0, yNull = i % 5 == 0;
    EXPECT_EQ(sum[i], xNull || yNull ? Value() : Value(static_cast<std::int64_t>(i) * 3)) << i;
    EXPECT_EQ(leftConst[i], xNull ? Value() : Value(10 - i)) << i;
    EXPECT_EQ(rightConst[i], xNull ? Value() : Value(i - 10)) << i;
    EXPECT_EQ(cmp[i], xNull ? Value() : Value(64 < i)) << i;
    EXPECT_EQ(nullSide[i], Value()) << i;
  }
  // Strings keep their bytes through conditional gathers and constant branches.
  Frame s = Frame().add("s", StringType(), {Value("a"), Value(), Value("ccc")});
  EXPECT_EQ(s.eval(F::coalesce({"s", lit("zz")})), (std::vector<Value>{Value("a"), Value("zz"), Value("ccc")}));
  EXPECT_EQ(s.eval(call("greatest", {F::col("s"), lit("b")})), (std::vector<Value>{Value("b"), Value("b"), Value("ccc")}));
  EXPECT_EQ(s.eval(F::col("s").isin({Value("ccc"), Value("a")})), (std::vector<Value>{Value(true), Value(), Value(true)}));
  EXPECT_EQ(s.eval(call("concat", {F::col("s"), lit("-"), F::col("s")})),
            (std::vector<Value>{Value("a-a"), Value(), Value("ccc-ccc")}));
}
