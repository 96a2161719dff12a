// Text functions beyond the basics: concat_ws, instr/locate, replace, translate, padding, repeat, reverse,
// left/right, initcap, octet/bit length, startswith/endswith/contains, ILIKE, and the regular-expression
// functions (rlike, regexp_extract, regexp_replace, split). Positions and lengths count Unicode code
// points as Spark does; regular expressions run over code points too, so '.' is one character.
#include <algorithm>
#include <cwctype>
#include <locale.h>
#include <regex>

#include <fmt/format.h>

#include "engine/expr_to_string.h"
#include "engine/local/expr/expr_cast.h"
#include "engine/local/expr/expr_common.h"
#include "engine/local/expr/expr_kernel.h"
#include "engine/local/expr/expr_registry.h"
#include "engine/local/expr/expressions.h"
#include "engine/local/expr/utf8.h"
#include "engine/local/plan/memory_budget.h"

namespace engine::local {

namespace {

// First `k` code points of s (all of it when shorter; none for k <= 0).
std::string_view firstChars(std::string_view s, std::int64_t k) {
  if (k <= 0) return {};
  return s.substr(0, charOffset(s, static_cast<std::size_t>(k)));
}

std::wstring toWide(std::string_view s) {
  std::wstring w;
  w.reserve(s.size());
  std::size_t pos = 0;
  while (pos < s.size()) w.push_back(static_cast<wchar_t>(decodeUtf8(s, pos)));
  return w;
}

void appendUtf8(std::wstring_view w, std::string& out) {
  for (wchar_t c : w) encodeUtf8(static_cast<char32_t>(c), out);
}

// Binds a function of string arguments (and integer ones at `intArgs` positions) computing a string.
template <class F>
ScalarBinder stringFn(std::vector<std::size_t> intArgs, F f) {
  return [intArgs, f](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    for (std::size_t i = 0; i < args.size(); ++i) {
      bool isInt = std::find(intArgs.begin(), intArgs.end(), i) != intArgs.end();
      args[i] = isInt ? intArg(std::move(args[i]), source, i) : stringArg(std::move(args[i]), source, i);
    }
    bool nullable = anyArgNullable(args);
    return makeKernel(name, std::move(args), StringType(), nullable,
                      [f](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
                        return strictString(a, n, [&](std::size_t i, std::string& out) {
                          f(a, i, out);
                          return true;
                        });
                      });
  };
}

std::int32_t intAt(const Arg& a, std::size_t i) { return a.data<std::int32_t>()[a.row(i)]; }

// Spark's lpad/rpad: the text cut to `len` characters, or filled up to it with repeats of `pad`.
void pad(std::string_view s, std::int64_t len, std::string_view p, bool left, std::string& out) {
  checkQueryMemory(static_cast<double>(len), fmt::format("a text padded to {} characters", len));
  std::int64_t chars = static_cast<std::int64_t>(numChars(s));
  std::int64_t spaces = len - chars;
  if (spaces <= 0 || p.empty()) {
    out.assign(firstChars(s, len));
    return;
  }
  std::int64_t padChars = static_cast<std::int64_t>(numChars(p));
  std::string fill;
  for (std::int64_t k = 0; k < spaces / padChars; ++k) fill += p;
  fill += firstChars(p, spaces % padChars);
  if (left) {
    out = fill;
    out += s;
  } else {
    out.assign(s);
    out += fill;
  }
}

// ---- regular expressions ------------------------------------------------------------------------

// A Java-style pattern compiled for code points. A leading (?i) sets case-insensitive matching.
std::shared_ptr<const std::wregex> compileRegex(std::string_view pattern) {
  auto flags = std::regex_constants::ECMAScript;
  std::string_view p = pattern;
  if (p.substr(0, 4) == "(?i)") {
    flags |= std::regex_constants::icase;
    p.remove_prefix(4);
  }
  try {
    return std::make_shared<const std::wregex>(toWide(p), flags);
  } catch (const std::regex_error& e) {
    throw ExecutionException(fmt::format(
        "[INVALID_PARAMETER_VALUE.PATTERN] The value of parameter(s) `regexp` in the regular expression "
        "function is invalid: '{}' ({}).",
        pattern, e.what()));
  }
}

// The pattern of argument `k`: compiled once when it is a constant, else per distinct row value.
class RegexCache {
 public:
  explicit RegexCache(const BoundExprPtr& e) {
    if (e->isConstant()) {
      Value v = e->constantValue();
      if (!v.isNull()) fixed_ = compileRegex(v.str());
    }
  }
  const std::wregex& get(std::string_view pattern, std::shared_ptr<const std::wregex>& cur, std::string& curText) const {
    if (fixed_) return *fixed_;
    if (!cur || pattern != curText) {
      curText.assign(pattern);
      cur = compileRegex(pattern);
    }
    return *cur;
  }

