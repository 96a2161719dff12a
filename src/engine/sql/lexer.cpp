#include "engine/sql/lexer.h"

#include <cctype>
#include <cstdint>

#include "engine/errors.h"

namespace engine::sql {

namespace {

bool isIdentChar(unsigned char c) { return std::isalnum(c) || c == '_' || c >= 0x80; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string toUpper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads \uXXXX at s[i] (pointing at the backslash); returns the code unit or -1.
int readUnicodeEscape(const std::string& s, std::size_t i, std::size_t end) {
  if (i + 6 > end || s[i + 1] != 'u') return -1;
  int v = 0;
  for (std::size_t k = i + 2; k < i + 6; ++k) {
    int h = hexValue(s[k]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

// Spark's unescapeSQLString over the body of a quoted literal, s[begin, end).
std::string unescapeString(const std::string& s, std::size_t begin, std::size_t end) {
  std::string out;
  out.reserve(end - begin);
  std::size_t i = begin;
  while (i < end) {
    char c = s[i];
    if (c != '\\' || i + 1 >= end) {
      out += c;
      ++i;
      continue;
    }
    int unit = readUnicodeEscape(s, i, end);
    if (unit >= 0) {
      i += 6;
      std::uint32_t cp = static_cast<std::uint32_t>(unit);
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        int low = i < end && s[i] == '\\' ? readUnicodeEscape(s, i, end) : -1;
        if (low >= 0xDC00 && low <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(low) - 0xDC00);
          i += 6;
        } else {
          cp = 0xFFFD;
        }
      } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
        cp = 0xFFFD;
      }
      appendUtf8(out, cp);
      continue;
    }
    if (i + 3 < end && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' &&
        s[i + 3] <= '7') {
      int v = (s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0');
      appendUtf8(out, static_cast<std::uint32_t>(v));
      i += 4;
      continue;
    }
    char e = s[i + 1];
    switch (e) {
      case '0':
        out += '\0';
        break;
      case 'b':
        out += '\b';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'Z':
        out += '\x1A';
        break;
      case '%':
        out += "\\%";
        break;  // kept escaped: LIKE patterns rely on it
      case '_':
        out += "\\_";
        break;
      default:
        out += e;
        break;
    }
    i += 2;
  }
  return out;
}

std::string quoteNear(const std::string& text, const Token& t) {
  if (t.kind == TokenKind::End) return "end of input";
  return "'" + text.substr(t.pos, t.end - t.pos) + "'";
}

class Lexer {
 public:
  explicit Lexer(const std::string& text) : s_(text) {}

  std::vector<Token> run() {
    std::vector<Token> out;
    const std::size_t n = s_.size();
    std::size_t i = 0;
    while (true) {
      i = skipSpaceAndComments(i);
      if (i >= n) break;
      Token t;
      t.pos = i;
      const char c = s_[i];
      const bool afterName =
          !out.empty() && out.back().end == i &&
          (out.back().kind == TokenKind::Identifier || out.back().kind == TokenKind::QuotedIdentifier ||
           out.back().isOp(")") || out.back().isOp("]"));
      if ((c == 'r' || c == 'R') && i + 1 < n && (s_[i + 1] == '\'' || s_[i + 1] == '"')) {
        // Raw string: no escapes.
        char q = s_[i + 1];
        std::size_t close = s_.find(q, i + 2);
        if (close == std::string::npos) unclosed(i, "string literal");
        t.kind = TokenKind::String;
        t.text = s_.substr(i + 2, close - i - 2);
        i = close + 1;
      } else if (c == '\'' || c == '"') {
        std::size_t j = i + 1;
        while (j < n && s_[j] != c) j += s_[j] == '\\' ? 2 : 1;
        if (j >= n) unclosed(i, "string literal");
        t.kind = TokenKind::String;
        t.text = unescapeString(s_, i + 1, j);
        i = j + 1;
      } else if (c == '`') {
        std::string name;
        std::size_t j = i + 1;
        while (true) {
          if (j >= n) unclosed(i, "quoted identifier");
          if (s_[j] == '`') {
            if (j + 1 < n && s_[j + 1] == '`') {
              name += '`';
              j += 2;
              continue;
            }
            break;
          }
          name += s_[j++];
        }
        t.kind = TokenKind::QuotedIdentifier;
        t.text = std::move(name);
        i = j + 1;
      } else if (isDigit(c) || (c == '.' && i + 1 < n && isDigit(s_[i + 1]) && !afterName)) {
        i = lexNumber(i, t);
      } else if (isIdentChar(static_cast<unsigned char>(c))) {
        std::size_t j = i;
        while (j < n && isIdentChar(static_cast<unsigned char>(s_[j]))) ++j;
        t.kind = TokenKind::Identifier;
        t.text = s_.substr(i, j - i);
        t.upper = toUpper(t.text);
        i = j;
      } else {
        static const char* const kOps[] = {"<=>", "<=", ">=", "<>", "!=", "==", "||", "->", "=>", "::", "(",
                                           ")",   ",",  ".",  "*",  "+",  "-",  "/",  "%",  "~",  "&",  "|",
                                           "^",   "=",  "<",  ">",  "!",  "[",  "]",  ";",  ":"};
        bool found = false;
        for (const char* op : kOps) {
          std::size_t len = std::char_traits<char>::length(op);
          if (s_.compare(i, len, op) == 0) {
            t.kind = TokenKind::Operator;
            t.text = op;
            i += len;
            found = true;
            break;
          }
        }
        if (!found) {
          // One UTF-8 sequence, so the message shows a whole character.
          std::size_t j = i + 1;
          while (j < n && (static_cast<unsigned char>(s_[j]) & 0xC0) == 0x80) ++j;
          t.end = j;
          throwSyntaxError(s_, t);
        }
      }
      t.end = i;
      out.push_back(std::move(t));
    }
    Token end;
    end.kind = TokenKind::End;
    end.pos = end.end = n;
    out.push_back(end);
    return out;
  }

 private:
  std::size_t skipSpaceAndComments(std::size_t i) const {
    const std::size_t n = s_.size();
    while (i < n) {
      unsigned char c = static_cast<unsigned char>(s_[i]);
      if (std::isspace(c)) {
        ++i;
      } else if (c == '-' && i + 1 < n && s_[i + 1] == '-') {
        while (i < n && s_[i] != '\n') ++i;
      } else if (c == '/' && i + 1 < n && s_[i + 1] == '*') {
        // Bracketed comments nest, as in Spark.
        std::size_t start = i;
        int depth = 0;
        while (true) {
          if (i + 1 >= n) {
            throwParseError(s_, start, "UNCLOSED_BRACKETED_COMMENT",
                            "Found an unclosed bracketed comment. Please, append */ at the end of the comment.");
          }
          if (s_[i] == '/' && s_[i + 1] == '*') {
            ++depth;
            i += 2;
          } else if (s_[i] == '*' && s_[i + 1] == '/') {
            i += 2;
            if (--depth == 0) break;
          } else {
            ++i;
          }
        }
      } else {
        break;
      }
    }
    return i;
  }

  std::size_t lexNumber(std::size_t i, Token& t) const {
    const std::size_t n = s_.size();
    std::size_t identEnd = i;
    while (identEnd < n && isIdentChar(static_cast<unsigned char>(s_[identEnd]))) ++identEnd;
    std::size_t j = i;
    while (j < n && isDigit(s_[j])) ++j;
    bool hasDot = false, hasExp = false;
    if (j < n && s_[j] == '.') {
      hasDot = true;
      ++j;
      while (j < n && isDigit(s_[j])) ++j;
    }
    if (j < n && (s_[j] == 'e' || s_[j] == 'E')) {
      std::size_t k = j + 1;
      if (k < n && (s_[k] == '+' || s_[k] == '-')) ++k;
      if (k < n && isDigit(s_[k])) {
        hasExp = true;
        j = k;
        while (j < n && isDigit(s_[j])) ++j;
      }
    }
    const std::size_t numEnd = j;
    TokenKind kind = hasExp ? TokenKind::Exponent : hasDot ? TokenKind::Decimal : TokenKind::Integer;
    auto upperAt = [&](std::size_t k) {
      return k < n ? static_cast<char>(std::toupper(static_cast<unsigned char>(s_[k]))) : '\0';
    };
    if (upperAt(j) == 'B' && upperAt(j + 1) == 'D') {
      kind = TokenKind::BigDecimal;
      j += 2;
    } else if (upperAt(j) == 'D') {
      kind = TokenKind::Double;
      ++j;
    } else if (upperAt(j) == 'F') {
      kind = TokenKind::Float;
      ++j;
    } else if (!hasDot && !hasExp && (upperAt(j) == 'L' || upperAt(j) == 'S' || upperAt(j) == 'Y')) {
      kind = upperAt(j) == 'L' ? TokenKind::BigInt : upperAt(j) == 'S' ? TokenKind::SmallInt : TokenKind::TinyInt;
      ++j;
    }
    const bool runsOn = j < n && isIdentChar(static_cast<unsigned char>(s_[j]));
    if (!hasDot && (runsOn || identEnd > j)) {
      // Digits followed by letters form a name (Spark accepts identifiers such as 1st_col).
      t.kind = TokenKind::Identifier;
      t.text = s_.substr(i, identEnd - i);
      t.upper = toUpper(t.text);
      return identEnd;
    }
    if (runsOn) {
      Token bad;
      bad.pos = i;
      bad.end = identEnd > j ? identEnd : j + 1;
      while (bad.end < n && isIdentChar(static_cast<unsigned char>(s_[bad.end]))) ++bad.end;
      throwSyntaxError(s_, bad, "invalid number");
    }
    t.kind = kind;
    t.text = s_.substr(i, numEnd - i);
    return j;
  }

  [[noreturn]] void unclosed(std::size_t pos, const char* what) const {
    Token t;
    t.pos = pos;
    t.end = pos + 1;
    throwSyntaxError(s_, t, std::string("unclosed ") + what);
  }

  const std::string& s_;
};

}  // namespace

std::vector<Token> tokenize(const std::string& text) { return Lexer(text).run(); }

std::string formatParseError(const std::string& text, std::size_t pos, const std::string& errorClass,
                             const std::string& message, const std::string& sqlState) {
  if (pos > text.size()) pos = text.size();
  std::size_t line = 1, lineStart = 0;
  for (std::size_t i = 0; i < pos; ++i) {
    if (text[i] == '\n') {
      ++line;
      lineStart = i + 1;
    }
  }
  const std::size_t column = pos - lineStart;
  std::string out = "[" + errorClass + "] " + message;
  if (!message.empty() && message.back() != '.') out += '.';
  out += " SQLSTATE: " + sqlState + " (line " + std::to_string(line) + ", pos " + std::to_string(column) +
         ")\n\n== SQL ==\n";
  std::size_t lineEnd = text.find('\n', pos);
  if (lineEnd == std::string::npos) lineEnd = text.size();
  out.append(text, 0, lineEnd);
  out += '\n';
  out.append(column, '-');
  out += "^^^\n";
  if (lineEnd < text.size()) {
    out.append(text, lineEnd + 1, std::string::npos);
    out += '\n';
  }
  return out;
}

void throwParseError(const std::string& text, std::size_t pos, const std::string& errorClass,
                     const std::string& message, const std::string& sqlState) {
  throw ParseException(formatParseError(text, pos, errorClass, message, sqlState), pos, text);
}

void throwSyntaxError(const std::string& text, const Token& near, const std::string& hint) {
  std::string msg = "Syntax error at or near " + quoteNear(text, near);
  if (!hint.empty()) msg += ": " + hint;
  throwParseError(text, near.pos, "PARSE_SYNTAX_ERROR", msg);
}

}  // namespace engine::sql
