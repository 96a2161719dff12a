#include "engine/local/io/csv_reader.h"

#include <glob.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include <fmt/format.h>
#include <tbb/task_arena.h>

#include "engine/errors.h"
#include "engine/local/io/csv_datetime_pattern.h"
#include "engine/local/io/csv_scan.h"
#include "engine/local/io/csv_tokenizer.h"
#include "engine/local/io/csv_values.h"
#include "engine/local/io/file_splits.h"
#include "engine/local/expr/expr_datetime.h"

namespace engine::local {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool hasGlobChars(const std::string& p) { return p.find_first_of("*?[") != std::string::npos; }

bool visibleName(const std::string& name) { return !name.empty() && name[0] != '_' && name[0] != '.'; }

void addPath(const fs::path& p, std::vector<std::string>& out) {
  std::error_code ec;
  if (fs::is_directory(p, ec)) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(p, ec)) {
      std::string name = entry.path().filename().string();
      if (!visibleName(name)) continue;
      std::error_code ec2;
      if (entry.is_regular_file(ec2)) names.push_back(entry.path().string());
    }
    std::sort(names.begin(), names.end());
    out.insert(out.end(), names.begin(), names.end());
  } else {
    out.push_back(p.string());
  }
}

}  // namespace

std::vector<std::string> resolveCsvFiles(const std::string& path) {
  std::string p = path;
  if (p.rfind("file://", 0) == 0) {
    p = p.substr(7);
  } else if (p.rfind("file:", 0) == 0) {
    p = p.substr(5);
  }
  if (p.empty()) throw IllegalArgumentException("Can not create a Path from an empty string");
  fs::path abs = fs::absolute(fs::path(p)).lexically_normal();
  std::vector<std::string> out;
  std::error_code ec;
  if (fs::exists(abs, ec)) {
    addPath(abs, out);
    return out;
  }
  if (hasGlobChars(p)) {
    glob_t g{};
    if (::glob(abs.c_str(), 0, nullptr, &g) == 0) {
      std::vector<std::string> matches;
      for (std::size_t i = 0; i < g.gl_pathc; ++i) {
        fs::path m(g.gl_pathv[i]);
        if (visibleName(m.filename().string())) matches.push_back(m.string());
      }
      ::globfree(&g);
      std::sort(matches.begin(), matches.end());
      for (const auto& m : matches) addPath(m, out);
      if (!matches.empty()) return out;
    } else {
      ::globfree(&g);
    }
  }
  throw AnalysisException(fmt::format("[PATH_NOT_FOUND] Path does not exist: file:{}.", abs.string()));
}

namespace csv {

namespace {

enum class Mode { Permissive, DropMalformed, FailFast };

Mode parseMode(const std::string& m) {
  std::string l = lower(m);
  if (l == "dropmalformed") return Mode::DropMalformed;
  if (l == "failfast") return Mode::FailFast;
  return Mode::Permissive;  // Spark falls back to PERMISSIVE for unknown modes
}

void validateOptions(const CsvOptions& o) {
  auto bad = [](char c) { return c == '\n' || c == '\r'; };
  if (bad(o.sep) || bad(o.quote))
    throw IllegalArgumentException("The CSV separator and quote character cannot be a line break.");
  if (o.sep == o.quote)
    throw IllegalArgumentException(fmt::format("The CSV separator and quote character cannot both be '{}'.", o.sep));
  std::string enc = lower(o.encoding);
  if (!enc.empty() && enc != "utf-8" && enc != "utf8" && enc != "us-ascii" && enc != "ascii")
    throw AnalysisException(fmt::format("The CSV encoding '{}' is not supported: files must be UTF-8.", o.encoding));
}

// The dateFormat / timestampFormat options compiled, and the inference rules they imply.
struct Formats {
  std::optional<DateTimePattern> date;
  std::optional<DateTimePattern> timestamp;
  InferRules rules;

