// Splitting CSV text into records and fields the way Spark's parser (univocity, as Spark configures it)
// does, and finding record boundaries inside arbitrary byte ranges so that one file can be parsed by
// several threads.
//
// Field rules (separator ',', quote '"', escape '\' by default):
//  - A field is quoted only when its first byte is the quote; leading whitespace makes it unquoted and
//    quotes inside unquoted fields are plain text.
//  - Inside quotes: escape+quote gives a quote, escape+escape an escape, escape+other keeps both; a
//    quote followed by a quote gives a quote; line ends are data ("\r\n" becomes "\n" in files whose
//    lines end with "\r\n").
//  - After the closing quote, whitespace up to the separator or line end is dropped. Anything else
//    there (an "unescaped quote") turns the field into its raw text up to the next separator or line
//    end, opening and closing quotes included.
//  - Records end at "\n", "\r" or "\r\n" outside quotes; empty lines are skipped (and lines of only
//    whitespace too when multiLine is off, as Spark's line-based reader does).
//
// Parallel boundaries: a byte range is scanned with a small automaton whose states are the parser's
// positions that matter for record ends (record start, field start, unquoted, quoted, after an escape,
// after a quote). Each chunk is scanned once from every start state at the same time (the lanes merge
// quickly, usually leaving "outside quotes" and "inside quotes"), giving the chunk's end state as a
// function of its start state. Composing those functions from the file start resolves each chunk's
// true start state sequentially in O(chunks); a chunk then skips to its first record start and parses
// the records that start inside it, finishing the last one past its end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace engine::local::csv {

// A file mapped read-only into memory (nothing mapped for an empty file).
class MappedFile {
 public:
  // Throws ExecutionException naming the path when it cannot be opened or mapped.
  explicit MappedFile(const std::string& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  const std::string& path() const { return path_; }
  // Drops the whole pages inside [begin, end) from the process's resident memory. The mapping stays valid:
  // a later read of those bytes loads them from the file again.
  void release(std::size_t begin, std::size_t end) const;

 private:
  std::string path_;
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

struct Dialect {
  char sep = ',';
  char quote = '"';
  char escape = '\\';
  bool multiLine = true;
  bool crlf = false;  // the file's lines end with "\r\n": such line ends inside quotes read as "\n"
};

enum ScanState : std::uint8_t { kRecordStart, kFieldStart, kUnquoted, kQuoted, kEscaped, kAfterQuote, kNumStates };

using StateMap = std::array<std::uint8_t, kNumStates>;  // end state per start state

// The transition table of the boundary automaton for one dialect.
class BoundaryScanner {
 public:
  explicit BoundaryScanner(const Dialect& d);
  // End state of [begin, end) for every start state.
  StateMap scan(const char* begin, const char* end) const;
  // From `state` at `p`, the first position where a record starts (just after a line end), or `end`.
  const char* skipToRecordStart(const char* p, const char* end, std::uint8_t state) const;

 private:
  StateMap scanWithoutQuotes(const char* begin, const char* end) const;
  char sep_, quote_, escape_;
  std::uint8_t next_[kNumStates][256];
};

// One parsed record: its fields (views into the file or into the record's scratch buffer, valid until
// the next parse) and whether each was quoted. The vectors may be longer than size().
struct Record {
  std::size_t size() const { return count; }

  std::vector<std::string_view> fields;
  std::vector<std::uint8_t> quoted;
  std::size_t count = 0;
  const char* begin = nullptr;  // raw text of the record, for error messages
  const char* end = nullptr;

  // Decoded quoted fields live in `scratch`; their views are fixed up once the record is complete
  // (the buffer may move while it grows).
  std::string scratch;
  std::vector<std::pair<std::size_t, std::size_t>> scratchFields;  // (field index, offset)

  void add(std::string_view v, bool q) {
    if (count == fields.size()) {
      fields.resize(count * 2 + 8);
      quoted.resize(count * 2 + 8);
    }
    fields[count] = v;
    quoted[count] = q;
    ++count;
  }
};

class RecordParser {
 public:
  explicit RecordParser(const Dialect& d);
  // Skips empty lines (and whitespace-only lines when multiLine is off) from p.
  const char* skipBlankLines(const char* p, const char* end) const;
  // Parses the record starting at p (p < end, not at a blank line); returns the position after it.
  const char* parse(const char* p, const char* end, Record& rec) const;
  // Line mode (multiLine off): parses the line starting at p, the record of [p, line end), as parse(p, line
  // end) would, and returns the line end: the first '\n' or '\r' from p, or `end`. Lines without a quoted
  // field are split at their separators sixteen bytes at a time.
  const char* parseLine(const char* p, const char* end, Record& rec) const;

 private:
  const char* parseQuoted(const char* p, const char* end, Record& rec, int& term) const;
  Dialect d_;
  bool stop_[256];        // ends an unquoted field: separator or line end
  bool quotedStop_[256];  // needs attention inside quotes: quote, escape, '\r' in CRLF files
};

// Offset just past a UTF-8 byte order mark at the start of the text (0 when there is none).
std::size_t bomLength(const char* data, std::size_t size);
// Whether the text's first line ends with "\r\n" (looked for in the first 64 KiB).
bool detectCrlf(const char* data, std::size_t size);
// The first '\n' or '\r' in [p, end), or `end`.
const char* findLineEnd(const char* p, const char* end);

}  // namespace engine::local::csv
