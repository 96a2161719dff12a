#include "engine/local/io/csv_tokenizer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <fmt/format.h>

#include "engine/errors.h"

namespace engine::local::csv {

namespace {

inline unsigned char uc(char c) { return static_cast<unsigned char>(c); }
inline bool isLineEnd(char c) { return c == '\n' || c == '\r'; }

enum Terminator { kSep, kLine, kEof };

// Bit i set when byte i of the n <= 16 bytes at p is a, b or c.
inline unsigned matchMaskTail(const char* p, std::size_t n, char a, char b, char c) {
  unsigned m = 0;
  for (std::size_t i = 0; i < n; ++i) m |= static_cast<unsigned>(p[i] == a || p[i] == b || p[i] == c) << i;
  return m;
}

// The same over sixteen bytes, in one compare per character where the target has SSE2.
inline unsigned matchMask16(const char* p, char a, char b, char c) {
#if defined(__SSE2__)
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(a)), _mm_cmpeq_epi8(v, _mm_set1_epi8(b))),
                                    _mm_cmpeq_epi8(v, _mm_set1_epi8(c)));
  return static_cast<unsigned>(_mm_movemask_epi8(hits));
#else
  return matchMaskTail(p, 16, a, b, c);
#endif
}

}  // namespace

const char* findLineEnd(const char* p, const char* end) {
  for (; end - p >= 16; p += 16) {
    if (unsigned m = matchMask16(p, '\n', '\r', '\n')) return p + __builtin_ctz(m);
  }
  while (p < end && !isLineEnd(*p)) ++p;
  return p;
}

MappedFile::MappedFile(const std::string& path) : path_(path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw ExecutionException(fmt::format("Cannot read the CSV file {}: {}", path, std::strerror(errno)));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int err = errno;
    ::close(fd);
    throw ExecutionException(fmt::format("Cannot read the CSV file {}: {}", path,
                                         S_ISDIR(st.st_mode) ? "it is a directory" : std::strerror(err)));
  }
  size_ = static_cast<std::size_t>(st.st_size);
  if (size_ > 0) {
    void* m = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (m == MAP_FAILED) {
      int err = errno;
      ::close(fd);
      throw ExecutionException(fmt::format("Cannot read the CSV file {}: {}", path, std::strerror(err)));
    }
    ::madvise(m, size_, MADV_SEQUENTIAL);
    data_ = static_cast<const char*>(m);
  }
  ::close(fd);
}

void MappedFile::release(std::size_t begin, std::size_t end) const {
  static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  end = std::min(end, size_);
  const std::size_t first = (begin + page - 1) / page * page;
  const std::size_t last = end / page * page;
  if (data_ == nullptr || first >= last) return;
  // Advice only: the pages are clean copies of the file, so dropping them loses nothing.
  ::madvise(const_cast<char*>(data_) + first, last - first, MADV_DONTNEED);
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
}

BoundaryScanner::BoundaryScanner(const Dialect& d) : sep_(d.sep), quote_(d.quote), escape_(d.escape) {
  for (int c = 0; c < 256; ++c) {
    char ch = static_cast<char>(c);
    bool line = isLineEnd(ch);
    bool sep = ch == d.sep;
    bool quote = ch == d.quote;
    bool escape = ch == d.escape && d.escape != d.quote;
    std::uint8_t fieldStart = quote ? kQuoted : sep ? kFieldStart : line ? kRecordStart : kUnquoted;
    next_[kRecordStart][c] = fieldStart;
    next_[kFieldStart][c] = fieldStart;
    next_[kUnquoted][c] = sep ? kFieldStart : line ? kRecordStart : kUnquoted;
    next_[kQuoted][c] = quote ? kAfterQuote : escape ? kEscaped : kQuoted;
    next_[kEscaped][c] = kQuoted;
    // A quote right after a quote is a literal quote: with the escape equal to the quote it closes
    // nothing and the field stays quoted; otherwise the parser keeps waiting for the delimiter.
    next_[kAfterQuote][c] = quote  ? (d.escape == d.quote ? kQuoted : kAfterQuote)
                            : sep  ? kFieldStart
                            : line ? kRecordStart
                                   : kUnquoted;
  }
}