  explicit Formats(const CsvOptions& o) {
    if (!o.dateFormat.empty()) date = DateTimePattern::compile(o.dateFormat);
    if (!o.timestampFormat.empty()) timestamp = DateTimePattern::compile(o.timestampFormat);
    rules.date = date ? &*date : nullptr;
    rules.timestamp = timestamp ? &*timestamp : nullptr;
    static const std::set<std::string> kLenient = {"yyyy-MM-dd", "yyyy-M-d", "yyyy-M-dd", "yyyy-MM-d",
                                                   "yyyy-MM",    "yyyy-M",   "yyyy"};
    rules.dateWidensToTimestamp = !timestamp && (o.dateFormat.empty() || kLenient.count(o.dateFormat) > 0);
  }
  Formats(const Formats&) = delete;
};

// One file of a scan: its mapping, dialect and where data records start (after a BOM and, with
// header=true, after the header record).
struct FileScan {
  std::unique_ptr<MappedFile> file;
  Dialect dialect;
  std::size_t dataStart = 0;
};

// A byte range of one file parsed by one task. With multiLine the range owns the records that start inside
// [begin, end) (its start state resolved by the boundary automaton); without it, records are lines and the
// range owns the lines starting in (begin, end], or [begin, end] when `ownsBegin`, which is how Hadoop's
// line reader assigns lines to file splits.
struct Chunk {
  std::size_t file = 0;
  std::size_t begin = 0;
  std::size_t end = 0;
  std::uint8_t startState = kRecordStart;
  bool ownsBegin = false;
  std::size_t partition = 0;  // the logical partition the chunk's rows belong to
};

struct ScanPlan {
  std::vector<FileScan> files;
  std::vector<Chunk> chunks;
  std::size_t partitions = 0;             // logical partitions (reads only)
  std::vector<std::string> headerFields;  // first record of the first non-empty file
  bool sawRecord = false;
  std::vector<std::uint8_t> headerQuoted;
};

Dialect dialectFor(const CsvOptions& o) {
  Dialect d;
  d.sep = o.sep;
  d.quote = o.quote;
  d.escape = o.escape;
  d.multiLine = o.multiLine;
  return d;
}

std::size_t autoChunkBytes(std::size_t fileBytes, std::size_t threads) {
  std::size_t per = (fileBytes + threads - 1) / std::max<std::size_t>(threads, 1);
  return std::clamp(per, 8 * kMiB, 64 * kMiB);
}

// The position just past the line end at `le` ("\n", "\r" or "\r\n"), or `end`.
inline const char* pastLineEnd(const char* le, const char* end) {
  if (le >= end) return end;
  if (*le == '\r' && le + 1 < end && le[1] == '\n') return le + 2;
  return le + 1;
}

// Maps the files and reads the first record of the first non-empty file (the header or the column count).
ScanPlan mapFiles(const std::vector<std::string>& paths, const CsvOptions& options) {
  ScanPlan plan;
  plan.files.resize(paths.size());
  Record rec;
  for (std::size_t f = 0; f < paths.size(); ++f) {
    FileScan& fsn = plan.files[f];
    fsn.file = std::make_unique<MappedFile>(paths[f]);
    const char* data = fsn.file->data();
    std::size_t size = fsn.file->size();
    fsn.dialect = dialectFor(options);
    fsn.dialect.crlf = detectCrlf(data, size);
    std::size_t pos = bomLength(data, size);
    if (!plan.sawRecord || options.header) {
      RecordParser parser(fsn.dialect);
      const char* p = parser.skipBlankLines(data + pos, data + size);
      if (p < data + size) {
        // The header is the first record, also in line mode a quoted newline ends it there.
        const char* lineEnd = fsn.dialect.multiLine ? data + size : findLineEnd(p, data + size);
        const char* after = parser.parse(p, lineEnd, rec);
        if (!fsn.dialect.multiLine) after = pastLineEnd(lineEnd, data + size);
        if (!plan.sawRecord) {
          plan.sawRecord = true;
          plan.headerFields.assign(rec.fields.begin(), rec.fields.begin() + static_cast<std::ptrdiff_t>(rec.size()));
          plan.headerQuoted.assign(rec.quoted.begin(), rec.quoted.begin() + static_cast<std::ptrdiff_t>(rec.size()));
        }
        if (options.header) pos = static_cast<std::size_t>(after - data);
      } else {
        pos = size;
      }
    }
    fsn.dataStart = pos;
  }
  return plan;
}

// Appends the chunks of [begin, end) of a file, cut every `step` bytes. `fileStart` is whether the range starts
// a split at the file's first byte (its first line is owned).
void addChunks(ScanPlan& plan, std::size_t f, std::size_t begin, std::size_t end, bool fileStart, std::size_t step,
               std::size_t partition) {
  const FileScan& fsn = plan.files[f];
  bool owns = fileStart;
  if (begin < fsn.dataStart || (begin == fsn.dataStart && owns)) {
    // Everything before the data (byte order mark, header) is skipped; a range holding the line end before
    // the data (or starting the file) owns the first data line.
    if (end < fsn.dataStart) return;
    owns = true;
    begin = fsn.dataStart;
  }
  if (begin >= fsn.file->size()) return;
  step = std::max<std::size_t>(step, 1);
  for (std::size_t b = begin; b < end || (b == begin && owns); b += step) {
    plan.chunks.push_back({f, b, std::min(end, b + step), kRecordStart, owns && b == begin, partition});
  }
}

// Resolves the start state of every multiLine chunk: each chunk's end state as a function of its start state,
// scanned in parallel, then composed in order per file. A file's first chunk starts at a record start.
void resolveStartStates(ScanPlan& plan) {
  std::vector<StateMap> maps(plan.chunks.size());
  std::vector<std::unique_ptr<BoundaryScanner>> scanners(plan.files.size());
  for (std::size_t f = 0; f < plan.files.size(); ++f)
    scanners[f] = std::make_unique<BoundaryScanner>(plan.files[f].dialect);
  parallelFor(plan.chunks.size(), [&](std::size_t i) {
    const Chunk& c = plan.chunks[i];
    bool hasSuccessor = i + 1 < plan.chunks.size() && plan.chunks[i + 1].file == c.file;
    if (!hasSuccessor) return;
    const char* data = plan.files[c.file].file->data();
    maps[i] = scanners[c.file]->scan(data + c.begin, data + c.end);
  });
  for (std::size_t i = 0; i < plan.chunks.size(); ++i) {
    if (i == 0 || plan.chunks[i - 1].file != plan.chunks[i].file) {
      plan.chunks[i].startState = kRecordStart;
    } else {
      plan.chunks[i].startState = maps[i - 1][plan.chunks[i - 1].startState];
    }
  }
}

// The plan for inferring a schema: every file cut into chunks for the threads (partitions do not matter).
ScanPlan planScan(const std::vector<std::string>& paths, const CsvOptions& options, const ScanTuning& tuning,
                  std::size_t threads) {
  ScanPlan plan = mapFiles(paths, options);
  for (std::size_t f = 0; f < plan.files.size(); ++f) {
    const FileScan& fsn = plan.files[f];
    std::size_t size = fsn.file->size();
    if (fsn.dataStart >= size) continue;
    std::size_t step = tuning.chunkBytes > 0 ? tuning.chunkBytes : autoChunkBytes(size - fsn.dataStart, threads);
    addChunks(plan, f, fsn.dataStart, size, true, step, 0);
  }
  if (options.multiLine) resolveStartStates(plan);
  return plan;
}

// The plan for reading: Spark's partitions of the files, each split cut into chunks so that all threads
// parse, also inside one partition.
ScanPlan planRead(const std::vector<std::string>& paths, const CsvOptions& options, const ScanTuning& tuning,
                  const ExecContext& ctx, std::size_t threads) {
  ScanPlan plan = mapFiles(paths, options);
  std::vector<std::size_t> sizes;
  std::size_t total = 0;
  for (const auto& fsn : plan.files) {
    sizes.push_back(fsn.file->size());
    total += fsn.file->size();
  }
  auto parts = sparkFilePartitions(sizes, !options.multiLine, ctx.files, ctx.parallelism);
  std::size_t step = tuning.chunkBytes > 0 ? tuning.chunkBytes
                                           : std::max<std::size_t>(kMiB, (total + 2 * threads - 1) / (2 * threads));
  if (options.multiLine) {
    // A file is one split; its chunks must follow each other for the boundary automaton.
    for (std::size_t p = 0; p < parts.size(); ++p)
      for (const Split& sp : parts[p]) addChunks(plan, sp.file, 0, sp.length, true, step, p);
    resolveStartStates(plan);
  } else {
    for (std::size_t p = 0; p < parts.size(); ++p)
      for (const Split& sp : parts[p]) addChunks(plan, sp.file, sp.start, sp.start + sp.length, sp.start == 0, step, p);
  }
  plan.partitions = parts.size();
  return plan;
}

// Calls onRecord(record) for every record the chunk owns.
template <class F>
void forEachRecordOf(const ScanPlan& plan, const Chunk& c, F&& onRecord);

// The same, then hands the chunk's pages of the mapping back: a parsed chunk's bytes are not needed again, and
// otherwise the whole file stays resident beside its parsed columns until the read ends.
template <class F>
void forEachRecord(const ScanPlan& plan, const Chunk& c, F&& onRecord) {
  forEachRecordOf(plan, c, std::forward<F>(onRecord));
  plan.files[c.file].file->release(c.begin, c.end);
}

template <class F>
void forEachRecordOf(const ScanPlan& plan, const Chunk& c, F&& onRecord) {
  const FileScan& fsn = plan.files[c.file];
  const char* data = fsn.file->data();
  const char* fileEnd = data + fsn.file->size();
  const char* chunkEnd = data + c.end;
  const char* p = data + c.begin;
  RecordParser parser(fsn.dialect);
  Record rec;
  if (!fsn.dialect.multiLine) {
    // Lines: the first one starting after `begin` (at it when owned), up to the one starting at `end`.
    if (!c.ownsBegin) {
      // A line starts after "\n", or after a "\r" that no "\n" follows.
      while (p < fileEnd && !(*p == '\n' || (*p == '\r' && (p + 1 == fileEnd || p[1] != '\n')))) ++p;
      if (p < fileEnd) ++p;
    }
    while (p <= chunkEnd && p < fileEnd) {
      const char* le = parser.parseLine(p, fileEnd, rec);
      // Spark's line reader drops lines that are empty after trimming.
      const char* q = p;
      while (q < le && static_cast<unsigned char>(*q) <= ' ') ++q;
      if (q < le) onRecord(rec);
      p = pastLineEnd(le, fileEnd);
    }
    return;
  }
  if (c.startState != kRecordStart) {
    BoundaryScanner scanner(fsn.dialect);
    p = scanner.skipToRecordStart(p, fileEnd, c.startState);
  }
  while (p < chunkEnd) {
    p = parser.skipBlankLines(p, fileEnd);
    if (p >= chunkEnd) break;
    p = parser.parse(p, fileEnd, rec);
    onRecord(rec);
  }
}

bool isNullField(std::string_view f, bool quoted, const std::string& nullValue) {
  return (!quoted && f.empty()) || f == nullValue;
}

std::vector<std::string> headerNames(const ScanPlan& plan, const CsvOptions& options) {
  const auto& row = plan.headerFields;
  std::vector<std::string> names(row.size());
  if (!options.header) {
    for (std::size_t i = 0; i < row.size(); ++i) names[i] = fmt::format("_c{}", i);
    return names;
  }
  // Spark's makeSafeHeader: empty or null names become _c<i>; names repeated (case-insensitively) get
  // their position appended.
  std::vector<bool> missing(row.size());
  std::map<std::string, int> counts;
  for (std::size_t i = 0; i < row.size(); ++i) {
    missing[i] = isNullField(row[i], plan.headerQuoted[i], options.nullValue) || row[i].empty();
    if (!(!plan.headerQuoted[i] && row[i].empty())) ++counts[lower(row[i])];
  }
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (missing[i]) {
      names[i] = fmt::format("_c{}", i);
    } else if (counts[lower(row[i])] > 1) {
      names[i] = fmt::format("{}{}", row[i], i);
    } else {
      names[i] = row[i];
    }
  }
  return names;
}

// What one chunk says about a column: the type inferred from its values alone, and whether all its
// values are dates (yyyy-MM-dd) / timestamps, which decides the result when an earlier chunk left the
// column a date or a timestamp (Spark infers sequentially: "2024" after a date is a timestamp).
struct ColumnGuess {
  DataType type;
  bool allDates = true;
  bool allTimestamps = true;
};

// Whether a value leaves the column's type unchanged, without building types: the common case.
bool stillFits(TypeId id, std::string_view f, const InferRules& rules) {
  switch (id) {
    case TypeId::String:
      return true;
    case TypeId::Integer: {
      std::int32_t v;
      return parseJavaInt(f, v);
    }
    case TypeId::Long: {
      std::int64_t v;
      return parseJavaLong(f, v);
    }
    case TypeId::Double: {
      double v;
      return parseJavaDouble(f, v) || f == "NaN" || f == "Inf" || f == "-Inf";
    }
    case TypeId::Boolean: {
      bool v;
      return parseJavaBoolean(f, v);
    }
    case TypeId::Date:
      return rules.isDate(f);
    case TypeId::Timestamp:
      return rules.isTimestamp(f);
    default:
      return false;
  }
}

}  // namespace

