// String functions over UTF-8 columns: LIKE, concat, upper/lower, length, trim, substring. Character
// positions and lengths count Unicode code points, as Spark does.
#include <algorithm>
#include <cwctype>
#include <locale.h>

#include <fmt/format.h>

#include "engine/expr_to_string.h"
#include "engine/local/expr/expr_cast.h"
#include "engine/local/expr/expr_common.h"
#include "engine/local/expr/expr_registry.h"
#include "engine/local/expr/expressions.h"
#include "engine/local/expr/utf8.h"

namespace engine::local {

namespace {

// A unary string -> string function applied per row.
template <class F>
VectorPtr mapStrings(const Arg& a, std::size_t n, F f) {
  StringVectorBuilder b(n, a.scalar ? 0 : a.v().chars().size());
  std::string buf;
  for (std::size_t i = 0; i < n; ++i) {
    if (!a.valid(i)) {
      b.appendNull();
      continue;
    }
    f(a.str(i), buf);
    b.append(buf);
  }
  return b.finish();
}

// ---- case mapping ------------------------------------------------------------------------------

void changeCase(std::string_view s, bool upper, std::string& out) {
  out.clear();
  out.reserve(s.size());
  locale_t loc = utf8Locale();
  std::size_t pos = 0;
  while (pos < s.size()) {
    auto c = static_cast<unsigned char>(s[pos]);
    if (c < 0x80) {
      out.push_back(upper ? (c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : static_cast<char>(c))
                          : (c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : static_cast<char>(c)));
      ++pos;
      continue;
    }
    std::size_t start = pos;
    char32_t cp = decodeUtf8(s, pos);
    if (upper && cp == 0xDF) {  // Java upper-cases the sharp s to "SS"
      out += "SS";
      continue;
    }
    if (!loc) {
      out.append(s.substr(start, pos - start));
      continue;
    }
    auto mapped = upper ? towupper_l(static_cast<wint_t>(cp), loc) : towlower_l(static_cast<wint_t>(cp), loc);
    encodeUtf8(static_cast<char32_t>(mapped), out);
  }
}

// ---- LIKE --------------------------------------------------------------------------------------

struct LikePattern {
  enum class Kind { Exact, Prefix, Suffix, Contains, General };
  Kind kind = Kind::General;
  std::string literal;  // for the simple kinds
  // General: tokens over bytes; kOne = '_' (one code point), kMany = '%'.
  static constexpr int kOne = 256, kMany = 257;
  std::vector<int> tokens;

