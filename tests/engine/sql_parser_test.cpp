// SQL text to expression trees and logical plans: literal typing, operator precedence, every construct
// of the expression and query grammar, Spark-style error messages, and robustness against malformed or
// hostile text.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/expression.h"
#include "engine/plan.h"
#include "engine/session.h"
#include "engine/sql/identifier.h"
#include "engine/sql/parser.h"

using namespace engine;
using engine::sql::parseExpression;

namespace {

std::string join(const std::vector<std::string>& parts, const std::string& sep) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : sep) + p;
  return out;
}

// Compact, toString-independent rendering of a tree: (name args...), literals by value, 'strings'.
std::string sx(const ExprPtr& e) {
  auto list = [](const std::vector<ExprPtr>& xs) {
    std::vector<std::string> s;
    for (const auto& x : xs) s.push_back(sx(x));
    return join(s, " ");
  };
  switch (e->kind) {
    case ExprKind::Literal:
      if (e->literal.isNull()) return "null";
      if (e->literal.is<std::string>()) return "'" + e->literal.str() + "'";
      return e->literal.toString();
    case ExprKind::Attribute:
      return join(e->nameParts, ".");
    case ExprKind::Star:
      return e->nameParts.empty() ? "*" : join(e->nameParts, ".") + ".*";
    case ExprKind::Function:
      return "(" + e->name + (e->isDistinct ? " distinct" : "") + (e->children.empty() ? "" : " ") + list(e->children) +
             ")";
    case ExprKind::Alias:
      return "(as " + e->name + " " + sx(e->children[0]) + ")";
    case ExprKind::Subquery:
      return "(" + e->name + "-subquery" + (e->children.empty() ? "" : " ") + list(e->children) + ")";
    case ExprKind::Cast:
      return "(cast " + e->castType.simpleString() + " " + sx(e->children[0]) + ")";
    case ExprKind::SortOrder:
      return std::string("(") + (e->ascending ? "asc" : "desc") + (e->nullsFirst ? " nf " : " nl ") +
             sx(e->children[0]) + ")";
    case ExprKind::Window: {
      const auto& w = *e->window;
      std::string s = "(over " + sx(e->children[0]);
      if (!w.partitionBy.empty()) s += " (partition " + list(w.partitionBy) + ")";
      if (!w.orderBy.empty()) s += " (order " + list(w.orderBy) + ")";
      if (w.hasFrame) {
        auto bound = [](std::int64_t v) {
          if (v == std::numeric_limits<std::int64_t>::min()) return std::string("-inf");
          if (v == std::numeric_limits<std::int64_t>::max()) return std::string("+inf");
          return std::to_string(v);
        };
        s += std::string(w.frameType == FrameType::Rows ? " rows " : " range ") + bound(w.lower) + " " + bound(w.upper);
      }
      return s + ")";
    }
    case ExprKind::Udf:
      return "udf";
  }
  return "?";
}

std::string px(const std::string& text) { return sx(parseExpression(text)); }

std::string shape(const PlanPtr& p) {
  auto list = [](const std::vector<ExprPtr>& xs) {
    std::vector<std::string> s;
    for (const auto& x : xs) s.push_back(sx(x));
    return join(s, ", ");
  };
  std::string s;
  switch (p->kind) {
    case PlanKind::Project:
      s = "Project[" + list(static_cast<const ProjectPlan&>(*p).exprs) + "]";
      break;
    case PlanKind::Filter:
      s = "Filter[" + sx(static_cast<const FilterPlan&>(*p).condition) + "]";
      break;
    case PlanKind::Aggregate: {
      const auto& a = static_cast<const AggregatePlan&>(*p);
      s = "Aggregate[" + list(a.groupings) + "; " + list(a.aggregates) + "]";
      break;
    }
    case PlanKind::Join: {
      const auto& j = static_cast<const JoinPlan&>(*p);
      static const char* const kNames[] = {"inner",    "leftouter", "rightouter", "fullouter",
                                           "leftsemi", "leftanti",  "cross"};
      s = std::string("Join[") + kNames[static_cast<int>(j.joinType)];
      if (j.condition) s += " " + sx(j.condition);
      if (!j.usingColumns.empty()) s += " using " + join(j.usingColumns, ",");
      if (j.natural) s += " natural";
      s += "]";
      break;
    }
    case PlanKind::SetOperation: {
      const auto& o = static_cast<const SetOperationPlan&>(*p);
      s = std::string(o.opType == SetOpType::Union    ? "Union"
                      : o.opType == SetOpType::Except ? "Except"
                                                      : "Intersect") +
          (o.isAll ? "All" : "Distinct");
      break;
    }
    case PlanKind::Deduplicate:
      s = "Distinct";
      break;
    case PlanKind::Limit:
      s = "Limit[" + std::to_string(static_cast<const LimitPlan&>(*p).limit) + "]";
      break;
    case PlanKind::Offset:
      s = "Offset[" + std::to_string(static_cast<const OffsetPlan&>(*p).offset) + "]";
      break;
    case PlanKind::Sort:
      s = "Sort[" + list(static_cast<const SortPlan&>(*p).order) + "]";
      break;
    case PlanKind::SubqueryAlias:
      s = "As[" + static_cast<const SubqueryAliasPlan&>(*p).alias + "]";
      break;
    case PlanKind::Range: {
      const auto& r = static_cast<const RangePlan&>(*p);
      s = "Range[" + std::to_string(r.start) + "," + std::to_string(r.end) + "," + std::to_string(r.step) + "]";
      break;
    }
    default:
      s = "Other";
      break;
  }
  if (p->inputs.empty()) return s;
  std::vector<std::string> in;
  for (const auto& i : p->inputs) in.push_back(shape(i));
  return s + "(" + join(in, ", ") + ")";
}

void expectLiteral(const std::string& text, const DataType& type, const Value& value) {
  SCOPED_TRACE(text);
  ExprPtr e = parseExpression(text);
  ASSERT_EQ(e->kind, ExprKind::Literal);
  EXPECT_EQ(e->literalType, type) << e->literalType.simpleString();
  EXPECT_EQ(e->literal, value) << e->literal.toString();
}

ParseException parseError(const std::string& text) {
  try {
    parseExpression(text);
  } catch (const ParseException& e) {
    return e;
  }
  ADD_FAILURE() << "no ParseException for: " << text;
  return ParseException("", 0);
}

Decimal dec(__int128 unscaled, int p, int s) {
  Decimal d;
  d.unscaled = unscaled;
  d.precision = static_cast<std::uint8_t>(p);
  d.scale = static_cast<std::uint8_t>(s);
  return d;
}

}  // namespace