StructType inferSchema(const std::vector<std::string>& files, const CsvOptions& options, const ScanTuning& tuning) {
  validateOptions(options);
  if (files.empty()) {
    throw AnalysisException("[UNABLE_TO_INFER_SCHEMA] Unable to infer schema for CSV. It must be specified manually.");
  }
  Formats formats(options);
  const InferRules& rules = formats.rules;
  std::size_t threads = static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
  ScanPlan plan = planScan(files, options, tuning, threads);
  std::vector<std::string> names = headerNames(plan, options);
  const std::size_t ncols = names.size();
  std::vector<DataType> types(ncols, StringType());
  if (options.inferSchema && ncols > 0) {
    std::vector<std::vector<ColumnGuess>> guesses(plan.chunks.size());
    parallelFor(plan.chunks.size(), [&](std::size_t ci) {
      std::vector<ColumnGuess> g(ncols);
      const bool needFlags = ci > 0;
      forEachRecord(plan, plan.chunks[ci], [&](const Record& rec) {
        std::size_t n = std::min(ncols, rec.size());
        for (std::size_t c = 0; c < n; ++c) {
          std::string_view f = rec.fields[c];
          if (f.empty() || f == options.nullValue) continue;
          ColumnGuess& cg = g[c];
          // Each test of a value as a date or a timestamp is made once, whether the column's type or the
          // flags ask for it.
          int date = -1, timestamp = -1;
          auto isDate = [&] { return date >= 0 ? date == 1 : (date = rules.isDate(f)) == 1; };
          auto isTimestamp = [&] { return timestamp >= 0 ? timestamp == 1 : (timestamp = rules.isTimestamp(f)) == 1; };
          const TypeId id = cg.type.id();
          const bool fits = id == TypeId::Date        ? isDate()
                            : id == TypeId::Timestamp ? isTimestamp()
                                                      : stillFits(id, f, rules);
          if (!fits) cg.type = inferField(cg.type, f, rules);
          if (needFlags) {
            if (cg.allDates && !isDate()) cg.allDates = false;
            if (cg.allTimestamps && !isTimestamp()) cg.allTimestamps = false;
          }
        }
      });
      guesses[ci] = std::move(g);
    });
    std::vector<DataType> state(ncols);
    for (const auto& g : guesses) {
      for (std::size_t c = 0; c < ncols; ++c) {
        const ColumnGuess& cg = g[c];
        if (cg.type.isNull()) continue;  // no values in this chunk
        if (state[c].id() == TypeId::Date) {
          state[c] = cg.allDates                                       ? DateType()
                     : cg.allTimestamps && rules.dateWidensToTimestamp ? TimestampType()
                                                                       : StringType();
        } else if (state[c].id() == TypeId::Timestamp) {
          state[c] = cg.allTimestamps ? TimestampType() : StringType();
        } else {
          state[c] = mergeInferred(state[c], cg.type, rules);
        }
      }
    }
    for (std::size_t c = 0; c < ncols; ++c) types[c] = state[c].isNull() ? StringType() : state[c];
  }
  StructType schema;
  for (std::size_t c = 0; c < ncols; ++c) schema.add(names[c], types[c], true);
  return schema;
}