StateMap BoundaryScanner::scan(const char* begin, const char* end) const {
  if (begin < end && quote_ != escape_ &&
      std::memchr(begin, quote_, static_cast<std::size_t>(end - begin)) == nullptr) {
    return scanWithoutQuotes(begin, end);
  }
  // Lanes: distinct current states; laneOf[s] = lane followed by start state s.
  std::uint8_t lanes[kNumStates];
  std::uint8_t laneOf[kNumStates];
  int numLanes = kNumStates;
  for (int s = 0; s < kNumStates; ++s)
    lanes[s] = static_cast<std::uint8_t>(s), laneOf[s] = static_cast<std::uint8_t>(s);
  const char* p = begin;
  std::size_t block = 256;
  while (p < end) {
    const char* stop = p + std::min<std::size_t>(block, static_cast<std::size_t>(end - p));
    if (numLanes == 1) {
      std::uint8_t a = lanes[0];
      for (; p < stop; ++p) a = next_[a][uc(*p)];
      lanes[0] = a;
    } else if (numLanes == 2) {
      std::uint8_t a = lanes[0], b = lanes[1];
      for (; p < stop; ++p) {
        a = next_[a][uc(*p)];
        b = next_[b][uc(*p)];
      }
      lanes[0] = a, lanes[1] = b;
    } else {
      for (; p < stop; ++p) {
        for (int l = 0; l < numLanes; ++l) lanes[l] = next_[lanes[l]][uc(*p)];
      }
    }
    // Merge lanes that reached the same state.
    std::uint8_t remap[kNumStates];
    int merged = 0;
    for (int l = 0; l < numLanes; ++l) {
      int found = -1;
      for (int m = 0; m < merged; ++m) {
        if (lanes[m] == lanes[l]) found = m;
      }
      if (found < 0) {
        lanes[merged] = lanes[l];
        found = merged++;
      }
      remap[l] = static_cast<std::uint8_t>(found);
    }
    for (int s = 0; s < kNumStates; ++s) laneOf[s] = remap[laneOf[s]];
    numLanes = merged;
    block = std::min<std::size_t>(block * 4, 1 << 20);
  }
  StateMap out{};
  for (int s = 0; s < kNumStates; ++s) out[s] = lanes[laneOf[s]];
  return out;
}

// Without a quote in the range the automaton only follows delimiters (outside quotes) or escapes
// (inside quotes), so the end states follow from the range's last bytes.
StateMap BoundaryScanner::scanWithoutQuotes(const char* begin, const char* end) const {
  StateMap out{};
  // Outside quotes: the state after the last separator or line end, if any.
  const char* p = end;
  while (p > begin && p[-1] != sep_ && !isLineEnd(p[-1])) --p;
  std::uint8_t afterDelimiter = kUnquoted;
  if (p > begin) afterDelimiter = p == end ? (p[-1] == sep_ ? kFieldStart : kRecordStart) : kUnquoted;
  bool anyDelimiter = p > begin;
  for (std::uint8_t s : {kRecordStart, kFieldStart, kUnquoted, kAfterQuote}) {
    out[s] = anyDelimiter ? afterDelimiter : static_cast<std::uint8_t>(kUnquoted);
  }
  // Inside quotes: only escapes matter; the trailing run of escapes decides.
  const char* q = end;
  while (q > begin && q[-1] == escape_) --q;
  std::size_t run = static_cast<std::size_t>(end - q);
  if (q > begin) {
    out[kQuoted] = out[kEscaped] = (run % 2) ? kEscaped : kQuoted;
  } else {
    out[kQuoted] = (run % 2) ? kEscaped : kQuoted;
    out[kEscaped] = ((run - 1) % 2) ? kEscaped : kQuoted;
  }
  return out;
}

const char* BoundaryScanner::skipToRecordStart(const char* p, const char* end, std::uint8_t state) const {
  while (p < end && state != kRecordStart) state = next_[state][uc(*p++)];
  return state == kRecordStart ? p : end;
}

RecordParser::RecordParser(const Dialect& d) : d_(d) {
  for (int c = 0; c < 256; ++c) {
    char ch = static_cast<char>(c);
    stop_[c] = ch == d.sep || isLineEnd(ch);
    quotedStop_[c] = ch == d.quote || ch == d.escape || (d.crlf && ch == '\r');
  }
}

const char* RecordParser::skipBlankLines(const char* p, const char* end) const {
  while (p < end) {
    if (isLineEnd(*p)) {
      ++p;
      continue;
    }
    if (d_.multiLine) break;
    // Spark's line reader drops lines that are empty after trimming.
    const char* q = p;
    while (q < end && uc(*q) <= ' ' && !isLineEnd(*q)) ++q;
    if (q == end) return end;
    if (!isLineEnd(*q)) break;
    p = q + 1;
  }
  return p;
}

const char* RecordParser::parse(const char* p, const char* end, Record& rec) const {
  rec.count = 0;
  rec.scratch.clear();
  rec.scratchFields.clear();
  rec.begin = p;
  for (;;) {
    int term;
    if (p < end && *p == d_.quote) {
      p = parseQuoted(p + 1, end, rec, term);
    } else {
      const char* s = p;
      while (p < end && !stop_[uc(*p)]) ++p;
      rec.add(std::string_view(s, static_cast<std::size_t>(p - s)), false);
      if (p == end) {
        term = kEof;
      } else {
        term = *p == d_.sep ? kSep : kLine;
        ++p;
      }
    }
    if (term != kSep) break;
  }
  rec.end = p;
  for (const auto& [index, offset] : rec.scratchFields) {
    rec.fields[index] = std::string_view(rec.scratch.data() + offset, rec.fields[index].size());
  }
  return p;
}