TEST(SqlLiterals, NumbersTakeSparksTypes) {
  expectLiteral("1", IntegerType(), Value(1));
  expectLiteral("00012", IntegerType(), Value(12));
  expectLiteral("2147483648", LongType(), Value(std::int64_t{2147483648LL}));
  expectLiteral("-2147483648", IntegerType(), Value(std::numeric_limits<std::int32_t>::min()));
  expectLiteral("- 2147483648", IntegerType(), Value(std::numeric_limits<std::int32_t>::min()));
  expectLiteral("-9223372036854775808", LongType(), Value(std::numeric_limits<std::int64_t>::min()));
  expectLiteral("9999999999999999999", DecimalType(19, 0),
                Value(dec(static_cast<__int128>(9999999999999999999ULL), 19, 0)));
  expectLiteral("1L", LongType(), Value(std::int64_t{1}));
  expectLiteral("7s", ShortType(), Value(std::int16_t{7}));
  expectLiteral("-128Y", ByteType(), Value(std::int8_t{-128}));
  expectLiteral("1.5", DecimalType(2, 1), Value(dec(15, 2, 1)));
  expectLiteral("1.50", DecimalType(3, 2), Value(dec(150, 3, 2)));
  expectLiteral("0.001", DecimalType(3, 3), Value(dec(1, 3, 3)));
  expectLiteral(".5", DecimalType(1, 1), Value(dec(5, 1, 1)));
  expectLiteral("1.", DecimalType(1, 0), Value(dec(1, 1, 0)));
  expectLiteral("0.0", DecimalType(1, 1), Value(dec(0, 1, 1)));
  expectLiteral("-1.25", DecimalType(3, 2), Value(dec(-125, 3, 2)));
  expectLiteral("1BD", DecimalType(1, 0), Value(dec(1, 1, 0)));
  expectLiteral("1E3BD", DecimalType(4, 0), Value(dec(1000, 4, 0)));
  expectLiteral("1e3", DoubleType(), Value(1000.0));
  expectLiteral("1.5e2", DoubleType(), Value(150.0));
  expectLiteral("2.5E-1", DoubleType(), Value(0.25));
  expectLiteral("1.5D", DoubleType(), Value(1.5));
  expectLiteral("-2d", DoubleType(), Value(-2.0));
  expectLiteral("1F", FloatType(), Value(1.0f));
}

TEST(SqlLiterals, OutOfRangeNumbersAreParseErrors) {
  EXPECT_NE(std::string(parseError("128Y").what()).find("INVALID_NUMERIC_LITERAL_RANGE"), std::string::npos);
  parseError("32768S");
  parseError("9223372036854775808L");
  parseError("1.5e400");
  parseError("3.5e38F");
  auto e = parseError("99999999999999999999999999999999999999999");
  EXPECT_NE(std::string(e.what()).find("Decimal precision 41 exceeds max precision 38"), std::string::npos);
  parseError("0.000000000000000000000000000000000000000001");
  parseError("1.5abc");
}

TEST(SqlLiterals, StringsBooleansNullsAndDatetimes) {
  expectLiteral("'abc'", StringType(), Value("abc"));
  expectLiteral("\"dq\"", StringType(), Value("dq"));
  expectLiteral("'it''s'", StringType(), Value("its"));  // adjacent literals concatenate, as in Spark
  expectLiteral("'a' \"b\" 'c'", StringType(), Value("abc"));
  expectLiteral(R"('x\ty\n\'q\' \"d\" \\ \u0041\u00e9 \101 \z')", StringType(),
                Value("x\ty\n'q' \"d\" \\ A\xC3\xA9 A z"));
  expectLiteral(R"('100\%')", StringType(), Value("100\\%"));  // kept escaped for LIKE
  expectLiteral(R"('\uD83D\uDE00')", StringType(), Value("\xF0\x9F\x98\x80"));
  expectLiteral("r'\\d+'", StringType(), Value("\\d+"));
  expectLiteral("TRUE", BooleanType(), Value(true));
  expectLiteral("false", BooleanType(), Value(false));
  expectLiteral("NULL", NullType(), Value());
  expectLiteral("DATE '2024-01-31'", DateType(), Value(Date{daysFromCivil(2024, 1, 31)}));
  expectLiteral("date '2024-1-5'", DateType(), Value(Date{daysFromCivil(2024, 1, 5)}));
  expectLiteral("DATE '2024'", DateType(), Value(Date{daysFromCivil(2024, 1, 1)}));
  const std::int64_t day = std::int64_t{daysFromCivil(2024, 1, 31)} * 86400000000LL;
  expectLiteral("TIMESTAMP '2024-01-31 12:00:00'", TimestampType(), Value(Timestamp{day + 12 * 3600000000LL}));
  expectLiteral("TIMESTAMP '2024-01-31T12:00:00.123456Z'", TimestampType(),
                Value(Timestamp{day + 12 * 3600000000LL + 123456}));
  expectLiteral("TIMESTAMP '2024-01-31 12:00:00+02:00'", TimestampType(), Value(Timestamp{day + 10 * 3600000000LL}));
  expectLiteral("TIMESTAMP '2024-01-31'", TimestampType(), Value(Timestamp{day}));
  expectLiteral("TIMESTAMP '1969-12-31 23:59:59.5'", TimestampType(), Value(Timestamp{-500000}));
  auto e = parseError("DATE '2024-02-30'");
  EXPECT_NE(std::string(e.what()).find("[INVALID_TYPED_LITERAL] The value of the typed literal \"DATE\" is invalid"),
            std::string::npos);
  parseError("TIMESTAMP '2024-01-31 25:00:00'");
  // The last representable microsecond and the years past it (the count would overflow).
  expectLiteral("TIMESTAMP '294247-01-10 04:00:54.775807'", TimestampType(), Value(Timestamp{INT64_MAX}));
  parseError("TIMESTAMP '294247-01-10 04:00:54.775808'");
  parseError("TIMESTAMP '294247-01-10 04:00:55'");
  parseError("TIMESTAMP '902024-01-01'");
  parseError("TIMESTAMP '999999-12-31 23:59:59-18:00'");
  parseError("TIMESTAMP '2024-01-31 10:00:00 Mars/Base'");
  expectLiteral("INTERVAL '1' DAY", DayTimeIntervalType(0, 0), Value(DayTimeIntervalValue{86400000000LL, 0, 0}));
  expectLiteral("INTERVAL -1 YEAR 2 MONTHS", YearMonthIntervalType(0, 1), Value(YearMonthIntervalValue{-10, 0, 1}));
  parseError("INTERVAL 1 DAY 1 MONTH");
  parseError("INTERVAL '1:2' DAY TO HOUR");
}