namespace {

// Builds one column of one partition directly in typed storage.
class ColumnBuilder {
 public:
  explicit ColumnBuilder(DataType type) : type_(std::move(type)), id_(type_.id()) {
    if (id_ == TypeId::String) offsets_.push_back(0);
  }

  TypeId id() const { return id_; }
  const DataType& type() const { return type_; }

  void appendString(std::string_view s) {
    chars_.insert(chars_.end(), s.begin(), s.end());
    offsets_.push_back(static_cast<std::int64_t>(chars_.size()));
  }

  // Appends a null row (a zero value in the data slot).
  void appendNull(std::size_t row) {
    switch (id_) {
      case TypeId::Boolean:
        u8_.push_back(0);
        break;
      case TypeId::Byte:
        i8_.push_back(0);
        break;
      case TypeId::Short:
        i16_.push_back(0);
        break;
      case TypeId::Integer:
      case TypeId::Date:
        i32_.push_back(0);
        break;
      case TypeId::Long:
      case TypeId::Timestamp:
        i64_.push_back(0);
        break;
      case TypeId::Float:
        f32_.push_back(0);
        break;
      case TypeId::Double:
        f64_.push_back(0);
        break;
      case TypeId::Decimal:
        i128_.push_back(0);
        break;
      case TypeId::String:
        offsets_.push_back(offsets_.back());
        break;
      default:
        break;
    }
    setNull(row);
  }