const char* RecordParser::parseLine(const char* p, const char* end, Record& rec) const {
  const char* const line = p;
  const char sep = d_.sep;
  const char quote = d_.quote;
  // A quoted field anywhere in the line: the whole line goes through the record parser.
  auto general = [&] {
    const char* le = findLineEnd(line, end);
    parse(line, le, rec);
    return le;
  };
  if (p < end && *p == quote) return general();
  rec.count = 0;
  rec.scratch.clear();
  rec.scratchFields.clear();
  rec.begin = line;
  const char* field = p;
  for (;;) {
    const char* block = p;
    unsigned m;
    if (end - p >= 16) {
      m = matchMask16(p, sep, '\n', '\r');
      p += 16;
    } else if (p < end) {
      m = matchMaskTail(p, static_cast<std::size_t>(end - p), sep, '\n', '\r');
      p = end;
    } else {
      rec.add(std::string_view(field, static_cast<std::size_t>(end - field)), false);
      rec.end = end;
      return end;
    }
    for (; m != 0; m &= m - 1) {
      const char* at = block + __builtin_ctz(m);
      rec.add(std::string_view(field, static_cast<std::size_t>(at - field)), false);
      if (*at != sep) {
        rec.end = at;
        return at;
      }
      field = at + 1;
      if (field < end && *field == quote) return general();
    }
  }
}

const char* RecordParser::parseQuoted(const char* p, const char* end, Record& rec, int& term) const {
  const char q = d_.quote;
  const char sep = d_.sep;
  // Common case: no escapes, the closing quote followed by a delimiter; the field is a view.
  const char* s = p;
  while (p < end && !quotedStop_[uc(*p)]) ++p;
  if (p < end && *p == q) {
    const char* after = p + 1;
    if (after == end || *after == sep || isLineEnd(*after)) {
      rec.add(std::string_view(s, static_cast<std::size_t>(p - s)), true);
      if (after == end) {
        term = kEof;
        return end;
      }
      term = *after == sep ? kSep : kLine;
      return after + 1;
    }
  }
  std::string& out = rec.scratch;
  const std::size_t off = out.size();
  out.append(s, static_cast<std::size_t>(p - s));
  term = kEof;
  while (p < end) {
    char c = *p++;
    if (c == q) {
      // After a quote: more quotes are literal; a delimiter ends the field; whitespace before a
      // delimiter is dropped; anything else makes the field raw text up to the next delimiter.
      bool reopened = false;
      while (p < end) {
        c = *p;
        if (c == q) {
          out.push_back(q);
          ++p;
          if (d_.escape == q) {
            reopened = true;
            break;
          }
          continue;
        }
        if (c == sep) {
          term = kSep;
          ++p;
          break;
        }
        if (isLineEnd(c)) {
          term = kLine;
          ++p;
          break;
        }
        const char* w = p;
        while (p < end && uc(*p) <= ' ' && !isLineEnd(*p) && *p != sep) ++p;
        if (p == end) break;
        if (p > w && (*p == sep || isLineEnd(*p))) {
          term = *p == sep ? kSep : kLine;
          ++p;
          break;
        }
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(off), q);
        out.push_back(q);
        const char* r = w;
        while (p < end && !stop_[uc(*p)]) ++p;
        out.append(r, static_cast<std::size_t>(p - r));
        if (p < end) {
          term = *p == sep ? kSep : kLine;
          ++p;
        }
        break;
      }
      if (reopened) continue;
      rec.scratchFields.emplace_back(rec.count, off);
      rec.add(std::string_view(out.data() + off, out.size() - off), true);
      return p;
    }
    if (c == d_.escape) {
      if (p < end && (*p == q || *p == d_.escape)) {
        out.push_back(*p++);
      } else {
        out.push_back(c);
      }
      continue;
    }
    if (c == '\r' && d_.crlf && p < end && *p == '\n') {
      out.push_back('\n');
      ++p;
      continue;
    }
    out.push_back(c);
    const char* r = p;
    while (p < end && !quotedStop_[uc(*p)]) ++p;
    out.append(r, static_cast<std::size_t>(p - r));
  }
  // End of input inside quotes: the field holds what was read.
  rec.scratchFields.emplace_back(rec.count, off);
  rec.add(std::string_view(out.data() + off, out.size() - off), true);
  return p;
}

std::size_t bomLength(const char* data, std::size_t size) {
  return size >= 3 && uc(data[0]) == 0xEF && uc(data[1]) == 0xBB && uc(data[2]) == 0xBF ? 3 : 0;
}

bool detectCrlf(const char* data, std::size_t size) {
  std::size_t n = std::min<std::size_t>(size, 64 * 1024);
  const void* nl = n ? std::memchr(data, '\n', n) : nullptr;
  if (nl == nullptr) return false;
  const char* p = static_cast<const char*>(nl);
  return p > data && p[-1] == '\r';
}

}  // namespace engine::local::csv