TEST(SqlExpressions, NamesStarsAndCalls) {
  auto a = parseExpression("t.`a.b`");
  ASSERT_EQ(a->kind, ExprKind::Attribute);
  EXPECT_EQ(a->nameParts, (std::vector<std::string>{"t", "a.b"}));
  EXPECT_EQ(parseExpression("`a``b`")->nameParts, (std::vector<std::string>{"a`b"}));
  EXPECT_EQ(px("1st_col"), "1st_col");
  EXPECT_EQ(px("*"), "*");
  EXPECT_EQ(px("t.*"), "t.*");
  EXPECT_EQ(px("COUNT(*)"), "(count 1)");
  EXPECT_EQ(parseExpression("count(*)")->children[0]->literalType, IntegerType());
  EXPECT_EQ(px("count(DISTINCT a, b)"), "(count distinct a b)");
  EXPECT_EQ(px("Sum(ALL x)"), "(sum x)");
  EXPECT_EQ(px("left(s, 2)"), "(left s 2)");
  EXPECT_EQ(px("coalesce(a, 0) + nvl(b, 1)"), "(+ (coalesce a 0) (nvl b 1))");
  EXPECT_EQ(px("current_date"), "(current_date)");
  EXPECT_EQ(px("now()"), "(now)");
  EXPECT_EQ(px("first(x) IGNORE NULLS"), "(first x true)");
  EXPECT_EQ(px("arr[0]"), "(get arr 0)");
  // Keywords are names where no keyword can stand.
  EXPECT_EQ(px("date"), "date");
  EXPECT_EQ(px("t.select"), "t.select");
}

TEST(SqlExpressions, OperatorPrecedenceFollowsSpark) {
  EXPECT_EQ(px("a OR b AND NOT c = d"), "(or a (and b (not (== c d))))");
  EXPECT_EQ(px("NOT a AND b"), "(and (not a) b)");
  EXPECT_EQ(px("! a"), "(not a)");
  EXPECT_EQ(px("1 + 2 * 3 - 4 / 5 % 6"), "(- (+ 1 (* 2 3)) (% (/ 4 5) 6))");
  EXPECT_EQ(px("7 DIV 2 * 3"), "(* (div 7 2) 3)");
  EXPECT_EQ(px("a - b - c"), "(- (- a b) c)");
  EXPECT_EQ(px("a | b ^ c & d"), "(| a (^ b (& c d)))");
  EXPECT_EQ(px("a & b + c"), "(& a (+ b c))");
  EXPECT_EQ(px("a = b | c"), "(== a (| b c))");
  EXPECT_EQ(px("1 + 2 || 3"), "(concat (+ 1 2) 3)");
  EXPECT_EQ(px("'a' || 'b' || c"), "(concat (concat 'a' 'b') c)");
  EXPECT_EQ(px("a = b = c"), "(== (== a b) c)");
  EXPECT_EQ(px("a == b AND a != b OR a <> b"), "(or (and (== a b) (!= a b)) (!= a b))");
  EXPECT_EQ(px("a <=> b AND a < b AND a <= b AND a > b AND a >= b"),
            "(and (and (and (and (<=> a b) (< a b)) (<= a b)) (> a b)) (>= a b))");
  EXPECT_EQ(px("-a * b"), "(* (- a) b)");
  EXPECT_EQ(px("- (a + 1)"), "(- (+ a 1))");
  EXPECT_EQ(px("a - -1"), "(- a -1)");
  EXPECT_EQ(px("a-1"), "(- a 1)");
  EXPECT_EQ(px("+a"), "(positive a)");
  EXPECT_EQ(px("~a & 1"), "(& (~ a) 1)");
  EXPECT_EQ(px("- - a"), "(- (- a))");
  EXPECT_EQ(px("(a OR b) AND c"), "(and (or a b) c)");
}

TEST(SqlExpressions, Predicates) {
  EXPECT_EQ(px("a IS NULL"), "(isnull a)");
  EXPECT_EQ(px("a + 1 IS NOT NULL AND b"), "(and (isnotnull (+ a 1)) b)");
  EXPECT_EQ(px("a = b IS NULL"), "(isnull (== a b))");
  EXPECT_EQ(px("a IN (1, 2, b)"), "(in a 1 2 b)");
  EXPECT_EQ(px("a NOT IN (1)"), "(not (in a 1))");
  EXPECT_EQ(px("NOT a IN (1)"), "(not (in a 1))");
  EXPECT_EQ(px("x BETWEEN 1 AND 2 AND y"), "(and (between x 1 2) y)");
  EXPECT_EQ(px("x NOT BETWEEN a + 1 AND 2"), "(not (between x (+ a 1) 2))");
  EXPECT_EQ(px("s LIKE 'a%'"), "(like s 'a%')");
  EXPECT_EQ(px("s NOT LIKE 'a%'"), "(not (like s 'a%'))");
  EXPECT_EQ(px("s LIKE 'a!%' ESCAPE '!'"), "(like s 'a!%' '!')");
  EXPECT_EQ(px("s RLIKE '^a'"), "(rlike s '^a')");
  EXPECT_EQ(px("a IS TRUE"), "(<=> a true)");
  EXPECT_EQ(px("a IS NOT FALSE"), "(not (<=> a false))");
  EXPECT_EQ(px("a IS DISTINCT FROM b"), "(not (<=> a b))");
  EXPECT_EQ(px("a IS NOT DISTINCT FROM b"), "(<=> a b)");
}

TEST(SqlExpressions, CaseCastAndAliases) {
  EXPECT_EQ(px("CASE WHEN a > 1 THEN 'x' WHEN a > 0 THEN 'y' ELSE 'z' END"), "(when (> a 1) 'x' (> a 0) 'y' 'z')");
  EXPECT_EQ(px("case a when 1 then 'one' when 2 then 'two' end"), "(when (== a 1) 'one' (== a 2) 'two')");
  EXPECT_EQ(px("CAST(a AS INT)"), "(cast int a)");
  EXPECT_EQ(px("cast(a as decimal(10, 2))"), "(cast decimal(10,2) a)");
  EXPECT_EQ(px("CAST(a AS array<bigint>)"), "(cast array<bigint> a)");
  EXPECT_EQ(px("cast(cast(a as string) as varchar(5)) || 'x'"), "(concat (cast string (cast string a)) 'x')");
  auto e = parseError("CAST(a AS foo)");
  EXPECT_NE(std::string(e.what()).find("[UNSUPPORTED_DATATYPE] Unsupported data type \"FOO\""), std::string::npos);
  EXPECT_EQ(e.position(), 10u);
  parseError("CASE WHEN a THEN 1");
  parseError("CASE END");
  EXPECT_EQ(px("a + 1 AS b"), "(as b (+ a 1))");
  EXPECT_EQ(px("a b"), "(as b a)");
  EXPECT_EQ(px("avg(x) AS `mean value`"), "(as mean value (avg x))");
  EXPECT_EQ(px("a `weird``name`"), "(as weird`name a)");
  parseError("a b c");
  parseError("a AS");
}