  void setNull(std::size_t row) {
    std::size_t w = row >> 6;
    if (validity_.size() <= w) validity_.resize(w + 1, ~std::uint64_t{0});
    validity_[w] &= ~(std::uint64_t{1} << (row & 63));
    anyNull_ = true;
  }

  // Drops rows from `rows` on (a malformed record under DROPMALFORMED).
  void truncate(std::size_t rows) {
    switch (id_) {
      case TypeId::Boolean:
        u8_.resize(rows);
        break;
      case TypeId::Byte:
        i8_.resize(rows);
        break;
      case TypeId::Short:
        i16_.resize(rows);
        break;
      case TypeId::Integer:
      case TypeId::Date:
        i32_.resize(rows);
        break;
      case TypeId::Long:
      case TypeId::Timestamp:
        i64_.resize(rows);
        break;
      case TypeId::Float:
        f32_.resize(rows);
        break;
      case TypeId::Double:
        f64_.resize(rows);
        break;
      case TypeId::Decimal:
        i128_.resize(rows);
        break;
      case TypeId::String:
        offsets_.resize(rows + 1);
        chars_.resize(static_cast<std::size_t>(offsets_.back()));
        break;
      default:
        break;
    }
    std::size_t w = rows >> 6;
    if (w < validity_.size()) {
      validity_[w] |= ~std::uint64_t{0} << (rows & 63);
      validity_.resize(w + 1);
    }
  }