  bool matches(std::string_view s) const {
    switch (kind) {
      case Kind::Exact: return s == literal;
      case Kind::Prefix: return s.size() >= literal.size() && s.compare(0, literal.size(), literal) == 0;
      case Kind::Suffix:
        return s.size() >= literal.size() && s.compare(s.size() - literal.size(), literal.size(), literal) == 0;
      case Kind::Contains: return s.find(literal) != std::string_view::npos;
      case Kind::General: break;
    }
    const std::size_t np = tokens.size();
    std::size_t si = 0, pi = 0, starP = SIZE_MAX, starS = 0;
    while (si < s.size()) {
      if (pi < np && tokens[pi] < 256 && tokens[pi] == static_cast<unsigned char>(s[si])) {
        ++pi;
        ++si;
      } else if (pi < np && tokens[pi] == kOne) {
        si += utf8Len(static_cast<unsigned char>(s[si]));
        ++pi;
      } else if (pi < np && tokens[pi] == kMany) {
        starP = pi++;
        starS = si;
      } else if (starP != SIZE_MAX) {
        pi = starP + 1;
        starS += utf8Len(static_cast<unsigned char>(s[starS]));
        si = starS;
      } else {
        return false;
      }
    }
    while (pi < np && tokens[pi] == kMany) ++pi;
    return pi == np && si <= s.size();
  }
};

// Compiles a LIKE pattern; returns an error text for a misplaced escape character.
std::optional<std::string> compileLike(std::string_view p, char escape, LikePattern& out) {
  out.tokens.clear();
  for (std::size_t i = 0; i < p.size(); ++i) {
    char c = p[i];
    if (c == escape) {
      if (i + 1 >= p.size()) return std::string("it is not allowed to end with the escape character");
      char next = p[++i];
      if (next != '_' && next != '%' && next != escape)
        return fmt::format("the escape character is not allowed to precede '{}'", next);
      out.tokens.push_back(static_cast<unsigned char>(next));
    } else if (c == '_') {
      out.tokens.push_back(LikePattern::kOne);
    } else if (c == '%') {
      out.tokens.push_back(LikePattern::kMany);
    } else {
      out.tokens.push_back(static_cast<unsigned char>(c));
    }
  }
  // Recognise the simple shapes: lit, lit%, %lit, %lit%.
  const auto& t = out.tokens;
  std::size_t b = 0, e = t.size();
  bool lead = b < e && t[b] == LikePattern::kMany, trail = e > b + (lead ? 1 : 0) && t[e - 1] == LikePattern::kMany;
  if (lead) ++b;
  if (trail) --e;
  bool simple = std::none_of(t.begin() + static_cast<std::ptrdiff_t>(b), t.begin() + static_cast<std::ptrdiff_t>(e),
                             [](int x) { return x >= 256; });
  if (simple) {
    out.literal.clear();
    for (std::size_t k = b; k < e; ++k) out.literal.push_back(static_cast<char>(t[k]));
    out.kind = lead && trail ? LikePattern::Kind::Contains
               : lead        ? LikePattern::Kind::Suffix
               : trail       ? LikePattern::Kind::Prefix
                             : LikePattern::Kind::Exact;
  } else {
    out.kind = LikePattern::Kind::General;
  }
  return std::nullopt;
}

class LikeExpr final : public FunctionExpr {
 public:
  LikeExpr(BoundExprPtr str, BoundExprPtr pattern, char escape)
      : FunctionExpr("LIKE", {str, pattern}, BooleanType(), str->nullable() || pattern->nullable()), escape_(escape) {
    if (args_[1]->isConstant()) {
      Value p = args_[1]->constantValue();
      if (p.isNull()) {
        constantNull_ = true;
      } else if (auto err = compileLike(p.str(), escape_, compiled_)) {
        throw AnalysisException(
            fmt::format("[INVALID_FORMAT.ESC_IN_THE_MIDDLE] The format is invalid: '{}'. {}.", p.str(), *err));
      }
      constantPattern_ = true;
    }
  }

  std::string toString() const override {
    std::string s = fmt::format("{} LIKE {}", args_[0]->toString(), args_[1]->toString());
    if (escape_ != '\\') s += fmt::format(" ESCAPE '{}'", escape_);
    return s;
  }

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    Arg s = evalArg(*args_[0], input, ctx);
    auto out = Vector::make(BooleanType(), n);
    std::uint8_t* o = out->data<std::uint8_t>();
    if (constantPattern_) {
      if (constantNull_ || !propagateNulls(*out, {&s}, n)) {
        out->validity().setAllNull(n);
        return out;
      }
      for (std::size_t i = 0; i < n; ++i)
        if (s.valid(i)) o[i] = compiled_.matches(s.str(i));
      return out;
    }
    Arg p = evalArg(*args_[1], input, ctx);
    if (!propagateNulls(*out, {&s, &p}, n)) return out;
    LikePattern pat;
    std::string_view last;
    bool have = false;
    for (std::size_t i = 0; i < n; ++i) {
      if (!s.valid(i) || !p.valid(i)) continue;
      std::string_view ps = p.str(i);
      if (!have || ps != last) {
        if (auto err = compileLike(ps, escape_, pat))
          throw ExecutionException(
              fmt::format("[INVALID_FORMAT.ESC_IN_THE_MIDDLE] The format is invalid: '{}'. {}.", ps, *err));
        last = ps;
        have = true;
      }
      o[i] = pat.matches(s.str(i));
    }
    return out;
  }