TEST(SqlExpressions, WindowDefinitions) {
  EXPECT_EQ(px("row_number() OVER (PARTITION BY g, h ORDER BY x DESC, y)"),
            "(over (row_number) (partition g h) (order (desc nl x) (asc nf y)))");
  EXPECT_EQ(px("sum(x) OVER (ORDER BY t ASC NULLS LAST ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW)"),
            "(over (sum x) (order (asc nl t)) rows -inf 0)");
  EXPECT_EQ(px("avg(x) over (order by t desc nulls first range between 3 preceding and 2 following)"),
            "(over (avg x) (order (desc nf t)) range -3 2)");
  EXPECT_EQ(px("max(x) OVER (ROWS BETWEEN CURRENT ROW AND UNBOUNDED FOLLOWING)"), "(over (max x) rows 0 +inf)");
  EXPECT_EQ(px("sum(x) over (order by x rows 2 preceding)"), "(over (sum x) (order (asc nf x)) rows -2 0)");
  EXPECT_EQ(px("count(*) OVER ()"), "(over (count 1))");
  EXPECT_EQ(px("lag(x, 1) OVER (PARTITION BY g ORDER BY t) - x"),
            "(- (over (lag x 1) (partition g) (order (asc nf t))) x)");
  parseError("sum(x) OVER (ROWS BETWEEN UNBOUNDED FOLLOWING AND CURRENT ROW)");
  parseError("sum(x) OVER (ROWS BETWEEN CURRENT ROW AND UNBOUNDED PRECEDING)");
  parseError("sum(x) OVER (ROWS BETWEEN 1.5 PRECEDING AND CURRENT ROW)");
  parseError("sum(x) OVER w");
  parseError("sum(x) OVER (ORDER BY x");
}

TEST(SqlExpressions, LibrarySyntaxForms) {
  // x::type binds tighter than a sign and chains.
  EXPECT_EQ(px("a::int"), "(cast int a)");
  EXPECT_EQ(px("-a::decimal(5, 1)"), "(- (cast decimal(5,1) a))");
  EXPECT_EQ(px("a::string::int + 1"), "(+ (cast int (cast string a)) 1)");
  // trim(BOTH|LEADING|TRAILING [chars] FROM s) take the characters first, as trim(chars, s) does.
  EXPECT_EQ(px("trim(BOTH 'x' FROM s)"), "(trim 'x' s)");
  EXPECT_EQ(px("trim(LEADING FROM s)"), "(ltrim s)");
  EXPECT_EQ(px("trim(TRAILING 'ab' FROM s)"), "(rtrim 'ab' s)");
  EXPECT_EQ(px("trim('x' FROM s)"), "(trim 'x' s)");
  EXPECT_EQ(px("trim(s)"), "(trim s)");
  // agg(x) FILTER (WHERE c) keeps only the rows passing c; literal parameters stay as they are.
  EXPECT_EQ(px("sum(x) FILTER (WHERE y > 1)"), "(sum (when (> y 1) x))");
  EXPECT_EQ(px("count(*) FILTER (WHERE y)"), "(count (when y 1))");
  EXPECT_EQ(px("percentile_approx(x, 0.5) FILTER (WHERE y)"), "(percentile_approx (when y x) 0.5)");
  parseError("sum(x) FILTER (y > 1)");
  // A window name needs a WINDOW clause, which an expression does not have.
  parseError("rank() OVER w");
}

TEST(SqlErrors, MessagesNameTheTokenAndPosition) {
  auto e = parseError("a + (b *)");
  std::string msg = e.what();
  EXPECT_EQ(e.position(), 8u);
  EXPECT_NE(msg.find("[PARSE_SYNTAX_ERROR] Syntax error at or near ')'"), std::string::npos) << msg;
  EXPECT_NE(msg.find("expected an expression"), std::string::npos) << msg;
  EXPECT_NE(msg.find("(line 1, pos 8)"), std::string::npos) << msg;
  EXPECT_NE(msg.find("== SQL ==\na + (b *)\n--------^^^\n"), std::string::npos) << msg;

  e = parseError("a +");
  EXPECT_NE(std::string(e.what()).find("Syntax error at or near end of input"), std::string::npos);
  EXPECT_EQ(e.position(), 3u);

  e = parseError("(a");
  EXPECT_NE(std::string(e.what()).find("expected ')'"), std::string::npos) << e.what();

  e = parseError("x = 'abc");
  EXPECT_EQ(e.position(), 4u);
  EXPECT_NE(std::string(e.what()).find("unclosed string literal"), std::string::npos) << e.what();
  e = parseError("`abc");
  EXPECT_NE(std::string(e.what()).find("unclosed quoted identifier"), std::string::npos) << e.what();
  e = parseError("a /* never closed");
  EXPECT_NE(std::string(e.what()).find("UNCLOSED_BRACKETED_COMMENT"), std::string::npos) << e.what();
  e = parseError("a # b");
  EXPECT_EQ(e.position(), 2u);

  for (const char* empty : {"", "   ", "-- only a comment", "/* c */"}) {
    e = parseError(empty);
    EXPECT_NE(std::string(e.what()).find("PARSE_EMPTY_STATEMENT"), std::string::npos) << empty;
  }

  e = parseError("a > 1\nAND b <");
  msg = e.what();
  EXPECT_NE(msg.find("(line 2, pos 7)"), std::string::npos) << msg;
  EXPECT_NE(msg.find("a > 1\nAND b <\n-------^^^\n"), std::string::npos) << msg;

  e = parseError("a = 1 b c");
  EXPECT_NE(std::string(e.what()).find("near 'c'"), std::string::npos) << e.what();
  EXPECT_NE(std::string(e.what()).find("expected end of input"), std::string::npos);

  // Comments are whitespace.
  EXPECT_EQ(px("a /* x /* nested */ y */ + -- trailing\n 1"), "(+ a 1)");
}

TEST(SqlErrors, NestingDepthIsBounded) {
  // Each level of parentheses, calls or prefix operators counts once against the limit of 1000.
  EXPECT_EQ(px(std::string(900, '(') + "1" + std::string(900, ')')), "1");
  std::string calls = "x";
  for (int i = 0; i < 400; ++i) calls = "f(" + calls + ")";
  EXPECT_EQ(parseExpression(calls)->kind, ExprKind::Function);
  std::string chain = "a";
  for (int i = 0; i < 900; ++i) chain += " + a";
  EXPECT_EQ(parseExpression(chain)->name, "+");
  EXPECT_THROW(parseExpression(std::string(1100, '(') + "1" + std::string(1100, ')')), ParseException);
  for (const std::string& hostile :
       {std::string(100000, '(') + "1" + std::string(100000, ')'), std::string(100000, '('),
        [] {
          std::string s;
          for (int i = 0; i < 50000; ++i) s += "NOT ";
          return s + "a";
        }(),
        [] {
          std::string s = "1";
          for (int i = 0; i < 50000; ++i) s += "+1";
          return s;
        }(),
        [] {
          std::string s = "a";
          for (int i = 0; i < 50000; ++i) s += " OR a";
          return s;
        }(),
        std::string(50000, '-') + "a", std::string(50000, '~') + "a",
        [] {
          std::string s;
          for (int i = 0; i < 50000; ++i) s += "f(";
          return s;
        }(),
        [] {
          std::string s;
          for (int i = 0; i < 50000; ++i) s += "CASE WHEN ";
          return s;
        }()}) {
    EXPECT_THROW(parseExpression(hostile), ParseException);
  }
  // Every nesting construct reaches the limit (and so the deepest stack) before failing cleanly.
  auto nest = [](const std::string& open, const std::string& inner, const std::string& close) {
    std::string s;
    for (int i = 0; i < 3000; ++i) s += open;
    s += inner;
    for (int i = 0; i < 3000; ++i) s += close;
    return s;
  };
  for (const std::string& hostile :
       {nest("CAST(", "1", " AS INT)"), nest("x IN (", "1", ")"), nest("CASE WHEN ", "1", " THEN 1 END"),
        nest("CASE x WHEN 1 THEN ", "1", " END"), nest("sum(x) OVER (PARTITION BY ", "1", ")"), nest("a[", "0", "]"),
        nest("x BETWEEN ", "1", " AND 2"), nest("f(1, ", "1", ")"), nest("NOT (", "a", ")"),
        nest("coalesce(", "x", ") IS NULL")}) {
    EXPECT_THROW(parseExpression(hostile), ParseException);
  }
}