 private:
  std::shared_ptr<const std::wregex> fixed_;
};

// Java's Matcher.appendReplacement: $n and ${n} name groups, a backslash quotes the next character.
void appendJavaReplacement(const std::wsmatch& m, const std::wstring& rep, std::wstring& out) {
  for (std::size_t k = 0; k < rep.size(); ++k) {
    wchar_t c = rep[k];
    if (c == L'\\' && k + 1 < rep.size()) {
      out.push_back(rep[++k]);
    } else if (c == L'$' && k + 1 < rep.size() && std::iswdigit(static_cast<wint_t>(rep[k + 1]))) {
      std::size_t g = static_cast<std::size_t>(rep[++k] - L'0');
      // Take more digits while they still name an existing group.
      while (k + 1 < rep.size() && std::iswdigit(static_cast<wint_t>(rep[k + 1]))) {
        std::size_t next = g * 10 + static_cast<std::size_t>(rep[k + 1] - L'0');
        if (next >= m.size()) break;
        g = next;
        ++k;
      }
      if (g >= m.size())
        throw ExecutionException(fmt::format("[INVALID_PARAMETER_VALUE.REGEX_GROUP_INDEX] No group {}", g));
      if (m[g].matched) out += m[g].str();
    } else {
      out.push_back(c);
    }
  }
}

BoundExprPtr bindRegexpReplace(const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) {
  for (std::size_t i = 0; i < 3; ++i) args[i] = stringArg(std::move(args[i]), source, i);
  if (args.size() == 4) args[3] = intArg(std::move(args[3]), source, 3);
  auto cache = std::make_shared<RegexCache>(args[1]);
  return makeKernel(name, std::move(args), StringType(), true, [cache](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
    std::shared_ptr<const std::wregex> cur;
    std::string curText;
    return strictString(a, n, [&](std::size_t i, std::string& out) {
      const std::wregex& re = cache->get(a[1].str(i), cur, curText);
      std::int64_t position = a.size() == 4 ? intAt(a[3], i) : 1;
      if (position <= 0)
        throw ExecutionException(fmt::format(
            "[INVALID_PARAMETER_VALUE.REGEX_POSITION] The value of parameter(s) `position` in `regexp_replace` is "
            "invalid: expects a positive value, but got {}.", position));
      std::wstring s = toWide(a[0].str(i)), rep = toWide(a[2].str(i)), result;
      std::size_t start = std::min<std::size_t>(static_cast<std::size_t>(position - 1), s.size());
      result.assign(s, 0, start);
      auto begin = s.cbegin() + static_cast<std::ptrdiff_t>(start);
      auto last = begin;
      for (std::wsregex_iterator it(begin, s.cend(), re), end; it != end; ++it) {
        result.append(last, (*it)[0].first);
        appendJavaReplacement(*it, rep, result);
        last = (*it)[0].second;
      }
      result.append(last, s.cend());
      appendUtf8(result, out);
      return true;
    });
  });
}

BoundExprPtr bindRegexpExtract(const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) {
  for (std::size_t i = 0; i < 2; ++i) args[i] = stringArg(std::move(args[i]), source, i);
  if (args.size() == 3) {
    args[2] = intArg(std::move(args[2]), source, 2);
  } else {
    args.push_back(boundLiteral(Value(1), IntegerType()));
  }
  auto cache = std::make_shared<RegexCache>(args[1]);
  return makeKernel(name, std::move(args), StringType(), true, [cache](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
    std::shared_ptr<const std::wregex> cur;
    std::string curText;
    return strictString(a, n, [&](std::size_t i, std::string& out) {
      const std::wregex& re = cache->get(a[1].str(i), cur, curText);
      std::int64_t idx = intAt(a[2], i);
      auto groups = static_cast<std::int64_t>(re.mark_count());
      if (idx < 0 || idx > groups)
        throw ExecutionException(fmt::format(
            "[INVALID_PARAMETER_VALUE.REGEX_GROUP_INDEX] The value of parameter(s) `idx` in `regexp_extract` is "
            "invalid: Expects group index between 0 and {}, but got {}.", groups, idx));
      std::wstring s = toWide(a[0].str(i));
      std::wsmatch m;
      if (std::regex_search(s, m, re) && m[static_cast<std::size_t>(idx)].matched)
        appendUtf8(m[static_cast<std::size_t>(idx)].str(), out);
      return true;
    });
  });
}

BoundExprPtr bindRlike(const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) {
  for (std::size_t i = 0; i < 2; ++i) args[i] = stringArg(std::move(args[i]), source, i);
  auto cache = std::make_shared<RegexCache>(args[1]);
  bool nullable = anyArgNullable(args);
  return makeKernel(name == "rlike" ? "RLIKE" : name, std::move(args), BooleanType(), nullable,
                    [cache](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
                      std::shared_ptr<const std::wregex> cur;
                      std::string curText;
                      return strictFixed<std::uint8_t>(a, n, BooleanType(), [&](std::size_t i, std::uint8_t& o) {
                        const std::wregex& re = cache->get(a[1].str(i), cur, curText);
                        o = std::regex_search(toWide(a[0].str(i)), re);
                        return true;
                      });
                    });
}

// Java's String.split(regex, limit) as Spark calls it (a limit of 0 or less keeps every piece).
BoundExprPtr bindSplit(const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) {
  for (std::size_t i = 0; i < 2; ++i) args[i] = stringArg(std::move(args[i]), source, i);
  if (args.size() == 3) {
    args[2] = intArg(std::move(args[2]), source, 2);
  } else {
    args.push_back(boundLiteral(Value(-1), IntegerType()));
  }
  auto cache = std::make_shared<RegexCache>(args[1]);
  bool nullable = anyArgNullable(args);
  DataType type = ArrayType(StringType(), false);
  return makeKernel(name, std::move(args), type, nullable, [cache, type](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
    auto out = Vector::make(type, n);
    std::vector<const Arg*> ptrs{&a[0], &a[1], &a[2]};
    propagateNulls(*out, ptrs, n);
    std::int64_t* off = out->offsets();
    StringVectorBuilder parts(n);
    std::shared_ptr<const std::wregex> cur;
    std::string curText, piece;
    std::int64_t count = 0;
    off[0] = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (out->isValid(i)) {
        const std::wregex& re = cache->get(a[1].str(i), cur, curText);
        std::int64_t limit = intAt(a[2], i);
        std::wstring s = toWide(a[0].str(i));
        std::vector<std::wstring> pieces;
        std::size_t index = 0;
        for (std::wsregex_iterator it(s.cbegin(), s.cend(), re), end; it != end; ++it) {
          if (limit > 0 && static_cast<std::int64_t>(pieces.size()) >= limit - 1) break;
          auto mStart = static_cast<std::size_t>((*it)[0].first - s.cbegin());
          auto mEnd = static_cast<std::size_t>((*it)[0].second - s.cbegin());
          if (mEnd == 0) continue;  // a zero-width match at the start gives no leading empty piece
          if (mStart == mEnd && mStart >= s.size()) break;
          pieces.push_back(s.substr(index, mStart - index));
          index = mEnd;
        }
        pieces.push_back(s.substr(std::min(index, s.size())));
        for (const auto& p : pieces) {
          piece.clear();
          appendUtf8(p, piece);
          parts.append(piece);
        }
        count += static_cast<std::int64_t>(pieces.size());
      }
      off[i + 1] = count;
    }
    out->setChild(parts.finish());
    return VectorPtr(out);
  });
}

void translate(std::string_view s, std::string_view from, std::string_view to, std::string& out) {
  // The first occurrence of a character in `from` decides; characters past the end of `to` are deleted.
  std::vector<std::pair<char32_t, std::int64_t>> dict;  // code point -> replacement (-1: delete)
  std::vector<char32_t> toChars;
  for (std::size_t p = 0; p < to.size();) toChars.push_back(decodeUtf8(to, p));
  std::size_t k = 0;
  for (std::size_t p = 0; p < from.size(); ++k) {
    char32_t c = decodeUtf8(from, p);
    bool seen = std::any_of(dict.begin(), dict.end(), [c](const auto& e) { return e.first == c; });
    if (!seen) dict.emplace_back(c, k < toChars.size() ? static_cast<std::int64_t>(toChars[k]) : -1);
  }
  for (std::size_t p = 0; p < s.size();) {
    char32_t c = decodeUtf8(s, p);
    auto it = std::find_if(dict.begin(), dict.end(), [c](const auto& e) { return e.first == c; });
    if (it == dict.end()) {
      encodeUtf8(c, out);
    } else if (it->second >= 0) {
      encodeUtf8(static_cast<char32_t>(it->second), out);
    }
  }
}

// initcap: lower-case everything, then title-case the first character and each one after a space (the
// sharp s becomes "Ss", as Java's full case mapping gives).
void initcap(std::string_view s, std::string& out) {
  locale_t loc = utf8Locale();
  bool start = true;
  for (std::size_t p = 0; p < s.size();) {
    char32_t c = decodeUtf8(s, p);
    if (start) {
      // Characters whose title case differs from their upper case (Java's full title-case mapping).
      static const std::pair<char32_t, const char*> kTitle[] = {
          {0xDF, "Ss"},       {0xFB00, "Ff"},     {0xFB01, "Fi"},     {0xFB02, "Fl"},    {0xFB03, "Ffi"},
          {0xFB04, "Ffl"},    {0xFB05, "St"},     {0xFB06, "St"},     {0x1C4, "\u01C5"}, {0x1C5, "\u01C5"},
          {0x1C6, "\u01C5"}, {0x1C7, "\u01C8"}, {0x1C8, "\u01C8"}, {0x1C9, "\u01C8"}, {0x1CA, "\u01CB"},
          {0x1CB, "\u01CB"}, {0x1CC, "\u01CB"}, {0x1F1, "\u01F2"}, {0x1F2, "\u01F2"}, {0x1F3, "\u01F2"}};
      auto it = std::find_if(std::begin(kTitle), std::end(kTitle), [c](const auto& e) { return e.first == c; });
      if (it != std::end(kTitle)) {
        out += it->second;
        start = false;
        continue;
      }
    }
    wint_t w = static_cast<wint_t>(c);
    if (loc) w = start ? towupper_l(towlower_l(w, loc), loc) : towlower_l(w, loc);
    encodeUtf8(static_cast<char32_t>(w), out);
    start = c == U' ';
  }
}

template <class F>
ScalarBinder stringPredicate(F f) {
  return [f](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    for (std::size_t i = 0; i < args.size(); ++i) args[i] = stringArg(std::move(args[i]), source, i);
    bool nullable = anyArgNullable(args);
    return makeKernel(name, std::move(args), BooleanType(), nullable, [f](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      return strictFixed<std::uint8_t>(a, n, BooleanType(), [&](std::size_t i, std::uint8_t& o) {
        o = f(a[0].str(i), a[1].str(i));
        return true;
      });
    });
  };
}

// 1-based character position of `needle` in `s` at or after character `from` (0-based), 0 when absent.
std::int32_t charPosition(std::string_view s, std::string_view needle, std::size_t from) {
  if (needle.empty()) return 1;  // UTF8String.indexOf of an empty string is 0
  std::size_t byteFrom = charOffset(s, from);
  if (from > 0 && byteFrom >= s.size()) return 0;
  std::size_t at = s.find(needle, byteFrom);
  if (at == std::string_view::npos) return 0;
  return static_cast<std::int32_t>(numChars(s.substr(0, at)) + 1);
}

}  // namespace