  VectorPtr finish(std::size_t n) {
    MutableVectorPtr v = Vector::make(type_, n);
    auto copy = [&](const auto& src) {
      if (n) std::memcpy(v->rawData().data(), src.data(), n * sizeof(src[0]));
    };
    switch (id_) {
      case TypeId::Boolean:
        copy(u8_);
        break;
      case TypeId::Byte:
        copy(i8_);
        break;
      case TypeId::Short:
        copy(i16_);
        break;
      case TypeId::Integer:
      case TypeId::Date:
        copy(i32_);
        break;
      case TypeId::Long:
      case TypeId::Timestamp:
        copy(i64_);
        break;
      case TypeId::Float:
        copy(f32_);
        break;
      case TypeId::Double:
        copy(f64_);
        break;
      case TypeId::Decimal:
        copy(i128_);
        break;
      case TypeId::String:
        v->offsetStorage().swap(offsets_);
        v->chars().swap(chars_);
        break;
      default:
        break;
    }
    if (anyNull_) {
      validity_.resize(Validity::wordsFor(n), ~std::uint64_t{0});
      if (n % 64 && !validity_.empty()) validity_.back() &= (std::uint64_t{1} << (n % 64)) - 1;
      v->validity().storage().swap(validity_);
      v->validity().compact(n);
    }
    return v;
  }

 private:
  DataType type_;
  TypeId id_;
  std::vector<std::uint8_t> u8_;
  std::vector<std::int8_t> i8_;
  std::vector<std::int16_t> i16_;
  std::vector<std::int32_t> i32_;
  std::vector<std::int64_t> i64_;
  std::vector<float> f32_;
  std::vector<double> f64_;
  std::vector<int128_t> i128_;
  std::vector<std::int64_t> offsets_;
  std::vector<char> chars_;
  std::vector<std::uint64_t> validity_;
  bool anyNull_ = false;

  friend class RowConverter;
};

// Converts the fields of one record into the columns; returns false when a value did not parse.
class RowConverter {
 public:
  RowConverter(const CsvOptions& options, const Formats& formats, ZoneRules zone)
      : nullValue_(options.nullValue), formats_(formats), zone_(zone) {}