TEST(SqlIdentifiers, MultipartNames) {
  using engine::sql::parseMultipartIdentifier;
  using V = std::vector<std::string>;
  EXPECT_EQ(parseMultipartIdentifier("a"), V{"a"});
  EXPECT_EQ(parseMultipartIdentifier("t.a.b"), (V{"t", "a", "b"}));
  EXPECT_EQ(parseMultipartIdentifier("`a.b`"), V{"a.b"});
  EXPECT_EQ(parseMultipartIdentifier("t.`a.b`"), (V{"t", "a.b"}));
  EXPECT_EQ(parseMultipartIdentifier("`a``b`.c"), (V{"a`b", "c"}));
  EXPECT_EQ(parseMultipartIdentifier("a b"), V{"a b"});
  // Malformed names stay whole so the resolver can still find such a column.
  for (const char* odd : {"x.", ".x", "a..b", "`open", "a`b", "`a`b"}) EXPECT_EQ(parseMultipartIdentifier(odd), V{odd});
}

class SqlQueries : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = SparkSession::builder().master("local[2]").getOrCreate();
    auto range = std::make_shared<RangePlan>();
    range->end = 10;
    session_->createOrReplaceTempView("t", range);
    session_->createOrReplaceTempView("u", range);
  }
  void TearDown() override {
    session_->dropTempView("t");
    session_->dropTempView("u");
  }
  std::string q(const std::string& text) { return shape(sql::parseQuery(text, *session_)); }

  std::shared_ptr<SparkSession> session_;
};

TEST_F(SqlQueries, SelectFromWhere) {
  EXPECT_EQ(q("SELECT a, b + 1 AS c FROM t WHERE a > 1"),
            "Project[a, (as c (+ b 1))](Filter[(> a 1)](As[t](Range[0,10,1])))");
  EXPECT_EQ(q("select * from T x"), "Project[*](As[x](As[T](Range[0,10,1])))");
  EXPECT_EQ(q("SELECT x.* FROM t AS x;"), "Project[x.*](As[x](As[t](Range[0,10,1])))");
  EXPECT_EQ(q("SELECT 1 AS one, 'a'"), "Project[(as one 1), 'a'](Range[0,1,1])");
  EXPECT_EQ(q("SELECT DISTINCT a FROM t"), "Distinct(Project[a](As[t](Range[0,10,1])))");
  EXPECT_EQ(q("SELECT id FROM range(5)"), "Project[id](Range[0,5,1])");
  EXPECT_EQ(q("SELECT id + 1 AS bucket FROM range(1, 10, 3) r"), "Project[(as bucket (+ id 1))](As[r](Range[1,10,3]))");
  EXPECT_EQ(q("SELECT * FROM range(10, 0, -2)"), "Project[*](Range[10,0,-2])");
  EXPECT_EQ(q("SELECT * FROM (SELECT a FROM t) AS s WHERE a = 1"),
            "Project[*](Filter[(== a 1)](As[s](Project[a](As[t](Range[0,10,1])))))");
  EXPECT_EQ(q("SELECT * FROM ((SELECT a FROM t))"), "Project[*](Project[a](As[t](Range[0,10,1])))");
  EXPECT_EQ(q("SELECT sum(x) OVER (PARTITION BY g) AS s FROM t"),
            "Project[(as s (over (sum x) (partition g)))](As[t](Range[0,10,1]))");
}

TEST_F(SqlQueries, OrderByAndLimit) {
  // Aliases and ordinals name select items; the sort runs below the projection so it may also use
  // columns that are not selected.
  EXPECT_EQ(
      q("SELECT a, b * 2 AS d FROM t ORDER BY d DESC, 1, c LIMIT 5"),
      "Limit[5](Project[a, (as d (* b 2))](Sort[(desc nl (* b 2)), (asc nf a), (asc nf c)](As[t](Range[0,10,1]))))");
  EXPECT_EQ(q("SELECT DISTINCT a + 1 AS x FROM t ORDER BY x"),
            "Sort[(asc nf x)](Distinct(Project[(as x (+ a 1))](As[t](Range[0,10,1]))))");
  EXPECT_EQ(q("SELECT a FROM t LIMIT ALL"), "Project[a](As[t](Range[0,10,1]))");
  EXPECT_EQ(q("SELECT a, rank() OVER (ORDER BY a) AS r FROM t ORDER BY r"),
            "Sort[(asc nf r)](Project[a, (as r (over (rank) (order (asc nf a))))](As[t](Range[0,10,1])))");
  EXPECT_THROW(q("SELECT a FROM t ORDER BY 2"), AnalysisException);
  EXPECT_THROW(q("SELECT a FROM t ORDER BY 0"), AnalysisException);
  EXPECT_THROW(q("SELECT a FROM t LIMIT -1"), ParseException);
  // OFFSET applies before LIMIT, over the ordered (set operation) result.
  EXPECT_EQ(q("SELECT a FROM t ORDER BY a LIMIT 2 OFFSET 3"),
            "Limit[2](Offset[3](Project[a](Sort[(asc nf a)](As[t](Range[0,10,1])))))");
  EXPECT_EQ(q("SELECT a FROM t UNION ALL SELECT a FROM u OFFSET 1"),
            "Offset[1](UnionAll(Project[a](As[t](Range[0,10,1])), Project[a](As[u](Range[0,10,1]))))");
  EXPECT_THROW(q("SELECT a FROM t LIMIT x"), ParseException);
}