 private:
  char escape_;
  bool constantPattern_ = false;
  bool constantNull_ = false;
  LikePattern compiled_;
};

// ---- other string functions ----------------------------------------------------------------------

enum class StrFn { Upper, Lower, Trim, LTrim, RTrim };

class StringMapExpr final : public FunctionExpr {
 public:
  StringMapExpr(std::string name, StrFn fn, std::vector<BoundExprPtr> args, bool nullable)
      : FunctionExpr(std::move(name), std::move(args), StringType(), nullable), fn_(fn) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    Arg a = evalArg(*args_[0], input, ctx);
    switch (fn_) {
      case StrFn::Upper:
      case StrFn::Lower: {
        const bool upper = fn_ == StrFn::Upper;
        return mapStrings(a, n, [upper](std::string_view s, std::string& out) { changeCase(s, upper, out); });
      }
      case StrFn::Trim:
      case StrFn::LTrim:
      case StrFn::RTrim:
        return trim(a, input, ctx);
    }
    return nullptr;
  }

 private:
  VectorPtr trim(const Arg& a, const Batch& input, const EvalContext& ctx) const {
    const std::size_t n = input.rows;
    const bool left = fn_ != StrFn::RTrim, right = fn_ != StrFn::LTrim;
    if (args_.size() == 1) {
      return mapStrings(a, n, [left, right](std::string_view s, std::string& out) {
        while (left && !s.empty() && s.front() == ' ') s.remove_prefix(1);
        while (right && !s.empty() && s.back() == ' ') s.remove_suffix(1);
        out.assign(s);
      });
    }
    // Two arguments: strip any of the code points of the second string.
    Arg chars = evalArg(*args_[1], input, ctx);
    StringVectorBuilder b(n);
    for (std::size_t i = 0; i < n; ++i) {
      if (!a.valid(i) || !chars.valid(i)) {
        b.appendNull();
        continue;
      }
      std::string_view s = a.str(i), set = chars.str(i);
      auto inSet = [&](std::string_view cp) { return set.find(cp) != std::string_view::npos; };
      std::size_t start = 0, end = s.size();
      while (left && start < end) {
        std::size_t len = utf8Len(static_cast<unsigned char>(s[start]));
        if (!inSet(s.substr(start, len))) break;
        start += len;
      }
      while (right && end > start) {
        std::size_t k = end - 1;
        while (k > start && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80) --k;
        if (!inSet(s.substr(k, end - k))) break;
        end = k;
      }
      b.append(s.substr(start, end - start));
    }
    return b.finish();
  }

  StrFn fn_;
};

class LengthExpr final : public FunctionExpr {
 public:
  LengthExpr(std::string name, BoundExprPtr s) : FunctionExpr(std::move(name), {s}, IntegerType(), s->nullable()) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    Arg a = evalArg(*args_[0], input, ctx);
    auto out = Vector::make(IntegerType(), n);
    if (!propagateNulls(*out, {&a}, n)) return out;
    std::int32_t* o = out->data<std::int32_t>();
    for (std::size_t i = 0; i < n; ++i) o[i] = static_cast<std::int32_t>(numChars(a.str(i)));
    return out;
  }
};

class SubstringExpr final : public FunctionExpr {
 public:
  SubstringExpr(std::string name, std::vector<BoundExprPtr> args)
      : FunctionExpr(std::move(name), std::move(args), StringType(), true) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    std::vector<Arg> a = evalArgs(args_, input, ctx);
    StringVectorBuilder b(n);
    const std::int32_t* pos = a[1].data<std::int32_t>();
    const std::int32_t* len = a.size() > 2 ? a[2].data<std::int32_t>() : nullptr;
    for (std::size_t i = 0; i < n; ++i) {
      if (!a[0].valid(i) || !a[1].valid(i) || (len && !a[2].valid(i))) {
        b.appendNull();
        continue;
      }
      std::string_view s = a[0].str(i);
      std::int64_t p = pos[a[1].row(i)];
      std::int64_t l = len ? len[a[2].row(i)] : std::numeric_limits<std::int32_t>::max();
      // UTF8String.substringSQL: 1-based, 0 means 1, negative counts from the end.
      std::int64_t chars = static_cast<std::int64_t>(numChars(s));
      std::int64_t start = p > 0 ? p - 1 : (p < 0 ? chars + p : 0);
      std::int64_t end = std::clamp<std::int64_t>(start + l, std::numeric_limits<std::int32_t>::min(),
                                                  std::numeric_limits<std::int32_t>::max());
      start = std::max<std::int64_t>(start, 0);
      if (start >= end) {
        b.append("");
        continue;
      }
      std::size_t from = charOffset(s, static_cast<std::size_t>(start));
      std::size_t to = end >= chars ? s.size() : charOffset(s, static_cast<std::size_t>(end));
      b.append(s.substr(from, to - from));
    }
    return b.finish();
  }
};

