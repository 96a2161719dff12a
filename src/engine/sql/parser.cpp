// Recursive-descent parser for Spark SQL expressions and SELECT queries. Precedence follows Spark's
// SqlBaseParser: OR < AND < NOT < predicates (IS, IN, BETWEEN, LIKE) < comparison < | < ^ < & < + - || <
// * / % DIV < unary. Every construct that nests increases a depth counter (left-deep operator chains
// count too), so hostile input meets a ParseException instead of exhausting the stack of the parser or
// of the code that later walks the tree.
#include "engine/sql/parser.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>

#include "engine/errors.h"
#include "engine/session.h"
#include "engine/sql/lexer.h"
#include "engine/sql/literals.h"
#include "engine/sql/query_builder.h"

namespace engine::sql {

namespace {

constexpr int kMaxDepth = 1000;
// A nested query costs several times the stack of a nested expression.
constexpr int kQueryWeight = 5;

bool inList(const std::string& upper, std::initializer_list<const char*> words) {
  for (const char* w : words) {
    if (upper == w) return true;
  }
  return false;
}

// Words that end an expression or start a clause: never read as a column name.
bool reservedInExpression(const Token& t) {
  return t.kind == TokenKind::Identifier &&
         inList(t.upper, {"SELECT", "FROM",      "WHERE", "GROUP", "HAVING",   "ORDER",  "LIMIT", "UNION", "EXCEPT",
                          "MINUS",  "INTERSECT", "JOIN",  "ON",    "USING",    "AS",     "AND",   "OR",    "IS",
                          "IN",     "BETWEEN",   "LIKE",  "ILIKE", "RLIKE",    "REGEXP", "THEN",  "ELSE",  "END",
                          "WHEN",   "OVER",      "WITH",  "DISTINCT", "DIV",    "NOT"});
}

// Words that cannot be an alias written without AS (select items and relations).
bool reservedAsAlias(const Token& t) {
  return reservedInExpression(t) ||
         (t.kind == TokenKind::Identifier &&
          inList(t.upper,
                 {"LEFT",    "RIGHT",  "FULL",   "INNER",   "CROSS",      "NATURAL", "SEMI",  "ANTI",    "OUTER",
                  "LATERAL", "WINDOW", "OFFSET", "CLUSTER", "DISTRIBUTE", "SORT",    "PIVOT", "UNPIVOT", "TABLESAMPLE",
                  "ASC",     "DESC",   "NULLS",  "QUALIFY", "IGNORE",     "RESPECT", "FILTER"}));
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The recursive descent keeps its frames small (helpers that build nodes or handle rare syntax are kept
// out of line), so that the nesting limit below stays far from the stack size, sanitizers included.
#define SQL_NOINLINE __attribute__((noinline))

ExprPtr call(const char* name, std::vector<ExprPtr> args) { return Expr::function(name, std::move(args)); }
SQL_NOINLINE ExprPtr call1(const char* name, ExprPtr a) { return Expr::function(name, {std::move(a)}); }
SQL_NOINLINE ExprPtr call2(const char* name, ExprPtr a, ExprPtr b) {
  return Expr::function(name, {std::move(a), std::move(b)});
}

// Result of a query term: a plan, plus the select list of its leftmost SELECT (for ORDER BY ordinals
// over set operations), or a single SELECT not yet built because ORDER BY / LIMIT may still follow.
struct QueryTerm {
  std::optional<SelectSpec> select;
  PlanPtr plan;
  std::vector<ExprPtr> outputs;

  PlanPtr toPlan() const { return select ? buildSelect(*select, {}, std::nullopt) : plan; }
};

class Parser {
 public:
  Parser(const std::string& text, SparkSession* session) : text_(text), toks_(tokenize(text)), session_(session) {}

  ExprPtr parseStandaloneExpression() {
    if (peek().kind == TokenKind::End) emptyStatement();
    ExprPtr e = parseNamedExpression();
    if (peek().kind != TokenKind::End) fail(peek(), "expected end of input");
    resolveNamedWindows(0);  // an expression has no WINDOW clause: OVER name is an error
    return e;
  }

  PlanPtr parseStandaloneQuery() {
    if (peek().kind == TokenKind::End) emptyStatement();
    QueryTerm q = parseQuery();
    while (acceptOp(";")) {
    }
    if (peek().kind != TokenKind::End) fail(peek(), "expected end of input");
    return q.toPlan();
  }

 private:
  // ---- token helpers --------------------------------------------------------------------------
  const Token& peek(std::size_t k = 0) const { return toks_[std::min(idx_ + k, toks_.size() - 1)]; }
  const Token& next() {
    const Token& t = toks_[idx_];
    if (idx_ + 1 < toks_.size()) ++idx_;
    return t;
  }
  bool acceptKeyword(const char* kw) {
    if (!peek().isKeyword(kw)) return false;
    next();
    return true;
  }
  bool acceptOp(const char* op) {
    if (!peek().isOp(op)) return false;
    next();
    return true;
  }
  void expectKeyword(const char* kw) {
    if (!acceptKeyword(kw)) fail(peek(), std::string("expected ") + kw);
  }
  void expectOp(const char* op) {
    if (!acceptOp(op)) fail(peek(), std::string("expected '") + op + "'");
  }
  [[noreturn]] void fail(const Token& t, const std::string& hint) const { throwSyntaxError(text_, t, hint); }
  [[noreturn]] void unsupported(const Token& t, const std::string& what) const {
    throwParseError(text_, t.pos, "UNSUPPORTED_FEATURE", what + " is not supported", "0A000");
  }
  [[noreturn]] void emptyStatement() const {
    throwParseError(text_, 0, "PARSE_EMPTY_STATEMENT", "Syntax error, unexpected empty statement", "42617");
  }

  // Counts one level of nesting while alive; `extend` adds levels for operator chains.
  class Depth {
   public:
    // `weight` 0: only chain extensions count (the construct itself adds no nesting).
    explicit Depth(Parser& p, int weight = 1) : p_(p) {
      for (int i = 0; i < weight; ++i) extend();
    }
    ~Depth() { p_.depth_ -= n_; }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
    void extend() {
      ++n_;
      if (++p_.depth_ > kMaxDepth) {
        p_.fail(p_.peek(), "the text is nested too deeply (more than " + std::to_string(kMaxDepth) + " levels)");
      }
    }

   private:
    Parser& p_;
    int n_ = 0;
  };

  // ---- expressions ----------------------------------------------------------------------------
  ExprPtr parseNamedExpression() {
    ExprPtr e = parseExpr();
    if (auto alias = parseOptionalAlias()) return Expr::alias(e, *alias);
    return e;
  }

  std::optional<std::string> parseOptionalAlias() {
    if (acceptKeyword("AS")) {
      const Token& t = peek();
      if (t.isOp("(")) unsupported(t, "Aliasing one expression with several names");
      if (t.kind == TokenKind::QuotedIdentifier || t.kind == TokenKind::Identifier) return next().text;
      if (t.kind == TokenKind::String) return next().text;  // Spark accepts AS 'name' outside ANSI mode
      fail(t, "expected an alias name");
    }
    const Token& t = peek();
    if (t.kind == TokenKind::QuotedIdentifier) return next().text;
    if (t.kind == TokenKind::Identifier && !reservedAsAlias(t)) return next().text;
    return std::nullopt;
  }

  ExprPtr parseExpr() {
    Depth depth(*this);
    ExprPtr left = parseAnd();
    while (acceptKeyword("OR")) {
      depth.extend();
      ExprPtr right = parseAnd();
      left = call2("or", std::move(left), std::move(right));
    }
    return left;
  }

  ExprPtr parseAnd() {
    Depth depth(*this, 0);
    ExprPtr left = parseNot();
    while (acceptKeyword("AND")) {
      depth.extend();
      ExprPtr right = parseNot();
      left = call2("and", std::move(left), std::move(right));
    }
    return left;
  }

  ExprPtr parseNot() {
    if (peek().isKeyword("NOT") || peek().isOp("!")) {
      Depth depth(*this);
      next();
      return call1("not", parseNot());
    }
    return parsePredicate();
  }

  ExprPtr parsePredicate() {
    ExprPtr value = parseBinary(1);
    const Token& t = peek();
    if (t.kind != TokenKind::Identifier ||
        !inList(t.upper, {"NOT", "IN", "BETWEEN", "LIKE", "ILIKE", "RLIKE", "REGEXP", "IS"})) {
      return value;
    }
    return parsePredicateTail(std::move(value));
  }

  SQL_NOINLINE ExprPtr parsePredicateTail(ExprPtr value) {
    const Token& t = peek();
    bool negated = false;
    if (t.isKeyword("NOT") &&
        (peek(1).isKeyword("IN") || peek(1).isKeyword("BETWEEN") || peek(1).isKeyword("LIKE") ||
         peek(1).isKeyword("ILIKE") || peek(1).isKeyword("RLIKE") || peek(1).isKeyword("REGEXP"))) {
      next();
      negated = true;
    }
    const Token& op = peek();
    ExprPtr result;
    if (op.isKeyword("IN")) {
      next();
      Depth depth(*this);
      expectOp("(");
      if (startsQuery(0)) {
        PlanPtr q = parseQuery().toPlan();
        expectOp(")");
        result = Expr::subqueryOf("in", std::move(q), {value});
        return negated ? call("not", {result}) : result;
      }
      std::vector<ExprPtr> args{value};
      do {
        args.push_back(parseExpr());
      } while (acceptOp(","));
      expectOp(")");
      result = Expr::function("in", std::move(args));
    } else if (op.isKeyword("BETWEEN")) {
      next();
      Depth depth(*this);
      ExprPtr lo = parseBinary(1);
      expectKeyword("AND");
      ExprPtr hi = parseBinary(1);
      result = call("between", {value, lo, hi});
    } else if (op.isKeyword("LIKE") || op.isKeyword("ILIKE")) {
      const char* name = op.isKeyword("LIKE") ? "like" : "ilike";
      next();
      if (peek().isKeyword("ANY") || peek().isKeyword("SOME") || peek().isKeyword("ALL")) {
        unsupported(peek(), "LIKE ANY / ALL");
      }
      Depth depth(*this);
      std::vector<ExprPtr> args{value, parseBinary(1)};
      if (acceptKeyword("ESCAPE")) {
        const Token& esc = peek();
        if (esc.kind != TokenKind::String || esc.text.size() != 1) fail(esc, "expected a one-character escape string");
        args.push_back(Expr::literalOf(Value(next().text), StringType()));
      }
      result = Expr::function(name, std::move(args));
    } else if (op.isKeyword("RLIKE") || op.isKeyword("REGEXP")) {
      next();
      Depth depth(*this);
      result = call("rlike", {value, parseBinary(1)});
    } else if (op.isKeyword("IS") && !negated) {
      next();
      bool isNot = acceptKeyword("NOT");
      const Token& what = peek();
      if (what.isKeyword("NULL")) {
        next();
        return call(isNot ? "isnotnull" : "isnull", {value});
      }
      if (what.isKeyword("TRUE") || what.isKeyword("FALSE")) {
        next();
        ExprPtr eq = call("<=>", {value, Expr::literalOf(Value(what.upper == "TRUE"), BooleanType())});
        return isNot ? call("not", {eq}) : eq;
      }
      if (what.isKeyword("UNKNOWN")) {
        next();
        return call(isNot ? "isnotnull" : "isnull", {value});
      }
      if (what.isKeyword("DISTINCT")) {
        next();
        expectKeyword("FROM");
        Depth depth(*this);
        ExprPtr eq = call("<=>", {value, parseBinary(1)});
        return isNot ? eq : call("not", {eq});
      }
      fail(what, "expected NULL, TRUE, FALSE, UNKNOWN or DISTINCT FROM after IS");
    } else {
      return value;
    }
    return negated ? call("not", {result}) : result;
  }

  static int binaryPrecedence(const Token& t) {
    if (t.kind == TokenKind::Operator) {
      const std::string& s = t.text;
      if (s == "=" || s == "==" || s == "!=" || s == "<>" || s == "<" || s == "<=" || s == ">" || s == ">=" ||
          s == "<=>")
        return 1;
      if (s == "|") return 2;
      if (s == "^") return 3;
      if (s == "&") return 4;
      if (s == "+" || s == "-" || s == "||") return 5;
      if (s == "*" || s == "/" || s == "%") return 6;
      return 0;
    }
    return t.isKeyword("DIV") ? 6 : 0;
  }

  static const char* binaryName(const Token& t) {
    if (t.kind == TokenKind::Identifier) return "div";
    const std::string& s = t.text;
    if (s == "=" || s == "==") return "==";
    if (s == "!=" || s == "<>") return "!=";
    if (s == "||") return "concat";
    static const char* const kSame[] = {"<=>", "<", "<=", ">", ">=", "|", "^", "&", "+", "-", "*", "/", "%"};
    for (const char* k : kSame) {
      if (s == k) return k;
    }
    return "?";
  }

  // Precedence climbing over the binary operators; all of them associate to the left.
  ExprPtr parseBinary(int minPrecedence) {
    Depth depth(*this, 0);
    ExprPtr left = parseUnary();
    while (true) {
      int p = binaryPrecedence(peek());
      if (p == 0 || p < minPrecedence) break;
      const char* name = binaryName(next());
      depth.extend();
      ExprPtr right = parseBinary(p + 1);
      left = call2(name, std::move(left), std::move(right));
    }
    return left;
  }

  ExprPtr parseUnary() {
    const Token& t = peek();
    if (t.isOp("-") || t.isOp("+") || t.isOp("~")) return parsePrefixOperator();
    ExprPtr e = parsePrimary();
    if (peek().isOp("[")) e = parseSubscripts(std::move(e));
    while (peek().isOp("::")) {  // expr::type is CAST(expr AS type)
      next();
      e = Expr::cast(e, parseType());
    }
    return e;
  }

  SQL_NOINLINE ExprPtr parsePrefixOperator() {
    const Token& t = peek();
    {
      Depth depth(*this);
      next();
      // Spark's grammar folds the sign into a numeric literal: -2147483648 is an int.
      if (t.text == "-" && peek().isNumber()) return numericLiteral(next(), true);
      ExprPtr operand = parseUnary();
      return call1(t.text == "-" ? "-" : t.text == "+" ? "positive" : "~", std::move(operand));
    }
  }

  SQL_NOINLINE ExprPtr parseSubscripts(ExprPtr e) {
    Depth depth(*this, 0);
    while (peek().isOp("[")) {
      next();
      depth.extend();
      ExprPtr index = parseExpr();
      expectOp("]");
      e = call2("get", std::move(e), std::move(index));
    }
    return e;
  }

  ExprPtr parsePrimary() {
    if (peek().isOp("(")) {
      next();
      if (startsQuery(0)) {
        Depth depth(*this);
        PlanPtr q = parseQuery().toPlan();
        closeParen();
        return Expr::subqueryOf("scalar", std::move(q));
      }
      ExprPtr e = parseExpr();
      if (peek().isOp(",")) unsupportedHere("A struct constructor (a, b, ...)");
      closeParen();
      return e;
    }
    return parsePrimaryOther();
  }

  SQL_NOINLINE void closeParen() { expectOp(")"); }
  [[noreturn]] SQL_NOINLINE void unsupportedHere(const char* what) { unsupported(peek(), what); }

  SQL_NOINLINE ExprPtr parsePrimaryOther() {
    const Token& t = peek();
    switch (t.kind) {
      case TokenKind::Identifier:
        break;
      case TokenKind::QuotedIdentifier:
        return nameOrCall();
      default:
        return parseLiteralOrStar();
    }
    if (t.upper == "CASE") return parseCase();
    if ((t.upper == "CAST" || t.upper == "TRY_CAST") && peek(1).isOp("(")) return parseCast();
    if (ExprPtr e = parseKeywordPrimary()) return e;
    return nameOrCall();
  }

  SQL_NOINLINE ExprPtr parseLiteralOrStar() {
    const Token& t = peek();
    switch (t.kind) {
      case TokenKind::End:
        fail(t, "expected an expression");
      case TokenKind::String:
        return stringLiteral();
      case TokenKind::Operator:
        if (t.isOp("*")) {
          next();
          return Expr::star();
        }
        fail(t, "expected an expression");
      default:
        return numericLiteral(next(), false);
    }
  }

  // Literals and forms introduced by a keyword; null when the word is a plain name.
  SQL_NOINLINE ExprPtr parseKeywordPrimary() {
    const Token& t = peek();
    const std::string& u = t.upper;
    const Token& after = peek(1);
    if (u == "NULL") {
      next();
      return Expr::literalOf(Value(), NullType());
    }
    if ((u == "TRUE" || u == "FALSE") && !after.isOp("(")) {
      next();
      return Expr::literalOf(Value(u == "TRUE"), BooleanType());
    }
    if (u == "INTERVAL" && startsIntervalValue(1)) return parseInterval();
    if (after.kind == TokenKind::String &&
        inList(u, {"DATE", "TIMESTAMP", "TIMESTAMP_LTZ", "TIMESTAMP_NTZ", "X", "TIME"})) {
      return typedLiteral();
    }
    if ((u == "CURRENT_DATE" || u == "CURRENT_TIMESTAMP") && !after.isOp("(")) {
      next();
      return Expr::function(lower(u), {});
    }
    if (u == "EXISTS" && after.isOp("(") && startsQuery(2)) {
      next();
      next();
      Depth depth(*this);
      PlanPtr q = parseQuery().toPlan();
      expectOp(")");
      return Expr::subqueryOf("exists", std::move(q));
    }
    if (reservedInExpression(t)) fail(t, "expected an expression");
    return nullptr;
  }

  ExprPtr stringLiteral() {
    std::string s = next().text;
    while (peek().kind == TokenKind::String) s += next().text;  // 'a' 'b' is 'ab'
    return Expr::literalOf(Value(std::move(s)), StringType());
  }

  [[noreturn]] void outOfRange(const Token& t, bool negative, const char* type, const char* min,
                               const char* max) const {
    throwParseError(text_, t.pos, "INVALID_NUMERIC_LITERAL_RANGE",
                    "Numeric literal " + std::string(negative ? "-" : "") + t.text +
                        " is outside the valid range for " + type + " with minimum value of " + min +
                        " and maximum value of " + max + ". Please adjust the value accordingly",
                    "22003");
  }

  ExprPtr numericLiteral(const Token& t, bool negative) {
    const std::string sign = negative ? "-" : "";
    switch (t.kind) {
      case TokenKind::Integer:
      case TokenKind::BigInt:
      case TokenKind::SmallInt:
      case TokenKind::TinyInt: {
        // Magnitude with saturation: anything above 2^63 is out of every integral range.
        unsigned __int128 mag = 0;
        bool huge = false;
        for (char c : t.text) {
          mag = mag * 10 + static_cast<unsigned>(c - '0');
          if (mag > (static_cast<unsigned __int128>(1) << 64)) {
            huge = true;
            break;
          }
        }
        const auto limit = [&](std::uint64_t maxPositive) {
          return !huge && mag <= static_cast<unsigned __int128>(maxPositive) + (negative ? 1 : 0);
        };
        const auto value = [&]() -> std::int64_t {
          return negative ? static_cast<std::int64_t>(-static_cast<__int128>(mag)) : static_cast<std::int64_t>(mag);
        };
        if (t.kind == TokenKind::TinyInt) {
          if (!limit(127)) outOfRange(t, negative, "tinyint", "-128", "127");
          return Expr::literalOf(Value(static_cast<std::int8_t>(value())), ByteType());
        }
        if (t.kind == TokenKind::SmallInt) {
          if (!limit(32767)) outOfRange(t, negative, "smallint", "-32768", "32767");
          return Expr::literalOf(Value(static_cast<std::int16_t>(value())), ShortType());
        }
        if (t.kind == TokenKind::BigInt) {
          if (!limit(std::numeric_limits<std::int64_t>::max()))
            outOfRange(t, negative, "bigint", "-9223372036854775808", "9223372036854775807");
          return Expr::literalOf(Value(static_cast<std::int64_t>(value())), LongType());
        }
        if (limit(std::numeric_limits<std::int32_t>::max()))
          return Expr::literalOf(Value(static_cast<std::int32_t>(value())), IntegerType());
        if (limit(std::numeric_limits<std::int64_t>::max()))
          return Expr::literalOf(Value(static_cast<std::int64_t>(value())), LongType());
        return decimalLiteral(t, negative);  // too large for bigint: Spark makes it a decimal
      }
      case TokenKind::Decimal:
      case TokenKind::BigDecimal:
        return decimalLiteral(t, negative);
      case TokenKind::Exponent:
      case TokenKind::Double: {
        double v = 0;
        auto r = std::from_chars(t.text.data(), t.text.data() + t.text.size(), v);
        if (r.ec != std::errc() || !std::isfinite(v)) {
          outOfRange(t, negative, "double", "-1.7976931348623157E+308", "1.7976931348623157E+308");
        }
        return Expr::literalOf(Value(negative ? -v : v), DoubleType());
      }
      case TokenKind::Float: {
        double v = 0;
        auto r = std::from_chars(t.text.data(), t.text.data() + t.text.size(), v);
        if (r.ec != std::errc() || !(std::fabs(v) <= std::numeric_limits<float>::max())) {
          outOfRange(t, negative, "float", "-3.4028235E+38", "3.4028235E+38");
        }
        return Expr::literalOf(Value(static_cast<float>(negative ? -v : v)), FloatType());
      }
      default:
        fail(t, "expected a number");
    }
  }

  ExprPtr decimalLiteral(const Token& t, bool negative) {
    int precision = 0;
    auto d = parseDecimalText(t.text, negative, precision);
    if (!d) {
      throwParseError(text_, t.pos, "DECIMAL_PRECISION_EXCEEDS_MAX_PRECISION",
                      "Decimal precision " + std::to_string(precision) + " exceeds max precision 38", "22003");
    }
    return Expr::literalOf(Value(*d), DataType::decimal(d->precision, d->scale));
  }

  static bool isIntervalUnit(const Token& t) {
    if (t.kind != TokenKind::Identifier) return false;
    std::string u = t.upper;
    if (u.size() > 1 && u.back() == 'S') u.pop_back();
    return inList(u, {"YEAR", "MONTH", "WEEK", "DAY", "HOUR", "MINUTE", "SECOND", "MILLISECOND", "MICROSECOND"});
  }

  // A value of an interval literal at offset k: a string or a number, optionally signed.
  bool startsIntervalValue(std::size_t k) const {
    const Token& t = peek(k);
    if (t.isOp("-") || t.isOp("+")) return peek(k + 1).kind == TokenKind::String || peek(k + 1).isNumber();
    return t.kind == TokenKind::String || t.isNumber();
  }

  // INTERVAL <value> <unit> [<value> <unit> ...], INTERVAL '<text>' <unit> TO <unit>, INTERVAL '<value unit ...>'.
  SQL_NOINLINE ExprPtr parseInterval() {
    const Token& kw = next();  // INTERVAL
    auto invalid = [&](const std::string& why) {
      throwParseError(text_, kw.pos, "INVALID_INTERVAL_FORMAT", "Invalid interval literal: " + why, "22006");
    };
    std::vector<std::pair<std::string, std::string>> items;
    try {
      for (bool first = true; first || (startsIntervalValue(0) && isIntervalUnit(peek(peek(0).kind == TokenKind::Operator ? 2 : 1)));
           first = false) {
        bool minus = false;
        if (peek().isOp("-") || peek().isOp("+")) minus = next().text == "-";
        const Token& v = next();
        std::string value = v.text;
        bool isString = v.kind == TokenKind::String;
        if (isString) {
          while (peek().kind == TokenKind::String) value += next().text;
        }
        if (first && isString && !isIntervalUnit(peek())) {
          // INTERVAL '1 day 2 hours': the units are inside the text.
          if (minus) invalid("a sign before an interval string without units");
          return intervalLiteral(intervalFromUnits(splitIntervalText(value, invalid)));
        }
        if (!isIntervalUnit(peek())) fail(peek(), "expected an interval unit");
        std::string unit = next().text;
        if (first && peek().isKeyword("TO")) {
          next();
          if (!isString) invalid("the value of INTERVAL ... " + unit + " TO ... must be a string");
          const Token& to = next();
          if (!isIntervalUnit(to)) fail(to, "expected an interval unit");
          if (minus) value = value.rfind('-', 0) == 0 ? value.substr(1) : "-" + value;
          return intervalLiteral(intervalFromTo(value, unit, to.text));
        }
        if (isString) {
          for (char c : value)
            if (std::isalpha(static_cast<unsigned char>(c))) invalid("'" + value + "' holds letters");
        }
        if (minus) value = value.rfind('-', 0) == 0 ? value.substr(1) : "-" + value;
        items.emplace_back(std::move(value), std::move(unit));
      }
      return intervalLiteral(intervalFromUnits(items));
    } catch (const std::invalid_argument& e) {
      if (std::string(e.what()).find("fractional part") != std::string::npos) {
        // Spark finds this one while reading the value, after parsing: an IllegalArgumentException.
        throw IllegalArgumentException(std::string("[INVALID_INTERVAL_FORMAT.INVALID_FRACTION] ") + e.what());
      }
      invalid(e.what());
    }
    return nullptr;
  }

  template <class F>
  static std::vector<std::pair<std::string, std::string>> splitIntervalText(const std::string& text, F&& invalid) {
    std::vector<std::string> words;
    std::string w;
    for (char c : text) {
      if (std::isspace(static_cast<unsigned char>(c))) {
        if (!w.empty()) words.push_back(std::move(w));
        w.clear();
      } else {
        w += c;
      }
    }
    if (!w.empty()) words.push_back(std::move(w));
    if (!words.empty() && lower(words[0]) == "interval") words.erase(words.begin());
    if (words.empty() || words.size() % 2 != 0) invalid("'" + text + "' is not a list of numbers and units");
    std::vector<std::pair<std::string, std::string>> items;
    for (std::size_t i = 0; i < words.size(); i += 2) items.emplace_back(words[i], words[i + 1]);
    return items;
  }

  static ExprPtr intervalLiteral(IntervalLiteral lit) { return Expr::literalOf(std::move(lit.value), std::move(lit.type)); }

  ExprPtr typedLiteral() {
    const Token& kw = next();
    const Token& str = peek();
    std::string value = str.text;
    next();
    while (peek().kind == TokenKind::String) value += next().text;
    auto invalid = [&]() {
      throwParseError(text_, kw.pos, "INVALID_TYPED_LITERAL",
                      "The value of the typed literal \"" + kw.upper + "\" is invalid: '" + value + "'", "42604");
    };
    if (kw.upper == "DATE") {
      auto days = parseDateText(value);
      if (!days) invalid();
      return Expr::literalOf(Value(Date{*days}), DateType());
    }
    if (kw.upper == "TIMESTAMP" || kw.upper == "TIMESTAMP_LTZ") {
      auto micros = parseTimestampText(value);
      if (!micros) invalid();
      return Expr::literalOf(Value(Timestamp{*micros}), TimestampType());
    }
    throwParseError(text_, kw.pos, "UNSUPPORTED_TYPED_LITERAL",
                    "Literals of the type \"" + kw.upper + "\" are not supported. Supported types are DATE, TIMESTAMP",
                    "0A000");
  }

  SQL_NOINLINE ExprPtr parseCase() {
    next();  // CASE
    ExprPtr operand;
    if (!peek().isKeyword("WHEN")) operand = parseExpr();
    std::vector<ExprPtr> args;
    if (!peek().isKeyword("WHEN")) fail(peek(), "expected WHEN");
    while (acceptKeyword("WHEN")) {
      ExprPtr cond = parseExpr();
      if (operand) cond = call("==", {operand, cond});
      expectKeyword("THEN");
      args.push_back(cond);
      args.push_back(parseExpr());
    }
    if (acceptKeyword("ELSE")) args.push_back(parseExpr());
    expectKeyword("END");
    return Expr::function("when", std::move(args));
  }

  SQL_NOINLINE ExprPtr parseCast() {
    next();  // CAST
    expectOp("(");
    ExprPtr e = parseExpr();
    expectKeyword("AS");
    DataType type = parseType();
    expectOp(")");
    return Expr::cast(e, type);
  }

  // A type name as written in SQL: int, decimal(10, 2), array<string>, varchar(5), ...
  DataType parseType() {
    const Token& first = peek();
    if (first.kind != TokenKind::Identifier && first.kind != TokenKind::QuotedIdentifier)
      fail(first, "expected a type");
    std::size_t end = next().end;
    int parens = 0, angles = 0;
    while (true) {
      const Token& t = peek();
      if (t.kind == TokenKind::End) break;
      if (parens == 0 && angles == 0 && !t.isOp("(") && !t.isOp("<")) break;
      if (t.isOp("(")) {
        ++parens;
      } else if (t.isOp(")")) {
        --parens;
      } else if (t.isOp("<")) {
        ++angles;
      } else if (t.isOp(">")) {
        --angles;
      }
      end = next().end;
    }
    std::string typeText = text_.substr(first.pos, end - first.pos);
    auto type = DataType::parse(typeText);
    if (!type) {
      throwParseError(text_, first.pos, "UNSUPPORTED_DATATYPE", "Unsupported data type \"" + upper(typeText) + "\"",
                      "0A000");
    }
    return *type;
  }

  // Column reference (a, t.a, `a b`, t.*) or function call (f(...), possibly followed by OVER).
  ExprPtr nameOrCall() {
    std::string function;
    if (ExprPtr ref = parseNameOrFunctionName(function)) return ref;
    return parseCall(function);
  }

  // A column reference or star; for a function call, null with the lower-case name in `function`.
  SQL_NOINLINE ExprPtr parseNameOrFunctionName(std::string& function) {
    const Token& first = next();
    std::vector<std::string> parts{first.text};
    while (peek().isOp(".")) {
      next();
      const Token& t = peek();
      if (t.isOp("*")) {
        next();
        return Expr::star(std::move(parts));
      }
      if (t.kind != TokenKind::Identifier && t.kind != TokenKind::QuotedIdentifier)
        fail(t, "expected a name after '.'");
      parts.push_back(next().text);
    }
    if (!peek().isOp("(")) return Expr::attributeParts(std::move(parts));
    for (const auto& p : parts) function += (function.empty() ? "" : ".") + lower(p);
    return nullptr;
  }

  ExprPtr parseCall(const std::string& name) {
    if (name == "trim" && isTrimForm()) return parseTrimForm();
    bool distinct = openCall();
    std::vector<ExprPtr> args;
    if (name == "count" && peek().isOp("*") && peek(1).isOp(")")) {
      countStar(distinct, args);
    } else if (!peek().isOp(")")) {
      do {
        checkArgument();
        args.push_back(parseExpr());
      } while (acceptOp(","));
    }
    return finishCall(name, std::move(args), distinct);
  }

  // trim(BOTH|LEADING|TRAILING [chars] FROM s) and trim(chars FROM s) (the '(' is the next token).
  bool isTrimForm() {
    const Token& t = peek(1);
    if (t.isKeyword("BOTH") || t.isKeyword("LEADING") || t.isKeyword("TRAILING")) return true;
    return (t.kind == TokenKind::String || t.kind == TokenKind::Identifier) && peek(2).isKeyword("FROM");
  }

  SQL_NOINLINE ExprPtr parseTrimForm() {
    expectOp("(");
    std::string fn = "trim";
    if (acceptKeyword("LEADING")) {
      fn = "ltrim";
    } else if (acceptKeyword("TRAILING")) {
      fn = "rtrim";
    } else {
      acceptKeyword("BOTH");
    }
    ExprPtr chars;
    if (!acceptKeyword("FROM")) {
      chars = parseExpr();
      expectKeyword("FROM");
    }
    ExprPtr str = parseExpr();
    expectOp(")");
    if (chars) return Expr::function(fn, {chars, str});
    return Expr::function(fn, {str});
  }

  // agg(x) FILTER (WHERE c) is agg(CASE WHEN c THEN x END): aggregates skip the nulls of the rows the
  // condition rejects. Literal parameters (a percentile, an accuracy) stay as they are; count(*) counts the
  // rows that pass.
  SQL_NOINLINE void applyAggregateFilter(const std::string& name, std::vector<ExprPtr>& args) {
    next();  // FILTER
    expectOp("(");
    expectKeyword("WHERE");
    ExprPtr cond = parseExpr();
    expectOp(")");
    for (auto& a : args) {
      if (name == "count" || a->kind != ExprKind::Literal) a = Expr::function("when", {cond, a});
    }
  }

  // '(' and an optional DISTINCT / ALL; true for DISTINCT.
  SQL_NOINLINE bool openCall() {
    expectOp("(");
    if (acceptKeyword("DISTINCT")) return true;
    if (peek().isKeyword("ALL") && !peek(1).isOp(")") && !peek(1).isOp(",")) next();
    return false;
  }

  SQL_NOINLINE void countStar(bool distinct, std::vector<ExprPtr>& args) {
    if (distinct) fail(peek(), "expected an expression");
    next();
    args.push_back(Expr::literalOf(Value(1), IntegerType()));  // Spark rewrites count(*) as count(1)
  }

  SQL_NOINLINE void checkArgument() {
    if (peek(1).isOp("->")) unsupported(peek(), "A lambda function");
    if (peek(1).isOp("=>")) unsupported(peek(), "A named function argument");
  }

  SQL_NOINLINE ExprPtr finishCall(const std::string& name, std::vector<ExprPtr> args, bool distinct) {
    expectOp(")");
    if (peek().isKeyword("FILTER") && peek(1).isOp("(")) applyAggregateFilter(name, args);
    if (peek().isKeyword("WITHIN") && peek(1).isKeyword("GROUP")) unsupported(peek(), "WITHIN GROUP");
    if (peek().isKeyword("IGNORE") || peek().isKeyword("RESPECT")) {
      const Token& opt = next();
      expectKeyword("NULLS");
      if (opt.upper == "IGNORE") {
        // first/last take the flag as a second argument (Spark's First(child, ignoreNulls)).
        bool firstLast =
            name == "first" || name == "last" || name == "first_value" || name == "last_value" || name == "any_value";
        if (!firstLast) unsupported(opt, "IGNORE NULLS for " + name);
        if (args.size() == 1) args.push_back(Expr::literalOf(Value(true), BooleanType()));
      }
    }
    ExprPtr fn = Expr::function(name, std::move(args), distinct);
    if (peek().isKeyword("OVER")) return parseOver(fn);
    return fn;
  }

  SQL_NOINLINE ExprPtr parseOver(ExprPtr fn) {
    Depth depth(*this);  // a window costs more stack than other nesting
    next();              // OVER
    if (!peek().isOp("(")) {
      // OVER name: the window is defined by the query's WINDOW clause, read later.
      const Token& name = peek();
      if (name.kind != TokenKind::Identifier && name.kind != TokenKind::QuotedIdentifier)
        fail(name, "expected '(' or a window name after OVER");
      auto spec = std::make_shared<WindowSpecData>();
      namedWindowRefs_.push_back({lower(next().text), spec, name.pos});
      return Expr::windowed(fn, spec);
    }
    return Expr::windowed(fn, parseWindowSpec());
  }

  // '(' [PARTITION BY ...] [ORDER BY ...] [frame] ')'
  SQL_NOINLINE std::shared_ptr<WindowSpecData> parseWindowSpec() {
    expectOp("(");
    auto spec = std::make_shared<WindowSpecData>();
    if ((peek().isKeyword("PARTITION") || peek().isKeyword("DISTRIBUTE")) && peek(1).isKeyword("BY")) {
      next();
      next();
      do {
        spec->partitionBy.push_back(parseExpr());
      } while (acceptOp(","));
    }
    if ((peek().isKeyword("ORDER") || peek().isKeyword("SORT")) && peek(1).isKeyword("BY")) {
      next();
      next();
      spec->orderBy = parseSortItems();
    }
    if (peek().isKeyword("ROWS") || peek().isKeyword("RANGE")) {
      spec->hasFrame = true;
      spec->frameType = next().upper == "ROWS" ? FrameType::Rows : FrameType::Range;
      if (acceptKeyword("BETWEEN")) {
        spec->lower = parseFrameBound(true);
        expectKeyword("AND");
        spec->upper = parseFrameBound(false);
      } else {
        spec->lower = parseFrameBound(true);
        spec->upper = 0;  // ROWS n PRECEDING means up to the current row
      }
    }
    if (!peek().isOp(")")) {
      fail(peek(), spec->hasFrame ? "expected ')'" : "expected PARTITION BY, ORDER BY, ROWS, RANGE or ')'");
    }
    next();
    return spec;
  }

  // WINDOW name AS (...), ...: fills the OVER name references made since `firstRef` (this query's).
  SQL_NOINLINE void resolveNamedWindows(std::size_t firstRef) {
    std::map<std::string, std::shared_ptr<WindowSpecData>> defs;
    if (acceptKeyword("WINDOW")) {
      do {
        const Token& name = next();
        if (name.kind != TokenKind::Identifier && name.kind != TokenKind::QuotedIdentifier)
          fail(name, "expected a window name");
        expectKeyword("AS");
        defs[lower(name.text)] = parseWindowSpec();
      } while (acceptOp(","));
    }
    for (std::size_t k = firstRef; k < namedWindowRefs_.size(); ++k) {
      const auto& ref = namedWindowRefs_[k];
      auto it = defs.find(ref.name);
      if (it == defs.end())
        throwParseError(text_, ref.pos, "MISSING_WINDOW_DEFINITION",
                        "Window " + ref.name + " is not defined in the WINDOW clause for " + ref.name +
                            ".",
                        "42P20");
      *ref.spec = *it->second;
    }
    namedWindowRefs_.resize(firstRef);
  }

  std::int64_t parseFrameBound(bool isLower) {
    const Token& t = peek();
    if (acceptKeyword("UNBOUNDED")) {
      const Token& dir = peek();
      if (acceptKeyword("PRECEDING")) {
        if (!isLower) fail(dir, "UNBOUNDED PRECEDING cannot end a window frame");
        return std::numeric_limits<std::int64_t>::min();
      }
      if (acceptKeyword("FOLLOWING")) {
        if (isLower) fail(dir, "UNBOUNDED FOLLOWING cannot start a window frame");
        return std::numeric_limits<std::int64_t>::max();
      }
      fail(dir, "expected PRECEDING or FOLLOWING");
    }
    if (acceptKeyword("CURRENT")) {
      expectKeyword("ROW");
      return 0;
    }
    bool negative = acceptOp("-");
    const Token& num = peek();
    if (num.kind != TokenKind::Integer && num.kind != TokenKind::BigInt) {
      fail(num, "expected UNBOUNDED, CURRENT ROW or an integer offset");
    }
    ExprPtr lit = numericLiteral(next(), negative);
    if (lit->literalType.id() != TypeId::Integer && lit->literalType.id() != TypeId::Long) {
      fail(num, "the frame offset is out of range");
    }
    std::int64_t v = lit->literal.toInt64();
    if (acceptKeyword("PRECEDING")) {
      if (v == std::numeric_limits<std::int64_t>::min()) fail(t, "the frame offset is out of range");
      return -v;
    }
    if (acceptKeyword("FOLLOWING")) return v;
    fail(peek(), "expected PRECEDING or FOLLOWING");
  }

  std::vector<ExprPtr> parseSortItems() {
    std::vector<ExprPtr> out;
    do {
      ExprPtr e = parseExpr();
      bool asc = true;
      if (acceptKeyword("DESC")) {
        asc = false;
      } else {
        acceptKeyword("ASC");
      }
      bool nullsFirst = asc;  // Spark: ASC puts nulls first, DESC last
      if (acceptKeyword("NULLS")) {
        if (acceptKeyword("FIRST")) {
          nullsFirst = true;
        } else if (acceptKeyword("LAST")) {
          nullsFirst = false;
        } else {
          fail(peek(), "expected FIRST or LAST");
        }
      }
      out.push_back(Expr::sortOrder(e, asc, nullsFirst));
    } while (acceptOp(","));
    return out;
  }

  // ---- queries --------------------------------------------------------------------------------
  bool startsQuery(std::size_t k) const {
    // Skips opening parentheses: ((SELECT ...)) is a query, (t JOIN u ON ...) a relation.
    while (peek(k).isOp("(")) ++k;
    return peek(k).isKeyword("SELECT") || peek(k).isKeyword("WITH");
  }

  QueryTerm parseQuery() {
    Depth depth(*this, kQueryWeight);
    std::size_t scopes = 0;
    if (acceptKeyword("WITH")) {
      if (peek().isKeyword("RECURSIVE")) unsupported(peek(), "WITH RECURSIVE");
      ctes_.emplace_back();
      scopes = 1;
      do {
        const Token& name = peek();
        if (name.kind != TokenKind::Identifier && name.kind != TokenKind::QuotedIdentifier) {
          fail(name, "expected a name for the common table expression");
        }
        next();
        if (peek().isOp("(")) unsupported(peek(), "A column list on a common table expression");
        expectKeyword("AS");
        expectOp("(");
        QueryTerm sub = parseQuery();
        expectOp(")");
        ctes_.back()[lower(name.text)] = sub.toPlan();
      } while (acceptOp(","));
    }
    QueryTerm term = parseSetExpression();
    std::vector<ExprPtr> orderBy;
    if (peek().isKeyword("ORDER") && peek(1).isKeyword("BY")) {
      next();
      next();
      orderBy = parseSortItems();
    }
    std::optional<std::int64_t> limit;
    if (acceptKeyword("LIMIT")) {
      if (!acceptKeyword("ALL")) {
        const Token& t = peek();
        if (t.kind != TokenKind::Integer && t.kind != TokenKind::BigInt)
          fail(t, "expected a non-negative integer LIMIT");
        ExprPtr lit = numericLiteral(next(), false);
        if (!lit->literalType.isIntegral()) fail(t, "the LIMIT is out of range");
        limit = lit->literal.toInt64();
      }
    }
    std::optional<std::int64_t> offset;
    if (acceptKeyword("OFFSET")) {
      const Token& t = peek();
      if (t.kind != TokenKind::Integer && t.kind != TokenKind::BigInt) fail(t, "expected a non-negative integer OFFSET");
      ExprPtr lit = numericLiteral(next(), false);
      if (!lit->literalType.isIntegral()) fail(t, "the OFFSET is out of range");
      offset = lit->literal.toInt64();
    }
    QueryTerm out;
    if (offset) {
      // LIMIT applies after OFFSET: the ordered rows, the first `offset` skipped, then at most `limit`.
      PlanPtr ordered = term.select ? buildSelect(*term.select, orderBy, std::nullopt)
                                    : applyOrderAndLimit(term.plan, term.outputs, orderBy, std::nullopt);
      auto off = std::make_shared<OffsetPlan>();
      off->offset = *offset;
      off->inputs = {std::move(ordered)};
      out.plan = applyOrderAndLimit(off, {}, {}, limit);
      out.outputs = term.select ? term.select->items : term.outputs;
    } else if (term.select && (!orderBy.empty() || limit)) {
      out.plan = buildSelect(*term.select, orderBy, limit);
      out.outputs = term.select->items;
    } else if (term.select) {
      out = std::move(term);
    } else {
      out.plan = applyOrderAndLimit(term.plan, term.outputs, orderBy, limit);
      out.outputs = std::move(term.outputs);
    }
    if (scopes) ctes_.pop_back();
    return out;
  }

  // UNION / EXCEPT / MINUS, left-associative, over INTERSECT terms (which bind tighter, as in Spark).
  QueryTerm parseSetExpression() {
    Depth depth(*this, 0);
    QueryTerm left = parseIntersectTerm();
    while (peek().isKeyword("UNION") || peek().isKeyword("EXCEPT") || peek().isKeyword("MINUS")) {
      const Token& op = next();
      bool all = acceptKeyword("ALL");
      if (!all) acceptKeyword("DISTINCT");
      if (peek().isKeyword("BY")) unsupported(peek(), "UNION BY NAME");
      depth.extend();
      QueryTerm right = parseIntersectTerm();
      left = combine(left, right, op.upper == "UNION" ? SetOpType::Union : SetOpType::Except, all);
    }
    return left;
  }

  QueryTerm parseIntersectTerm() {
    Depth depth(*this, 0);
    QueryTerm left = parseQueryPrimary();
    while (acceptKeyword("INTERSECT")) {
      bool all = acceptKeyword("ALL");
      if (!all) acceptKeyword("DISTINCT");
      depth.extend();
      QueryTerm right = parseQueryPrimary();
      left = combine(left, right, SetOpType::Intersect, all);
    }
    return left;
  }

  static QueryTerm combine(const QueryTerm& left, const QueryTerm& right, SetOpType type, bool all) {
    auto op = std::make_shared<SetOperationPlan>();
    op->opType = type;
    op->isAll = all;
    op->inputs = {left.toPlan(), right.toPlan()};
    QueryTerm out;
    out.plan = op;
    out.outputs = left.select ? left.select->items : left.outputs;
    return out;
  }

  QueryTerm parseQueryPrimary() {
    const Token& t = peek();
    if (t.isKeyword("SELECT")) {
      QueryTerm q;
      q.select = parseSelect();
      return q;
    }
    if (t.isOp("(")) {
      Depth depth(*this);
      next();
      QueryTerm q = parseQuery();
      expectOp(")");
      if (q.select) {
        QueryTerm built;
        built.plan = q.toPlan();
        built.outputs = q.select->items;
        return built;
      }
      return q;
    }
    if (t.isKeyword("VALUES")) unsupported(t, "VALUES");
    if (t.isKeyword("FROM") || t.isKeyword("TABLE")) unsupported(t, "A query that does not start with SELECT");
    fail(t, "expected SELECT");
  }

  SQL_NOINLINE SelectSpec parseSelect() {
    expectKeyword("SELECT");
    const std::size_t firstWindowRef = namedWindowRefs_.size();
    SelectSpec s;
    if (acceptKeyword("DISTINCT")) {
      s.distinct = true;
    } else {
      acceptKeyword("ALL");
    }
    do {
      if (peek().kind == TokenKind::End || peek().isKeyword("FROM")) fail(peek(), "expected an expression");
      s.items.push_back(parseNamedExpression());
    } while (acceptOp(","));
    if (acceptKeyword("FROM")) s.from = parseFrom();
    if (acceptKeyword("WHERE")) s.where = parseExpr();
    if (peek().isKeyword("GROUP") && peek(1).isKeyword("BY")) {
      next();
      next();
      s.hasGroupBy = true;
      if (peek().isKeyword("ALL") && !peek(1).isOp("(") && !peek(1).isOp(",")) {
        next();
        s.groupByAll = true;
      } else {
        if (peek().isKeyword("GROUPING") && peek(1).isKeyword("SETS")) unsupported(peek(), "GROUPING SETS");
        do {
          const Token& t = peek();
          if ((t.isKeyword("ROLLUP") || t.isKeyword("CUBE")) && peek(1).isOp("(")) unsupported(t, t.upper);
          s.groupBy.push_back(parseExpr());
        } while (acceptOp(","));
        if (peek().isKeyword("WITH") && (peek(1).isKeyword("ROLLUP") || peek(1).isKeyword("CUBE"))) {
          unsupported(peek(1), "GROUP BY ... WITH " + peek(1).upper);
        }
      }
    }
    if (acceptKeyword("HAVING")) s.having = parseExpr();
    resolveNamedWindows(firstWindowRef);
    if (peek().isKeyword("QUALIFY")) unsupported(peek(), "QUALIFY");
    for (const char* kw : {"CLUSTER", "DISTRIBUTE", "SORT"}) {
      if (peek().isKeyword(kw) && peek(1).isKeyword("BY")) unsupported(peek(), std::string(kw) + " BY");
    }
    return s;
  }

  PlanPtr parseFrom() {
    Depth depth(*this, 0);
    PlanPtr left = parseRelation();
    while (acceptOp(",")) {
      depth.extend();
      auto join = std::make_shared<JoinPlan>();
      join->joinType = JoinType::Cross;
      join->inputs = {left, parseRelation()};
      left = join;
    }
    return left;
  }

  std::optional<JoinType> parseJoinType() {
    const Token& t = peek();
    if (t.isKeyword("LATERAL") || (t.isKeyword("JOIN") && peek(1).isKeyword("LATERAL"))) unsupported(t, "LATERAL");
    if (acceptKeyword("JOIN")) return JoinType::Inner;
    std::optional<JoinType> type;
    if (acceptKeyword("INNER")) {
      type = JoinType::Inner;
    } else if (acceptKeyword("CROSS")) {
      type = JoinType::Cross;
    } else if (acceptKeyword("LEFT")) {
      if (acceptKeyword("SEMI")) {
        type = JoinType::LeftSemi;
      } else if (acceptKeyword("ANTI")) {
        type = JoinType::LeftAnti;
      } else {
        acceptKeyword("OUTER");
        type = JoinType::LeftOuter;
      }
    } else if (acceptKeyword("RIGHT")) {
      acceptKeyword("OUTER");
      type = JoinType::RightOuter;
    } else if (acceptKeyword("FULL")) {
      acceptKeyword("OUTER");
      type = JoinType::FullOuter;
    } else if (acceptKeyword("SEMI")) {
      type = JoinType::LeftSemi;
    } else if (acceptKeyword("ANTI")) {
      type = JoinType::LeftAnti;
    } else {
      return std::nullopt;
    }
    expectKeyword("JOIN");
    return type;
  }

  PlanPtr parseRelation() {
    Depth depth(*this, 0);
    PlanPtr left = parseRelationPrimary();
    while (true) {
      const bool natural = acceptKeyword("NATURAL");
      auto type = parseJoinType();
      if (!type) {
        if (natural) fail(peek(), "expected JOIN after NATURAL");
        break;
      }
      if (natural && (*type == JoinType::Cross || *type == JoinType::LeftSemi || *type == JoinType::LeftAnti)) {
        unsupported(peek(), "NATURAL CROSS / SEMI / ANTI JOIN");
      }
      depth.extend();
      auto join = std::make_shared<JoinPlan>();
      join->joinType = *type;
      join->natural = natural;
      PlanPtr right = parseRelationPrimary();
      if (natural) {
        if (peek().isKeyword("ON") || peek().isKeyword("USING")) fail(peek(), "a NATURAL JOIN takes no ON or USING");
      } else if (acceptKeyword("ON")) {
        join->condition = parseExpr();
      } else if (acceptKeyword("USING")) {
        expectOp("(");
        do {
          const Token& c = peek();
          if (c.kind != TokenKind::Identifier && c.kind != TokenKind::QuotedIdentifier)
            fail(c, "expected a column name");
          join->usingColumns.push_back(next().text);
        } while (acceptOp(","));
        expectOp(")");
      }
      if (*type == JoinType::Cross && !join->usingColumns.empty()) fail(peek(), "CROSS JOIN takes no USING clause");
      join->inputs = {left, right};
      left = join;
    }
    return left;
  }

  PlanPtr withAlias(PlanPtr plan) {
    std::optional<std::string> alias;
    if (acceptKeyword("AS")) {
      const Token& t = peek();
      if (t.kind != TokenKind::Identifier && t.kind != TokenKind::QuotedIdentifier) fail(t, "expected an alias name");
      alias = next().text;
    } else if (peek().kind == TokenKind::QuotedIdentifier ||
               (peek().kind == TokenKind::Identifier && !reservedAsAlias(peek()))) {
      alias = next().text;
    }
    if (alias && peek().isOp("(")) unsupported(peek(), "A column alias list on a relation");
    if (!alias) return plan;
    return subqueryAlias(std::move(plan), *alias);
  }

  static PlanPtr subqueryAlias(PlanPtr plan, const std::string& name) {
    auto a = std::make_shared<SubqueryAliasPlan>();
    a->alias = name;
    a->inputs.push_back(std::move(plan));
    return a;
  }

  PlanPtr parseRelationPrimary() {
    if (peek().isOp("(")) return parseParenthesizedRelation();
    if (peek().isKeyword("VALUES")) return parseInlineTable();
    return parseNamedRelation();
  }

  // VALUES (e, ...), ... [[AS] name[(c1, ...)]]: each row a projection of one row, the rows a UNION ALL
  // (which widens the column types as Spark's inline tables do). Columns are col1, col2, ... by default.
  SQL_NOINLINE PlanPtr parseInlineTable() {
    Depth depth(*this, kQueryWeight);
    const Token& start = next();  // VALUES
    std::vector<std::vector<ExprPtr>> rows;
    do {
      std::vector<ExprPtr> row;
      if (acceptOp("(")) {
        do {
          row.push_back(parseExpr());
        } while (acceptOp(","));
        expectOp(")");
      } else {
        row.push_back(parseExpr());
      }
      if (!rows.empty() && row.size() != rows[0].size())
        throwParseError(text_, start.pos, "INVALID_INLINE_TABLE.NUM_COLUMNS_MISMATCH",
                        "Invalid inline table. Inline table expected " + std::to_string(rows[0].size()) +
                            " columns but found " + std::to_string(row.size()) + " columns in row " +
                            std::to_string(rows.size()) + ".",
                        "42000");
      rows.push_back(std::move(row));
    } while (acceptOp(","));
    std::optional<std::string> alias;
    std::vector<std::string> names;
    if (acceptKeyword("AS") || peek().kind == TokenKind::QuotedIdentifier ||
        (peek().kind == TokenKind::Identifier && !reservedAsAlias(peek()))) {
      const Token& t = peek();
      if (t.kind != TokenKind::Identifier && t.kind != TokenKind::QuotedIdentifier) fail(t, "expected an alias name");
      alias = next().text;
      if (acceptOp("(")) {
        do {
          const Token& c = peek();
          if (c.kind != TokenKind::Identifier && c.kind != TokenKind::QuotedIdentifier) fail(c, "expected a column name");
          names.push_back(next().text);
        } while (acceptOp(","));
        expectOp(")");
      }
    }
    const std::size_t width = rows[0].size();
    if (names.empty()) {
      for (std::size_t i = 0; i < width; ++i) names.push_back("col" + std::to_string(i + 1));
    } else if (names.size() != width) {
      throwParseError(text_, start.pos, "ASSIGNMENT_ARITY_MISMATCH",
                      "The number of columns or variables assigned or aliased: " + std::to_string(names.size()) +
                          " does not match the number of source tables or expressions: " + std::to_string(width) + ".",
                      "42802");
    }
    PlanPtr out;
    for (auto& row : rows) {
      auto one = std::make_shared<RangePlan>();
      one->start = 0;
      one->end = 1;
      one->step = 1;
      one->numPartitions = 1;
      auto project = std::make_shared<ProjectPlan>();
      project->inputs.push_back(one);
      for (std::size_t i = 0; i < width; ++i) project->exprs.push_back(Expr::alias(row[i], names[i]));
      if (!out) {
        out = project;
        continue;
      }
      auto u = std::make_shared<SetOperationPlan>();
      u->opType = SetOpType::Union;
      u->isAll = true;
      u->inputs = {out, project};
      out = u;
    }
    return alias ? subqueryAlias(out, *alias) : out;
  }

  SQL_NOINLINE PlanPtr parseParenthesizedRelation() {
    Depth depth(*this, kQueryWeight);
    next();
    PlanPtr inner = startsQuery(0) ? parseSubqueryPlan() : parseFrom();
    closeParen();
    return withAlias(std::move(inner));
  }

  SQL_NOINLINE PlanPtr parseSubqueryPlan() { return parseQuery().toPlan(); }

  SQL_NOINLINE PlanPtr parseNamedRelation() {
    const Token& t = peek();
    if (t.kind != TokenKind::Identifier && t.kind != TokenKind::QuotedIdentifier) fail(t, "expected a table name");
    if (t.kind == TokenKind::Identifier && reservedAsAlias(t)) fail(t, "expected a table name");
    std::vector<std::string> parts{next().text};
    while (acceptOp(".")) {
      const Token& p = peek();
      if (p.kind != TokenKind::Identifier && p.kind != TokenKind::QuotedIdentifier)
        fail(p, "expected a name after '.'");
      parts.push_back(next().text);
    }
    if (peek().isOp("(")) return withAlias(tableFunction(t, parts));
    return withAlias(lookupRelation(t, parts));
  }

  PlanPtr lookupRelation(const Token& at, const std::vector<std::string>& parts) {
    std::string name;
    std::string quoted;
    for (const auto& p : parts) {
      name += (name.empty() ? "" : ".") + p;
      quoted += (quoted.empty() ? "`" : ".`") + p + "`";
    }
    if (parts.size() == 1) {
      const std::string key = lower(parts[0]);
      for (auto it = ctes_.rbegin(); it != ctes_.rend(); ++it) {
        auto found = it->find(key);
        if (found != it->end()) return subqueryAlias(found->second, parts[0]);
      }
    }
    PlanPtr view = session_ ? session_->lookupView(name) : nullptr;
    if (!view) {
      throw AnalysisException("[TABLE_OR_VIEW_NOT_FOUND] The table or view " + quoted +
                              " cannot be found. Verify the spelling and correctness of the schema and catalog. "
                              "SQLSTATE: 42P01; " +
                              lineAndPos(at.pos));
    }
    return subqueryAlias(view, parts.back());
  }

  PlanPtr tableFunction(const Token& at, const std::vector<std::string>& parts) {
    std::string name = lower(parts.back());
    if (parts.size() != 1 || name != "range") {
      std::string shown;
      for (const auto& p : parts) shown += (shown.empty() ? "`" : ".`") + p + "`";
      throw AnalysisException("[UNRESOLVABLE_TABLE_VALUED_FUNCTION] Could not resolve " + shown +
                              " to a table-valued function. Please make sure that " + shown +
                              " is defined as a table-valued function. SQLSTATE: 42883; " + lineAndPos(at.pos));
    }
    Depth depth(*this);
    expectOp("(");
    std::vector<std::int64_t> args;
    if (!peek().isOp(")")) {
      do {
        const Token& argTok = peek();
        ExprPtr e = parseExpr();
        if (e->kind != ExprKind::Literal || !e->literalType.isIntegral() || e->literal.isNull()) {
          throw AnalysisException(
              "[FAILED_FUNCTION_CALL] Failed preparing of the function `range` for call: its "
              "arguments must be integer literals. SQLSTATE: 38000; " +
              lineAndPos(argTok.pos));
        }
        args.push_back(e->literal.toInt64());
      } while (acceptOp(","));
    }
    expectOp(")");
    if (args.empty() || args.size() > 4) {
      throw AnalysisException(
          "[WRONG_NUM_ARGS.WITHOUT_SUGGESTION] The `range` requires [1, 2, 3, 4] parameters but "
          "the actual number is " +
          std::to_string(args.size()) + ". SQLSTATE: 42605; " + lineAndPos(at.pos));
    }
    auto range = std::make_shared<RangePlan>();
    if (args.size() == 1) {
      range->end = args[0];
    } else {
      range->start = args[0];
      range->end = args[1];
      if (args.size() >= 3) range->step = args[2];
      if (args.size() == 4) {
        if (args[3] <= 0 || args[3] > std::numeric_limits<int>::max()) {
          throw AnalysisException(
              "[FAILED_FUNCTION_CALL] Failed preparing of the function `range` for call: the "
              "number of partitions must be positive. SQLSTATE: 38000; " +
              lineAndPos(at.pos));
        }
        range->numPartitions = static_cast<int>(args[3]);
      }
    }
    if (range->step == 0) {
      throw AnalysisException(
          "[FAILED_FUNCTION_CALL] Failed preparing of the function `range` for call: step "
          "cannot be 0. SQLSTATE: 38000; " +
          lineAndPos(at.pos));
    }
    return range;
  }

  std::string lineAndPos(std::size_t pos) const {
    std::size_t line = 1, start = 0;
    for (std::size_t i = 0; i < pos && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        start = i + 1;
      }
    }
    return "line " + std::to_string(line) + " pos " + std::to_string(pos - start);
  }

  const std::string& text_;
  std::vector<Token> toks_;
  std::size_t idx_ = 0;
  int depth_ = 0;
  SparkSession* session_;
  std::vector<std::map<std::string, PlanPtr>> ctes_;
  struct NamedWindowRef {
    std::string name;
    std::shared_ptr<WindowSpecData> spec;
    std::size_t pos;
  };
  std::vector<NamedWindowRef> namedWindowRefs_;  // OVER name references awaiting their WINDOW clause
};

}  // namespace

ExprPtr parseExpression(const std::string& text) { return Parser(text, nullptr).parseStandaloneExpression(); }
ExprPtr parseExpression(const std::string& text, SparkSession* session) {
  return Parser(text, session).parseStandaloneExpression();
}

PlanPtr parseQuery(const std::string& text, SparkSession& session) {
  return Parser(text, &session).parseStandaloneQuery();
}

}  // namespace engine::sql