TEST_F(SqlQueries, Aggregates) {
  EXPECT_EQ(q("SELECT g, sum(x) AS s FROM t GROUP BY g"), "Aggregate[g; g, (as s (sum x))](As[t](Range[0,10,1]))");
  EXPECT_EQ(q("SELECT count(*) AS n FROM t"), "Aggregate[; (as n (count 1))](As[t](Range[0,10,1]))");
  // Window aggregates alone do not make an aggregate query.
  EXPECT_EQ(q("SELECT sum(x) OVER () AS s FROM t"), "Project[(as s (over (sum x)))](As[t](Range[0,10,1]))");
  // HAVING and ORDER BY reuse select items (by expression or alias) and add hidden aggregates otherwise.
  EXPECT_EQ(q("SELECT g, sum(x) AS s FROM t GROUP BY g HAVING sum(x) > 1 AND s < 9 ORDER BY max(y) DESC, g"),
            "Project[g, s](Sort[(desc nl __hidden_0), (asc nf g)](Filter[(and (> s 1) (< s 9))]("
            "Aggregate[g; g, (as s (sum x)), (as __hidden_0 (max y))](As[t](Range[0,10,1])))))");
  EXPECT_EQ(q("SELECT sum(x) AS s FROM t GROUP BY g HAVING g > 0 AND count(*) > 1"),
            "Project[s](Filter[(and (> __hidden_0 0) (> __hidden_1 1))]("
            "Aggregate[g; (as s (sum x)), (as __hidden_0 g), (as __hidden_1 (count 1))](As[t](Range[0,10,1]))))");
  EXPECT_EQ(q("SELECT g, sum(x) AS s FROM t GROUP BY 1 ORDER BY 2"),
            "Sort[(asc nf s)](Aggregate[g; g, (as s (sum x))](As[t](Range[0,10,1])))");
  // GROUP BY an alias groups by the aliased expression unless the select list uses a column of that name.
  EXPECT_EQ(q("SELECT a + 1 AS k, count(1) AS n FROM t GROUP BY k"),
            "Aggregate[(+ a 1); (as k (+ a 1)), (as n (count 1))](As[t](Range[0,10,1]))");
  EXPECT_EQ(q("SELECT lower(k) AS k, count(1) AS n FROM t GROUP BY k"),
            "Aggregate[k; (as k (lower k)), (as n (count 1))](As[t](Range[0,10,1]))");
  EXPECT_EQ(q("SELECT g, h, avg(x) AS m FROM t GROUP BY ALL"),
            "Aggregate[g, h; g, h, (as m (avg x))](As[t](Range[0,10,1]))");
  EXPECT_EQ(q("SELECT DISTINCT g FROM t GROUP BY g"), "Distinct(Aggregate[g; g](As[t](Range[0,10,1])))");
  EXPECT_EQ(q("SELECT max(a) - min(a) AS spread FROM t WHERE a > 0 HAVING count(a) > 0"),
            "Project[spread](Filter[(> __hidden_0 0)](Aggregate[; (as spread (- (max a) (min a))), "
            "(as __hidden_0 (count a))](Filter[(> a 0)](As[t](Range[0,10,1])))))");
  EXPECT_THROW(q("SELECT g, sum(x) FROM t GROUP BY 3"), AnalysisException);
  EXPECT_THROW(q("SELECT g, sum(x) FROM t GROUP BY 2"), AnalysisException);
  EXPECT_THROW(q("SELECT g FROM t GROUP BY ROLLUP(g)"), ParseException);
}

TEST_F(SqlQueries, AggregateReferencesUseGeneratedNames) {
  // An unaliased aggregate is referred to by the column name Spark generates for it.
  auto plan = sql::parseQuery("SELECT g, count(*) FROM t GROUP BY g ORDER BY count(*) DESC", *session_);
  ASSERT_EQ(plan->kind, PlanKind::Sort);
  const auto& order = static_cast<const SortPlan&>(*plan).order;
  ASSERT_EQ(order.size(), 1u);
  ASSERT_EQ(order[0]->children[0]->kind, ExprKind::Attribute);
  EXPECT_EQ(order[0]->children[0]->nameParts, std::vector<std::string>{"count(1)"});
  EXPECT_EQ(plan->inputs[0]->kind, PlanKind::Aggregate);
}

TEST_F(SqlQueries, SetOperations) {
  EXPECT_EQ(q("SELECT a FROM t UNION ALL SELECT b FROM u"),
            "UnionAll(Project[a](As[t](Range[0,10,1])), Project[b](As[u](Range[0,10,1])))");
  EXPECT_EQ(
      q("SELECT 1 UNION SELECT 2 EXCEPT SELECT 3"),
      "ExceptDistinct(UnionDistinct(Project[1](Range[0,1,1]), Project[2](Range[0,1,1])), Project[3](Range[0,1,1]))");
  // INTERSECT binds tighter than UNION, as in Spark.
  EXPECT_EQ(
      q("SELECT 1 UNION ALL SELECT 2 INTERSECT SELECT 3"),
      "UnionAll(Project[1](Range[0,1,1]), IntersectDistinct(Project[2](Range[0,1,1]), Project[3](Range[0,1,1])))");
  EXPECT_EQ(q("SELECT 1 EXCEPT ALL SELECT 2 MINUS SELECT 3"),
            "ExceptDistinct(ExceptAll(Project[1](Range[0,1,1]), Project[2](Range[0,1,1])), Project[3](Range[0,1,1]))");
  // ORDER BY / LIMIT after the last SELECT apply to the whole; ordinals name the first SELECT's columns.
  EXPECT_EQ(q("SELECT a AS x FROM t UNION ALL SELECT b FROM u ORDER BY 1 DESC LIMIT 3"),
            "Limit[3](Sort[(desc nl x)](UnionAll(Project[(as x a)](As[t](Range[0,10,1])), "
            "Project[b](As[u](Range[0,10,1])))))");
  EXPECT_EQ(q("(SELECT a FROM t ORDER BY a LIMIT 1) UNION ALL (SELECT b FROM u)"),
            "UnionAll(Limit[1](Project[a](Sort[(asc nf a)](As[t](Range[0,10,1])))), Project[b](As[u](Range[0,10,1])))");
}