  bool append(ColumnBuilder& b, std::size_t row, std::string_view f, bool quoted) const {
    if (isNullField(f, quoted, nullValue_)) {
      b.appendNull(row);
      return true;
    }
    bool ok = true;
    switch (b.id_) {
      case TypeId::String:
        b.appendString(f);
        return true;
      case TypeId::Integer: {
        std::int32_t v = 0;
        ok = parseJavaInt(f, v);
        b.i32_.push_back(v);
        break;
      }
      case TypeId::Long: {
        std::int64_t v = 0;
        ok = parseJavaLong(f, v);
        b.i64_.push_back(v);
        break;
      }
      case TypeId::Double: {
        double v = 0;
        if (f == "NaN") {
          v = std::numeric_limits<double>::quiet_NaN();
        } else if (f == "Inf") {
          v = std::numeric_limits<double>::infinity();
        } else if (f == "-Inf") {
          v = -std::numeric_limits<double>::infinity();
        } else {
          ok = parseJavaDouble(f, v);
        }
        b.f64_.push_back(ok ? v : 0.0);
        break;
      }
      case TypeId::Float: {
        float v = 0;
        if (f == "NaN") {
          v = std::numeric_limits<float>::quiet_NaN();
        } else if (f == "Inf") {
          v = std::numeric_limits<float>::infinity();
        } else if (f == "-Inf") {
          v = -std::numeric_limits<float>::infinity();
        } else {
          ok = parseJavaFloat(f, v);
        }
        b.f32_.push_back(ok ? v : 0.0f);
        break;
      }
      case TypeId::Decimal: {
        int128_t v = 0;
        ok = parseJavaDecimal(f, b.type_.precision(), b.type_.scale(), v);
        b.i128_.push_back(ok ? v : 0);
        break;
      }
      case TypeId::Boolean: {
        bool v = false;
        ok = parseJavaBoolean(f, v);
        b.u8_.push_back(v ? 1 : 0);
        break;
      }
      case TypeId::Byte:
      case TypeId::Short: {
        std::int32_t v = 0;
        ok = parseJavaInt(f, v);
        if (b.id_ == TypeId::Byte) {
          ok = ok && v >= -128 && v <= 127;
          b.i8_.push_back(static_cast<std::int8_t>(ok ? v : 0));
        } else {
          ok = ok && v >= -32768 && v <= 32767;
          b.i16_.push_back(static_cast<std::int16_t>(ok ? v : 0));
        }
        break;
      }
      case TypeId::Date: {
        auto v = formats_.date ? formats_.date->parseDate(f) : parseDate(f);
        ok = v.has_value();
        b.i32_.push_back(v.value_or(0));
        break;
      }
      case TypeId::Timestamp: {
        auto v = formats_.timestamp ? formats_.timestamp->parseTimestamp(f, zone_) : parseTimestamp(f, zone_);
        ok = v.has_value();
        b.i64_.push_back(v.value_or(0));
        break;
      }
      default:
        // A type CSV cannot hold (arrays, void): null, like a value that does not parse.
        b.appendNull(row);
        return false;
    }
    if (!ok) b.setNull(row);
    return ok;
  }

 private:
  std::string nullValue_;
  const Formats& formats_;
  ZoneRules zone_;
};

// Concatenates the chunks of one partition column by column; columns the query does not read stay empty.
Batch concatPieces(const Partitions& pieces, const std::vector<DataType>& types, const std::vector<bool>& wanted) {
  std::size_t rows = 0;
  for (const auto& b : pieces) rows += b.rows;
  std::vector<VectorPtr> cols(types.size());
  for (std::size_t c = 0; c < types.size(); ++c) {
    if (!wanted[c]) continue;
    std::vector<const Vector*> parts;
    for (const auto& b : pieces) parts.push_back(b.columns[c].get());
    cols[c] = concat(parts, types[c]);
  }
  return Batch(std::move(cols), rows);
}

std::string recordText(const Record& rec) {
  std::string_view raw(rec.begin, static_cast<std::size_t>(rec.end - rec.begin));
  while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) raw.remove_suffix(1);
  if (raw.size() > 200) return std::string(raw.substr(0, 200)) + "...";
  return std::string(raw);
}

}  // namespace