class ConcatExpr final : public FunctionExpr {
 public:
  ConcatExpr(std::vector<BoundExprPtr> args, bool nullable)
      : FunctionExpr("concat", std::move(args), StringType(), nullable) {}

 protected:
  VectorPtr evalRows(const Batch& input, const EvalContext& ctx) const override {
    const std::size_t n = input.rows;
    std::vector<Arg> a = evalArgs(args_, input, ctx);
    std::size_t bytes = 0;
    for (const auto& x : a) bytes += x.scalar ? x.v().chars().size() * n : x.v().chars().size();
    StringVectorBuilder b(n, bytes);
    std::string buf;
    for (std::size_t i = 0; i < n; ++i) {
      bool null = false;
      buf.clear();
      for (const auto& x : a) {
        if (!x.valid(i)) {
          null = true;
          break;
        }
        buf += x.str(i);
      }
      if (null) {
        b.appendNull();
      } else {
        b.append(buf);
      }
    }
    return b.finish();
  }
};

bool anyNullable(const std::vector<BoundExprPtr>& a) {
  return std::any_of(a.begin(), a.end(), [](const auto& e) { return e->nullable(); });
}

ScalarBinder stringMap(StrFn fn) {
  return [fn](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    for (std::size_t i = 0; i < args.size(); ++i) args[i] = stringArg(std::move(args[i]), source, i);
    // SQL's trim/ltrim/rtrim(trimStr, str) take the characters first; btrim(str, trimStr) does not.
    if (args.size() == 2 && name != "btrim") std::swap(args[0], args[1]);
    bool nullable = anyNullable(args);
    return std::make_shared<StringMapExpr>(name, fn, std::move(args), nullable);
  };
}

}  // namespace

void registerStringFunctions(ScalarFunctionRegistry& r) {
  r.add("like", 2, 3, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    char escape = '\\';
    if (args.size() == 3) {
      const Value* e = literalValue(*args[2]);
      if (!e || !e->is<std::string>() || e->str().size() != 1)
        throwTypeMismatch("INVALID_ESCAPE_CHAR", callText(source), "the escape character must be a one-character string literal.");
      escape = e->str()[0];
    }
    BoundExprPtr s = stringArg(std::move(args[0]), source, 0);
    BoundExprPtr p = stringArg(std::move(args[1]), source, 1);
    return std::make_shared<LikeExpr>(std::move(s), std::move(p), escape);
  });
  r.add("upper", 1, 1, stringMap(StrFn::Upper));
  r.add("ucase", 1, 1, stringMap(StrFn::Upper));
  r.add("lower", 1, 1, stringMap(StrFn::Lower));
  r.add("lcase", 1, 1, stringMap(StrFn::Lower));
  r.add("trim", 1, 2, stringMap(StrFn::Trim));
  r.add("btrim", 1, 2, stringMap(StrFn::Trim));
  r.add("ltrim", 1, 2, stringMap(StrFn::LTrim));
  r.add("rtrim", 1, 2, stringMap(StrFn::RTrim));
  auto length = [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    return std::make_shared<LengthExpr>(name, stringArg(std::move(args[0]), source, 0));
  };
  r.add("length", 1, 1, length);
  r.add("char_length", 1, 1, length);
  r.add("character_length", 1, 1, length);
  r.add("len", 1, 1, length);
  auto substring = [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    args[0] = stringArg(std::move(args[0]), source, 0);
    for (std::size_t i = 1; i < args.size(); ++i) args[i] = intArg(std::move(args[i]), source, i);
    return std::make_shared<SubstringExpr>(name, std::move(args));
  };
  r.add("substring", 2, 3, substring);
  r.add("substr", 2, 3, substring);
  r.add("concat", 0, -1, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    for (std::size_t i = 0; i < args.size(); ++i) args[i] = stringArg(std::move(args[i]), source, i);
    bool nullable = anyNullable(args);
    return std::make_shared<ConcatExpr>(std::move(args), nullable);
  });
}

}  // namespace engine::local