TEST_F(SqlQueries, Joins) {
  EXPECT_EQ(q("SELECT * FROM t JOIN u ON t.a = u.a"),
            "Project[*](Join[inner (== t.a u.a)](As[t](Range[0,10,1]), As[u](Range[0,10,1])))");
  const std::vector<std::pair<std::string, std::string>> kinds = {
      {"INNER JOIN", "inner"},          {"LEFT JOIN", "leftouter"},         {"LEFT OUTER JOIN", "leftouter"},
      {"RIGHT JOIN", "rightouter"},     {"RIGHT OUTER JOIN", "rightouter"}, {"FULL JOIN", "fullouter"},
      {"FULL OUTER JOIN", "fullouter"}, {"LEFT SEMI JOIN", "leftsemi"},     {"LEFT ANTI JOIN", "leftanti"},
      {"SEMI JOIN", "leftsemi"},        {"ANTI JOIN", "leftanti"}};
  for (const auto& [sqlText, name] : kinds) {
    auto plan = sql::parseQuery("SELECT * FROM t x " + sqlText + " u y ON x.a = y.a", *session_);
    const auto& join = static_cast<const JoinPlan&>(*plan->inputs[0]);
    ASSERT_EQ(join.kind, PlanKind::Join) << sqlText;
    EXPECT_EQ(join.joinType, parseJoinType(name)) << sqlText;
    EXPECT_EQ(static_cast<const SubqueryAliasPlan&>(*join.inputs[1]).alias, "y");
  }
  EXPECT_EQ(q("SELECT * FROM t CROSS JOIN u"), "Project[*](Join[cross](As[t](Range[0,10,1]), As[u](Range[0,10,1])))");
  EXPECT_EQ(q("SELECT * FROM t, u WHERE t.a = u.a"),
            "Project[*](Filter[(== t.a u.a)](Join[cross](As[t](Range[0,10,1]), As[u](Range[0,10,1]))))");
  EXPECT_EQ(q("SELECT * FROM t JOIN u USING (a, `b`)"),
            "Project[*](Join[inner using a,b](As[t](Range[0,10,1]), As[u](Range[0,10,1])))");
  // Joins chain to the left; a parenthesised join is one relation.
  EXPECT_EQ(q("SELECT * FROM t a JOIN u b ON a.k = b.k LEFT JOIN (t c JOIN u d ON c.k = d.k) ON a.k = c.k"),
            "Project[*](Join[leftouter (== a.k c.k)](Join[inner (== a.k b.k)](As[a](As[t](Range[0,10,1])), "
            "As[b](As[u](Range[0,10,1]))), Join[inner (== c.k d.k)](As[c](As[t](Range[0,10,1])), "
            "As[d](As[u](Range[0,10,1])))))");
  EXPECT_EQ(q("SELECT * FROM t NATURAL LEFT JOIN u"),
            "Project[*](Join[leftouter natural](As[t](Range[0,10,1]), As[u](Range[0,10,1])))");
  EXPECT_THROW(q("SELECT * FROM t NATURAL JOIN u ON t.a = u.a"), ParseException);
  EXPECT_THROW(q("SELECT * FROM t NATURAL CROSS JOIN u"), ParseException);
  EXPECT_THROW(q("SELECT * FROM t NATURAL u"), ParseException);
  EXPECT_THROW(q("SELECT * FROM t JOIN"), ParseException);
}

TEST_F(SqlQueries, SubqueriesAreExpressions) {
  EXPECT_EQ(q("SELECT a FROM t WHERE a IN (SELECT a FROM u) AND NOT EXISTS (SELECT 1 FROM u WHERE u.a = t.a)"),
            "Project[a](Filter[(and (in-subquery a) (not (exists-subquery)))](As[t](Range[0,10,1])))");
  EXPECT_EQ(q("SELECT a - (SELECT max(a) FROM u) AS d, b NOT IN ((SELECT 1)) FROM t"),
            "Project[(as d (- a (scalar-subquery))), (not (in-subquery b))](As[t](Range[0,10,1]))");
  // Masks parse subqueries too: with a session they see its views.
  ExprPtr mask = sql::parseExpression("a IN (SELECT a FROM u WHERE a > 2)", session_.get());
  ASSERT_EQ(mask->kind, ExprKind::Subquery);
  EXPECT_EQ(shape(mask->subquery), "Project[a](Filter[(> a 2)](As[u](Range[0,10,1])))");
}

TEST_F(SqlQueries, CommonTableExpressions) {
  EXPECT_EQ(q("WITH s AS (SELECT a FROM t), r AS (SELECT * FROM s) SELECT * FROM r"),
            "Project[*](As[r](Project[*](As[s](Project[a](As[t](Range[0,10,1]))))))");
  // A CTE shadows a view of the same name only inside its query.
  EXPECT_EQ(q("SELECT * FROM (WITH t AS (SELECT 1 AS one) SELECT * FROM t) JOIN t"),
            "Project[*](Join[inner](Project[*](As[t](Project[(as one 1)](Range[0,1,1]))), As[t](Range[0,10,1])))");
}

TEST_F(SqlQueries, ErrorsForUnknownRelationsAndBadText) {
  try {
    q("SELECT * FROM nosuch");
    FAIL() << "expected AnalysisException";
  } catch (const AnalysisException& e) {
    EXPECT_NE(std::string(e.what()).find("[TABLE_OR_VIEW_NOT_FOUND] The table or view `nosuch` cannot be found."),
              std::string::npos)
        << e.what();
    EXPECT_NE(std::string(e.what()).find("line 1 pos 14"), std::string::npos) << e.what();
  }
  EXPECT_THROW(q("SELECT * FROM range(0, 10, 0)"), AnalysisException);
  EXPECT_THROW(q("SELECT * FROM range()"), AnalysisException);
  EXPECT_THROW(q("SELECT * FROM range(a)"), AnalysisException);
  EXPECT_THROW(q("SELECT * FROM explode(1)"), AnalysisException);
  EXPECT_THROW(q(""), ParseException);
  EXPECT_THROW(q("SELECT"), ParseException);
  EXPECT_THROW(q("SELECT FROM t"), ParseException);
  EXPECT_THROW(q("SELECT a FROM t WHERE"), ParseException);
  EXPECT_THROW(q("SELECT a FROM t t2 t3"), ParseException);
  EXPECT_THROW(q("SELECT a FROM t UNION"), ParseException);
  EXPECT_THROW(q("SELECT a FROM t ORDER BY a ORDER BY a"), ParseException);
  EXPECT_THROW(q("SELECT (SELECT 1"), ParseException);
  EXPECT_THROW(q("SELECT a FROM t WHERE a IN (SELECT a FROM u"), ParseException);
  EXPECT_THROW(q("SELECT a FROM t WHERE EXISTS (SELECT a FROM nowhere)"), AnalysisException);
  EXPECT_THROW(q("SELECT a FROM t OFFSET x"), ParseException);
  EXPECT_THROW(q(std::string(100000, '(') + "SELECT 1" + std::string(100000, ')')), ParseException);
  std::string nested = "SELECT 1";
  for (int i = 0; i < 3000; ++i) nested = "SELECT * FROM (" + nested + ") s";
  EXPECT_THROW(q(nested), ParseException);
  nested = "SELECT 1";
  for (int i = 0; i < 3000; ++i) nested = "WITH c AS (" + nested + ") SELECT * FROM c";
  EXPECT_THROW(q(nested), ParseException);
  nested = "t";
  for (int i = 0; i < 3000; ++i) nested = "(" + nested + " JOIN t)";
  EXPECT_THROW(q("SELECT * FROM " + nested), ParseException);
  std::string manyUnions = "SELECT 1";
  for (int i = 0; i < 20000; ++i) manyUnions += " UNION ALL SELECT 1";
  EXPECT_THROW(q(manyUnions), ParseException);
  std::string manyJoins = "SELECT * FROM t";
  for (int i = 0; i < 20000; ++i) manyJoins += " JOIN t";
  EXPECT_THROW(q(manyJoins), ParseException);
}