Partitions read(const std::vector<std::string>& files, const CsvOptions& options, const StructType& schema,
                const ExecContext& ctx, const ScanTuning& tuning) {
  validateOptions(options);
  const Mode mode = parseMode(options.mode);
  // The session zone only matters for timestamp columns (and only they can reject an unsupported zone).
  bool anyTimestamp = std::any_of(schema.fields().begin(), schema.fields().end(),
                                  [](const StructField& f) { return f.dataType.id() == TypeId::Timestamp; });
  const ZoneRules zone = anyTimestamp ? ZoneRules::session(ctx.eval.timeZone) : ZoneRules();
  std::size_t threads = static_cast<std::size_t>(std::max(1, ctx.parallelism));
  ScanPlan plan = planRead(files, options, tuning, ctx, threads);
  const std::size_t ncols = schema.size();
  std::vector<bool> wanted = tuning.columns;
  if (wanted.size() != ncols) wanted.assign(ncols, true);
  std::vector<Batch> batches(plan.chunks.size());
  Formats formats(options);
  RowConverter converter(options, formats, zone);
  parallelFor(plan.chunks.size(), [&](std::size_t ci) {
    std::vector<ColumnBuilder> cols;
    cols.reserve(ncols);
    for (const auto& f : schema.fields()) cols.emplace_back(f.dataType);
    std::size_t rows = 0;
    forEachRecord(plan, plan.chunks[ci], [&](const Record& rec) {
      const std::size_t nf = rec.size();
      bool wellFormed = nf == ncols;
      for (std::size_t c = 0; c < ncols; ++c) {
        if (!wanted[c]) continue;
        if (c < nf) {
          wellFormed &= converter.append(cols[c], rows, rec.fields[c], rec.quoted[c]);
        } else {
          cols[c].appendNull(rows);
        }
      }
      if (!wellFormed && mode != Mode::Permissive) {
        if (mode == Mode::FailFast) {
          // The line the record starts on, counted only now that it is needed.
          const auto& file = *plan.files[plan.chunks[ci].file].file;
          const bool inFile = rec.begin >= file.data() && rec.begin <= file.data() + file.size();
          const std::size_t line =
              inFile ? 1 + static_cast<std::size_t>(std::count(file.data(), rec.begin, '\n')) : 0;
          throw ExecutionException(fmt::format(
              "[MALFORMED_RECORD_IN_PARSING.WITHOUT_SUGGESTION] Malformed records are detected in record parsing: "
              "{} (file {}, line {}: {} fields, {} expected). Parse Mode: FAILFAST. To process malformed records as "
              "null result, try setting the option 'mode' as 'PERMISSIVE'.",
              recordText(rec), file.path(), line, nf, ncols));
        }
        for (auto& col : cols) col.truncate(rows);
        return;
      }
      ++rows;
    });
    std::vector<VectorPtr> vectors;
    vectors.reserve(ncols);
    for (std::size_t c = 0; c < ncols; ++c) vectors.push_back(wanted[c] ? cols[c].finish(rows) : nullptr);
    batches[ci] = Batch(std::move(vectors), rows);
  });
  // One batch per logical partition (Spark's), its chunks concatenated in order.
  std::vector<DataType> types;
  for (const auto& f : schema.fields()) types.push_back(f.dataType);
  std::vector<std::vector<std::size_t>> members(plan.partitions);
  for (std::size_t ci = 0; ci < plan.chunks.size(); ++ci) members[plan.chunks[ci].partition].push_back(ci);
  Partitions out(plan.partitions);
  parallelFor(out.size(), [&](std::size_t p) {
    const auto& m = members[p];
    if (m.size() == 1) {
      out[p] = std::move(batches[m[0]]);
      return;
    }
    Partitions pieces;
    for (std::size_t ci : m) {
      if (batches[ci].rows > 0 || pieces.empty()) pieces.push_back(std::move(batches[ci]));
    }
    if (pieces.empty()) {
      std::vector<VectorPtr> vectors;
      for (std::size_t c = 0; c < ncols; ++c) vectors.push_back(wanted[c] ? Vector::make(types[c], 0) : nullptr);
      out[p] = Batch(std::move(vectors), 0);
    } else if (pieces.size() == 1) {
      out[p] = std::move(pieces[0]);
    } else {
      out[p] = concatPieces(pieces, types, wanted);
    }
  });
  if (out.empty()) {
    std::vector<VectorPtr> vectors;
    for (const auto& f : schema.fields()) vectors.push_back(Vector::make(f.dataType, 0));
    out.emplace_back(std::move(vectors), 0);
  }
  return out;
}

}  // namespace csv

StructType inferCsvSchema(const std::vector<std::string>& files, const CsvOptions& options) {
  return csv::inferSchema(files, options, {});
}

Partitions readCsv(const std::vector<std::string>& files, const CsvOptions& options, const StructType& schema,
                   const ExecContext& ctx, const std::vector<bool>& columns) {
  csv::ScanTuning tuning;
  tuning.columns = columns;
  return csv::read(files, options, schema, ctx, tuning);
}

}  // namespace engine::local
