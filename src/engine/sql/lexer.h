// Tokens of Spark SQL text, and the error text the parser reports (Spark's message layout, with the
// offending line marked by a caret).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace engine::sql {

enum class TokenKind {
  Identifier,        // plain word: keywords too (see Token::upper)
  QuotedIdentifier,  // `...`, text unescaped
  String,            // '...' or "...", text unescaped
  Integer,           // 123
  BigInt,            // 123L
  SmallInt,          // 123S
  TinyInt,           // 123Y
  Decimal,           // 1.5, .5, 1.
  Exponent,          // 1e3, 1.5E-2
  Double,            // 1D, 1.5e3D
  Float,             // 1F
  BigDecimal,        // 1BD, 1.5BD
  Operator,          // ( ) , . * + - / % ~ & | ^ || = == != <> < <= > >= <=> ! [ ] ; :
  End,
};

struct Token {
  TokenKind kind = TokenKind::End;
  std::string text;     // unescaped value for strings/quoted identifiers; number text without its suffix
  std::string upper;    // upper-cased text of plain identifiers, for keyword tests
  std::size_t pos = 0;  // offset of the first character in the SQL text
  std::size_t end = 0;  // offset one past the last character

  bool isKeyword(const char* kw) const { return kind == TokenKind::Identifier && upper == kw; }
  bool isOp(const char* op) const { return kind == TokenKind::Operator && text == op; }
  bool isNumber() const { return kind >= TokenKind::Integer && kind <= TokenKind::BigDecimal; }
};

// Splits the text into tokens (comments and whitespace dropped), ending with an End token.
// Throws ParseException for an unterminated string, backquote or comment, or an unknown character.
std::vector<Token> tokenize(const std::string& text);

// Spark's parse error layout:
//   [CLASS] message. SQLSTATE: xxxxx (line L, pos P)
//
//   == SQL ==
//   <text lines up to the error line>
//   ----^^^
//   <remaining lines>
std::string formatParseError(const std::string& text, std::size_t pos, const std::string& errorClass,
                             const std::string& message, const std::string& sqlState);

// Throws ParseException with the layout above.
[[noreturn]] void throwParseError(const std::string& text, std::size_t pos, const std::string& errorClass,
                                  const std::string& message, const std::string& sqlState = "42601");

// "[PARSE_SYNTAX_ERROR] Syntax error at or near '<token>'<: hint>" at the token's position.
[[noreturn]] void throwSyntaxError(const std::string& text, const Token& near, const std::string& hint = {});

}  // namespace engine::sql
