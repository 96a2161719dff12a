// UTF-8 helpers of the text functions: character counts and offsets in code points (as Spark counts them),
// decoding and encoding one code point, and the locale for case mapping beyond ASCII.
#pragma once

#include <algorithm>
#include <cstddef>
#include <locale.h>
#include <string>
#include <string_view>

namespace engine::local {

// Bytes of the code point that starts with `lead` (a stray continuation byte steps over alone).
inline std::size_t utf8Len(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead >> 5) == 0x6) return 2;
  if ((lead >> 4) == 0xE) return 3;
  if ((lead >> 3) == 0x1E) return 4;
  return 1;
}

inline std::size_t numChars(std::string_view s) {
  std::size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// Byte offset of code point `k` (clamped to the end).
inline std::size_t charOffset(std::string_view s, std::size_t k) {
  std::size_t pos = 0;
  while (k > 0 && pos < s.size()) {
    pos += utf8Len(static_cast<unsigned char>(s[pos]));
    --k;
  }
  return std::min(pos, s.size());
}

// The code point at `pos`, advancing `pos` past it; a truncated or invalid sequence yields its first byte.
inline char32_t decodeUtf8(std::string_view s, std::size_t& pos) {
  auto b0 = static_cast<unsigned char>(s[pos]);
  std::size_t len = utf8Len(b0);
  if (len == 1 || pos + len > s.size()) {
    ++pos;
    return b0;
  }
  char32_t cp = b0 & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[pos + k]) & 0x3F);
  pos += len;
  return cp;
}

inline void encodeUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// C.UTF-8, for towupper/towlower beyond ASCII independent of the process's locale.
inline locale_t utf8Locale() {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return loc;
}

}  // namespace engine::local