TEST_F(SqlQueries, TruncatedAndMutatedTextOnlyRaisesEngineErrors) {
  const std::vector<std::string> samples = {
      "SELECT g, sum(x) AS s, count(DISTINCT y) FROM t AS a LEFT JOIN u b ON a.g = b.g WHERE x > 1.5 AND "
      "s LIKE 'a%' GROUP BY g HAVING sum(x) > 2 ORDER BY 2 DESC NULLS LAST LIMIT 10",
      "WITH c AS (SELECT * FROM range(1, 10, 2)) SELECT id, CASE WHEN id IN (1, 3) THEN 'x' ELSE `y` END "
      "FROM c UNION ALL SELECT CAST(id AS decimal(10, 2)), DATE '2024-01-31' FROM t INTERSECT SELECT 1, 2",
      "SELECT lag(x, 1) OVER (PARTITION BY g ORDER BY t ROWS BETWEEN 2 PRECEDING AND CURRENT ROW) AS l, "
      "-x::int, TIMESTAMP '2024-01-31 12:00:00', 'it''s \\u0041' FROM (SELECT * FROM t) s, u /* c */",
  };
  std::mt19937 rng(12345);
  const std::string junk = "()'\"`,.*+-/%<>=!|&^~[];: \n0aZ_\\";
  auto check = [&](const std::string& text) {
    try {
      sql::parseQuery(text, *session_);
    } catch (const ParseException& e) {
      EXPECT_LE(e.position(), text.size());
    } catch (const AnalysisException&) {
    }
    try {
      parseExpression(text);
    } catch (const ParseException& e) {
      EXPECT_LE(e.position(), text.size());
    }
  };
  for (const auto& s : samples) {
    for (std::size_t n = 0; n <= s.size(); ++n) check(s.substr(0, n));
    for (int round = 0; round < 300; ++round) {
      std::string m = s;
      for (int k = 0; k < 3; ++k) {
        std::size_t pos = rng() % m.size();
        switch (rng() % 3) {
          case 0:
            m[pos] = junk[rng() % junk.size()];
            break;
          case 1:
            m.erase(pos, 1 + rng() % 4);
            break;
          default:
            m.insert(pos, 1, junk[rng() % junk.size()]);
            break;
        }
        if (m.empty()) m = "x";
      }
      check(m);
    }
  }
}

// The plans run on the local engine and give Spark's answers (checked against pyspark).
class SqlEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = SparkSession::builder().master("local[2]").getOrCreate();
    StructType schema({{"g", StringType()}, {"x", IntegerType()}, {"y", DoubleType()}});
    session_
        ->createDataFrame({Row{Value("a"), Value(1), Value(1.0)}, Row{Value("a"), Value(2), Value(2.0)},
                           Row{Value("b"), Value(3), Value(3.0)}, Row{Value("c"), Value(4), Value()}},
                          schema)
        .createOrReplaceTempView("emp");
  }
  void TearDown() override { session_->dropTempView("emp"); }

  // Rows as "v1|v2;v1|v2" (nulls as "null").
  std::string run(const std::string& text, std::vector<std::string>* columns = nullptr) {
    DataFrame df = session_->sql(text);
    if (columns) *columns = df.columns();
    std::string out;
    for (const Row& r : df.collect()) {
      std::vector<std::string> vals;
      for (const Value& v : r.values()) vals.push_back(v.toString());
      out += (out.empty() ? "" : ";") + join(vals, "|");
    }
    return out;
  }

  std::shared_ptr<SparkSession> session_;
};

TEST_F(SqlEndToEnd, QueriesReturnSparksRows) {
  std::vector<std::string> cols;
  EXPECT_EQ(run("SELECT g, sum(x) AS s FROM emp GROUP BY g ORDER BY max(y) DESC NULLS LAST", &cols), "b|3;a|3;c|4");
  EXPECT_EQ(cols, (std::vector<std::string>{"g", "s"}));
  EXPECT_EQ(run("SELECT g, sum(x) AS s FROM emp GROUP BY g HAVING count(*) > 1 OR g = 'c' ORDER BY g"), "a|3;c|4");
  EXPECT_EQ(run("SELECT sum(x) AS s FROM emp GROUP BY g HAVING g > 'a' AND count(*) >= 1 ORDER BY s", &cols), "3;4");
  EXPECT_EQ(cols, std::vector<std::string>{"s"});
  EXPECT_EQ(run("SELECT g, count(*) FROM emp GROUP BY g ORDER BY count(*) DESC, g", &cols), "a|2;b|1;c|1");
  EXPECT_EQ(cols, (std::vector<std::string>{"g", "count(1)"}));
  EXPECT_EQ(run("SELECT x FROM emp ORDER BY y DESC LIMIT 2"), "3;2");
  EXPECT_EQ(run("SELECT x * 2 AS d FROM emp WHERE x > 1 ORDER BY d DESC"), "8;6;4");
  EXPECT_EQ(run("SELECT g FROM emp UNION SELECT 'z' ORDER BY 1"), "a;b;c;z");
  EXPECT_EQ(run("SELECT x FROM emp EXCEPT SELECT 1 ORDER BY x"), "2;3;4");
  EXPECT_EQ(run("SELECT count(*) AS n FROM emp e JOIN emp f USING (g)"), "6");
  EXPECT_EQ(run("SELECT e.x, f.x FROM emp e LEFT JOIN emp f ON e.x = f.x + 3 ORDER BY e.x"),
            "1|null;2|null;3|null;4|1");
  EXPECT_EQ(run("SELECT id + 1 AS bucket FROM range(3)"), "1;2;3");
  EXPECT_EQ(run("SELECT 1 + 1 AS two, 'x' AS s", &cols), "2|x");
  EXPECT_EQ(cols, (std::vector<std::string>{"two", "s"}));
  EXPECT_EQ(run("SELECT DISTINCT g FROM emp WHERE x < 4 ORDER BY g DESC"), "b;a");
  EXPECT_EQ(run("WITH big AS (SELECT * FROM emp WHERE x >= 3) SELECT g FROM big ORDER BY x"), "b;c");
  EXPECT_EQ(run("SELECT g, row_number() OVER (PARTITION BY g ORDER BY x DESC) AS rn FROM emp ORDER BY g, rn"),
            "a|1;a|2;b|1;c|1");
  EXPECT_EQ(run("SELECT x FROM emp WHERE g IN ('a', 'c') AND x BETWEEN 2 AND 4 ORDER BY x"), "2;4");
  EXPECT_EQ(run("SELECT CASE g WHEN 'a' THEN 1 ELSE 0 END AS f FROM emp ORDER BY x"), "1;1;0;0");
  EXPECT_EQ(run("SELECT max(x) - min(x) AS spread FROM emp WHERE y IS NOT NULL"), "2");
  EXPECT_EQ(run("SELECT g, avg(x) AS m FROM emp GROUP BY 1 ORDER BY 2 DESC LIMIT 1"), "c|4.0");
}