void registerTextFunctions(ScalarFunctionRegistry& r) {
  r.add("concat_ws", 1, -1, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    for (std::size_t i = 0; i < args.size(); ++i) {
      const DataType& t = args[i]->type();
      if (i > 0 && t.isArray()) {
        if (!t.elementType().isString())
          throwUnexpectedInput(callText(source), i, "(\"ARRAY<STRING>\" or \"STRING\")", argText(source, i, *args[i]), t);
        continue;
      }
      args[i] = stringArg(std::move(args[i]), source, i);
    }
    bool nullable = args[0]->nullable();
    return makeKernel(name, std::move(args), StringType(), nullable, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      StringVectorBuilder b(n);
      std::string buf;
      for (std::size_t i = 0; i < n; ++i) {
        if (!a[0].valid(i)) {
          b.appendNull();
          continue;
        }
        std::string_view sep = a[0].str(i);
        buf.clear();
        bool first = true;
        auto add = [&](std::string_view part) {
          if (!first) buf += sep;
          buf += part;
          first = false;
        };
        for (std::size_t k = 1; k < a.size(); ++k) {
          if (!a[k].valid(i)) continue;  // nulls are skipped
          if (a[k].v().type().isArray()) {
            const Vector& v = a[k].v();
            std::size_t row = a[k].row(i);
            const Vector& child = *v.child();
            for (std::int64_t j = v.offsets()[row]; j < v.offsets()[row + 1]; ++j)
              if (child.isValid(static_cast<std::size_t>(j))) add(child.str(static_cast<std::size_t>(j)));
          } else {
            add(a[k].str(i));
          }
        }
        b.append(buf);
      }
      return VectorPtr(b.finish());
    });
  });
  auto instr = [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    for (std::size_t i = 0; i < 2; ++i) args[i] = stringArg(std::move(args[i]), source, i);
    bool nullable = anyArgNullable(args);
    return makeKernel(name, std::move(args), IntegerType(), nullable, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      return strictFixed<std::int32_t>(a, n, IntegerType(), [&](std::size_t i, std::int32_t& o) {
        o = charPosition(a[0].str(i), a[1].str(i), 0);
        return true;
      });
    });
  };
  r.add("instr", 2, 2, instr);
  // locate(substr, str[, pos]): a null or non-positive position gives 0.
  auto locate = [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    for (std::size_t i = 0; i < 2; ++i) args[i] = stringArg(std::move(args[i]), source, i);
    if (args.size() == 3) {
      args[2] = intArg(std::move(args[2]), source, 2);
    } else {
      args.push_back(boundLiteral(Value(1), IntegerType()));
    }
    return makeKernel(name, std::move(args), IntegerType(), true, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      auto out = Vector::make(IntegerType(), n);
      std::int32_t* o = out->data<std::int32_t>();
      for (std::size_t i = 0; i < n; ++i) {
        if (!a[2].valid(i)) {
          o[i] = 0;
          continue;
        }
        std::int32_t pos = intAt(a[2], i);
        if (!a[0].valid(i) || !a[1].valid(i)) {
          out->setNull(i);
        } else if (pos < 1) {
          o[i] = 0;
        } else {
          o[i] = charPosition(a[1].str(i), a[0].str(i), static_cast<std::size_t>(pos - 1));
        }
      }
      return VectorPtr(out);
    });
  };
  r.add("locate", 2, 3, locate);
  r.add("position", 2, 3, locate);
  r.add("replace", 2, 3, stringFn({}, [](const std::vector<Arg>& a, std::size_t i, std::string& out) {
    std::string_view s = a[0].str(i), from = a[1].str(i), to = a.size() > 2 ? a[2].str(i) : std::string_view();
    if (from.empty()) {
      out.assign(s);
      return;
    }
    std::size_t pos = 0;
    for (std::size_t at; (at = s.find(from, pos)) != std::string_view::npos; pos = at + from.size()) {
      out.append(s.substr(pos, at - pos));
      out.append(to);
    }
    out.append(s.substr(pos));
  }));
  r.add("translate", 3, 3, stringFn({}, [](const std::vector<Arg>& a, std::size_t i, std::string& out) {
    translate(a[0].str(i), a[1].str(i), a[2].str(i), out);
  }));
  auto padFn = [](bool left) {
    return [left](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
      if (args.size() == 2) args.push_back(boundLiteral(Value(" "), StringType()));
      return stringFn({1}, [left](const std::vector<Arg>& a, std::size_t i, std::string& out) {
        pad(a[0].str(i), intAt(a[1], i), a[2].str(i), left, out);
      })(name, std::move(args), source);
    };
  };
  r.add("lpad", 2, 3, padFn(true));
  r.add("rpad", 2, 3, padFn(false));
  r.add("repeat", 2, 2, stringFn({1}, [](const std::vector<Arg>& a, std::size_t i, std::string& out) {
    std::string_view s = a[0].str(i);
    const std::int32_t times = intAt(a[1], i);
    if (times > 0)
      checkQueryMemory(static_cast<double>(s.size()) * times,
                       fmt::format("a text of {} bytes repeated {} times", s.size(), times));
    for (std::int32_t k = times; k > 0; --k) out += s;
  }));
  r.add("reverse", 1, 1, stringFn({}, [](const std::vector<Arg>& a, std::size_t i, std::string& out) {
    std::string_view s = a[0].str(i);
    std::size_t end = s.size();
    while (end > 0) {
      std::size_t k = end - 1;
      while (k > 0 && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80) --k;
      out.append(s.substr(k, end - k));
      end = k;
    }
  }));
  r.add("left", 2, 2, stringFn({1}, [](const std::vector<Arg>& a, std::size_t i, std::string& out) {
    out.assign(firstChars(a[0].str(i), intAt(a[1], i)));
  }));
  r.add("right", 2, 2, stringFn({1}, [](const std::vector<Arg>& a, std::size_t i, std::string& out) {
    std::string_view s = a[0].str(i);
    std::int64_t k = intAt(a[1], i), chars = static_cast<std::int64_t>(numChars(s));
    if (k <= 0) return;
    out.assign(s.substr(charOffset(s, static_cast<std::size_t>(std::max<std::int64_t>(chars - k, 0)))));
  }));
  r.add("initcap", 1, 1, stringFn({}, [](const std::vector<Arg>& a, std::size_t i, std::string& out) {
    initcap(a[0].str(i), out);
  }));
  r.add("space", 1, 1, stringFn({0}, [](const std::vector<Arg>& a, std::size_t i, std::string& out) {
    std::int32_t k = intAt(a[0], i);
    if (k > 0) checkQueryMemory(static_cast<double>(k), fmt::format("a text of {} spaces", k));
    if (k > 0) out.assign(static_cast<std::size_t>(k), ' ');
  }));
  for (int bits : {1, 8}) {
    r.add(bits == 1 ? "octet_length" : "bit_length", 1, 1,
          [bits](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
            args[0] = stringArg(std::move(args[0]), source, 0);
            bool nullable = args[0]->nullable();
            return makeKernel(name, std::move(args), IntegerType(), nullable,
                              [bits](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
                                return strictFixed<std::int32_t>(a, n, IntegerType(), [&](std::size_t i, std::int32_t& o) {
                                  o = static_cast<std::int32_t>(a[0].str(i).size()) * bits;
                                  return true;
                                });
                              });
          });
  }
  r.add("ascii", 1, 1, [](const std::string& name, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    args[0] = stringArg(std::move(args[0]), source, 0);
    bool nullable = args[0]->nullable();
    return makeKernel(name, std::move(args), IntegerType(), nullable, [](const std::vector<Arg>& a, std::size_t n, const EvalContext&) {
      return strictFixed<std::int32_t>(a, n, IntegerType(), [&](std::size_t i, std::int32_t& o) {
        std::string_view s = a[0].str(i);
        std::size_t p = 0;
        o = s.empty() ? 0 : static_cast<std::int32_t>(decodeUtf8(s, p));
        return true;
      });
    });
  });
  r.add("startswith", 2, 2, stringPredicate([](std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }));
  r.add("endswith", 2, 2, stringPredicate([](std::string_view s, std::string_view p) {
    return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
  }));
  r.add("contains", 2, 2, stringPredicate([](std::string_view s, std::string_view p) { return s.find(p) != std::string_view::npos; }));
  // ILIKE is LIKE over both sides lower-cased, as Spark rewrites it.
  r.add("ilike", 2, 3, [](const std::string&, std::vector<BoundExprPtr> args, const Expr& source) -> BoundExprPtr {
    args[0] = bindScalarFunction("lower", {stringArg(std::move(args[0]), source, 0)}, source);
    args[1] = bindScalarFunction("lower", {stringArg(std::move(args[1]), source, 1)}, source);
    return bindScalarFunction("like", std::move(args), source);
  });
  r.add("rlike", 2, 2, bindRlike);
  r.add("regexp", 2, 2, bindRlike);
  r.add("regexp_like", 2, 2, bindRlike);
  r.add("regexp_replace", 3, 4, bindRegexpReplace);
  r.add("regexp_extract", 2, 3, bindRegexpExtract);
  r.add("split", 2, 3, bindSplit);
}

}  // namespace engine::local
