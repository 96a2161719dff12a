#include "engine/local/io/parquet_reader.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>

#include <arrow/api.h>
#include <arrow/compute/cast.h>
#include <fmt/format.h>
#include <parquet/arrow/reader.h>
#include <parquet/arrow/schema.h>
#include <parquet/exception.h>
#include <parquet/file_reader.h>
#include <parquet/metadata.h>
#include <parquet/properties.h>

#include "engine/arrow/arrow_convert.h"
#include "engine/errors.h"
#include "engine/local/expr/expr_datetime.h"
#include "engine/local/io/csv_reader.h"
#include "engine/local/io/file_splits.h"

namespace engine::local {

namespace fs = std::filesystem;

namespace {

using ArrayList = std::vector<std::shared_ptr<arrow::Array>>;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

parquet::ArrowReaderProperties arrowProperties() {
  parquet::ArrowReaderProperties props(/*use_threads=*/false);  // partitions are read side by side instead
  // INT96 (Spark's default timestamp encoding) as microseconds: nanoseconds overflow outside 1677..2262.
  props.set_coerce_int96_timestamp_unit(arrow::TimeUnit::MICRO);
  return props;
}

// Opens a file for reading through Arrow, reusing its footer when it was read before.
std::unique_ptr<parquet::arrow::FileReader> openFile(const std::string& path,
                                                     std::shared_ptr<parquet::FileMetaData> metadata = nullptr) {
  std::string problem;
  try {
    parquet::arrow::FileReaderBuilder builder;
    arrow::Status st = builder.OpenFile(path, /*memory_map=*/true, parquet::default_reader_properties(), metadata);
    if (st.ok()) {
      builder.properties(arrowProperties());
      auto reader = builder.Build();
      if (reader.ok()) return std::move(reader).ValueUnsafe();
      st = reader.status();
    }
    problem = st.message();
  } catch (const std::exception& e) {  // parquet::ParquetException from the footer's decoding
    problem = e.what();
  }
  std::error_code ec;
  if (fs::is_regular_file(path, ec) && fs::file_size(path, ec) == 0) problem = "the file is empty";
  throw AnalysisException(fmt::format(
      "[CANNOT_READ_FILE_FOOTER] Could not read footer for file: file:{}. It is not a Parquet file, or it is "
      "damaged ({}).",
      path, problem));
}

// A file field in Spark's terms.
struct FieldType {
  DataType type;
  bool wallClock = false;  // a timestamp without UTC adjustment: its values are local date-times
};

// Spark's type for an Arrow type the Parquet reader produced, or an explanation of why there is none.
std::optional<DataType> sparkType(const arrow::DataType& t, bool int96, std::string& why, bool& wallClock) {
  switch (t.id()) {
    case arrow::Type::NA: return NullType();
    case arrow::Type::BOOL: return BooleanType();
    case arrow::Type::INT8: return ByteType();
    case arrow::Type::INT16: return ShortType();
    case arrow::Type::INT32: return IntegerType();
    case arrow::Type::INT64: return LongType();
    case arrow::Type::UINT8: return ShortType();
    case arrow::Type::UINT16: return IntegerType();
    case arrow::Type::UINT32: return LongType();
    case arrow::Type::UINT64: return DecimalType(20, 0);
    case arrow::Type::FLOAT: return FloatType();
    case arrow::Type::DOUBLE: return DoubleType();
    case arrow::Type::STRING:
    case arrow::Type::LARGE_STRING:
    case arrow::Type::STRING_VIEW: return StringType();
    case arrow::Type::DATE32:
    case arrow::Type::DATE64: return DateType();
    case arrow::Type::TIMESTAMP:
      wallClock = !int96 && static_cast<const arrow::TimestampType&>(t).timezone().empty();
      return TimestampType();
    case arrow::Type::DECIMAL32:
    case arrow::Type::DECIMAL64:
    case arrow::Type::DECIMAL128:
    case arrow::Type::DECIMAL256: {
      const auto& d = static_cast<const arrow::DecimalType&>(t);
      if (d.precision() > DataType::kMaxDecimalPrecision) {
        why = fmt::format("decimal({},{}) is wider than the largest decimal, decimal(38,s)", d.precision(), d.scale());
        return std::nullopt;
      }
      return DecimalType(d.precision(), d.scale());
    }
    case arrow::Type::DICTIONARY:
      return sparkType(*static_cast<const arrow::DictionaryType&>(t).value_type(), int96, why, wallClock);
    case arrow::Type::LIST:
    case arrow::Type::LARGE_LIST: {
      const auto& elem = *static_cast<const arrow::BaseListType&>(t).value_type();
      bool elemWallClock = false;
      auto e = sparkType(elem, false, why, elemWallClock);
      if (!e) return std::nullopt;
      if (e->isArray()) {
        why = "lists of lists are not supported";
        return std::nullopt;
      }
      if (elemWallClock) {
        why = "lists of timestamps without time zone are not supported";
        return std::nullopt;
      }
      return ArrayType(*e, true);
    }
    case arrow::Type::BINARY:
    case arrow::Type::LARGE_BINARY:
    case arrow::Type::BINARY_VIEW:
    case arrow::Type::FIXED_SIZE_BINARY:
      why = "binary columns are not supported (there is no binary type; a text column must carry the UTF8 "
            "annotation)";
      return std::nullopt;
    case arrow::Type::STRUCT:
    case arrow::Type::MAP:
      why = fmt::format("nested columns ({}) are not supported", t.ToString());
      return std::nullopt;
    default:
      why = fmt::format("the type {} is not supported", t.ToString());
      return std::nullopt;
  }
}

// The schema of an opened file: one entry per top-level field; a field without a Spark type holds the reason.
struct FileSchema {
  std::vector<std::string> names;
  std::vector<std::optional<FieldType>> types;
  std::vector<std::string> problems;
};

FileSchema fileSchema(parquet::arrow::FileReader& reader) {
  FileSchema out;
  const auto& fields = reader.manifest().schema_fields;
  const parquet::SchemaDescriptor* descr = reader.parquet_reader()->metadata()->schema();
  for (const auto& f : fields) {
    const bool int96 = f.is_leaf() && descr->Column(f.column_index)->physical_type() == parquet::Type::INT96;
    std::string why;
    bool wallClock = false;
    auto t = sparkType(*f.field->type(), int96, why, wallClock);
    out.names.push_back(f.field->name());
    if (t) out.types.push_back(FieldType{*t, wallClock});
    else out.types.push_back(std::nullopt);
    out.problems.push_back(why);
  }
  return out;
}

[[noreturn]] void refuseColumn(const std::string& file, const std::string& column, const std::string& why) {
  throw AnalysisException(fmt::format("Parquet column `{}` of file:{} cannot be read: {}.", column, file, why));
}

// The file field holding each column of the read's schema (-1: the file lacks it), by exact name first, else
// ignoring case.
std::vector<int> matchColumns(const StructType& schema, const FileSchema& fs) {
  std::vector<int> out(schema.size(), -1);
  for (std::size_t c = 0; c < schema.size(); ++c) {
    const std::string& name = schema[c].name;
    for (std::size_t f = 0; f < fs.names.size() && out[c] < 0; ++f)
      if (fs.names[f] == name) out[c] = static_cast<int>(f);
    const std::string l = lower(name);
    for (std::size_t f = 0; f < fs.names.size() && out[c] < 0; ++f)
      if (lower(fs.names[f]) == l) out[c] = static_cast<int>(f);
  }
  return out;
}

int integralWidth(TypeId id) {
  switch (id) {
    case TypeId::Byte: return 1;
    case TypeId::Short: return 2;
    case TypeId::Integer: return 4;
    case TypeId::Long: return 8;
    default: return 0;
  }
}

// Whether values of the file's type read into the read's type without loss: the same type, or a widening Spark's
// reader also takes (a narrower integer, float to double, integers to double).
bool readsAs(const DataType& file, const DataType& target) {
  if (file == target || file.isNull()) return true;
  if (file.isIntegral() && target.isIntegral()) return integralWidth(file.id()) <= integralWidth(target.id());
  if (target.id() == TypeId::Double) return file.isIntegral() || file.id() == TypeId::Float;
  return false;
}

// A file of the read, with the footer read once and where each column of the read sits in it.
struct OpenedFile {
  std::shared_ptr<parquet::FileMetaData> metadata;
  std::vector<int> fieldOf;             // per column of the read
  std::vector<bool> wallClock;          // per column of the read
  std::vector<std::int64_t> midpoints;  // per row group: where Spark places it among the file's splits
  std::size_t size = 0;
};

OpenedFile openForRead(const std::string& path, const StructType& schema, const std::vector<bool>& wanted) {
  auto reader = openFile(path);
  OpenedFile out;
  out.metadata = reader->parquet_reader()->metadata();
  std::error_code ec;
  out.size = static_cast<std::size_t>(fs::file_size(path, ec));
  const FileSchema fsch = fileSchema(*reader);
  out.fieldOf = matchColumns(schema, fsch);
  out.wallClock.assign(schema.size(), false);
  for (std::size_t c = 0; c < schema.size(); ++c) {
    const int f = out.fieldOf[c];
    if (f < 0 || !wanted[c]) continue;
    const auto& t = fsch.types[static_cast<std::size_t>(f)];
    if (!t) refuseColumn(path, fsch.names[static_cast<std::size_t>(f)], fsch.problems[static_cast<std::size_t>(f)]);
    if (!readsAs(t->type, schema[c].dataType))
      throw AnalysisException(fmt::format(
          "Parquet column `{}` of file:{} holds {} values, which cannot be read as the column's type {} (the "
          "files of one read must agree on their columns' types).",
          schema[c].name, path, t->type.simpleString(), schema[c].dataType.simpleString()));
    out.wallClock[c] = t->wallClock;
  }
  const int groups = out.metadata->num_row_groups();
  for (int g = 0; g < groups; ++g) {
    auto rg = out.metadata->RowGroup(g);
    std::int64_t start = 4, compressed = 0;
    if (rg->num_columns() > 0) {
      auto first = rg->ColumnChunk(0);
      start = first->data_page_offset();
      if (first->has_dictionary_page() && first->dictionary_page_offset() > 0 &&
          first->dictionary_page_offset() < start)
        start = first->dictionary_page_offset();
    }
    for (int c = 0; c < rg->num_columns(); ++c) compressed += rg->ColumnChunk(c)->total_compressed_size();
    std::int64_t mid = start + compressed / 2;
    out.midpoints.push_back(std::clamp<std::int64_t>(mid, 0, std::max<std::int64_t>(0, static_cast<std::int64_t>(out.size) - 1)));
  }
  return out;
}

// Arrow layouts the converter does not take directly, cast to the plain ones (dictionary-encoded columns that
// pyarrow restores from its stored schema, string views, 64-bit dates, narrow decimals).
ArrayList plainChunks(const ArrayList& chunks, const std::string& file, const std::string& column) {
  ArrayList out;
  out.reserve(chunks.size());
  for (const auto& a : chunks) {
    std::shared_ptr<arrow::DataType> to;
    const arrow::DataType& t = *a->type();
    switch (t.id()) {
      case arrow::Type::DICTIONARY: to = static_cast<const arrow::DictionaryType&>(t).value_type(); break;
      case arrow::Type::STRING_VIEW: to = arrow::utf8(); break;
      case arrow::Type::DATE64: to = arrow::date32(); break;
      case arrow::Type::DECIMAL32:
      case arrow::Type::DECIMAL64:
      case arrow::Type::DECIMAL256: {
        const auto& d = static_cast<const arrow::DecimalType&>(t);
        to = arrow::decimal128(d.precision(), d.scale());
        break;
      }
      default: break;
    }
    if (!to) {
      out.push_back(a);
      continue;
    }
    if (to->id() == arrow::Type::STRING_VIEW) to = arrow::utf8();
    auto cast = arrow::compute::Cast(*a, to);
    if (!cast.ok())
      throw ExecutionException(fmt::format("Parquet column `{}` of file:{}: cannot decode {} values: {}", column,
                                           file, t.ToString(), cast.status().message()));
    out.push_back(plainChunks({*cast}, file, column).front());
  }
  return out;
}

// Local date-times (timestamps without UTC adjustment) as instants in the session time zone, so that they show
// the wall-clock time the file holds.
void wallClockToSessionZone(Vector& v, const ZoneRules& zone) {
  if (zone.isFixed() && zone.offsetAtUtc(0) == 0) return;
  std::int64_t* d = v.data<std::int64_t>();
  for (std::size_t i = 0; i < v.size(); ++i)
    if (v.isValid(i)) d[i] = zone.localToUtcMicros(d[i]);
}

// Column c of the read from one row group, as Arrow arrays of the plain layouts the converter takes.
ArrayList readChunks(parquet::arrow::FileReader& reader, const std::string& path, const OpenedFile& file, int group,
                     std::size_t c, const StructType& schema) {
  const auto rows = file.metadata->RowGroup(group)->num_rows();
  std::shared_ptr<arrow::ChunkedArray> chunked;
  arrow::Status st;
  try {
    st = reader.RowGroup(group)->Column(file.fieldOf[c])->Read(&chunked);
  } catch (const std::exception& e) {
    st = arrow::Status::IOError(e.what());
  }
  if (!st.ok())
    throw ExecutionException(fmt::format("Could not read column `{}` of row group {} of file:{} (damaged?): {}",
                                         schema[c].name, group, path, st.message()));
  if (chunked->length() != rows)
    throw ExecutionException(fmt::format("Column `{}` of row group {} of file:{} holds {} values for {} rows.",
                                         schema[c].name, group, path, chunked->length(), rows));
  return plainChunks(chunked->chunks(), path, schema[c].name);
}

// Whole numbers into a decimal(p, 0) column: unsigned 64-bit integers read as decimal(20,0), as Spark reads them.
VectorPtr integersToDecimal(const DataType& type, const ArrayList& chunks) {
  std::size_t n = 0;
  for (const auto& a : chunks) n += static_cast<std::size_t>(a->length());
  auto out = Vector::make(type, n);
  int128_t* dst = out->data<int128_t>();
  for (const auto& a : chunks)
    if (a->null_count() > 0) out->validity().ensureMaterialized(n);
  std::size_t row = 0;
  for (const auto& a : chunks) {
    const auto id = a->type_id();
    for (std::int64_t i = 0; i < a->length(); ++i, ++row) {
      if (a->IsNull(i)) {
        out->validity().setNull(row);
      } else if (id == arrow::Type::UINT64) {
        dst[row] = static_cast<int128_t>(static_cast<const arrow::UInt64Array&>(*a).Value(i));
      } else if (id == arrow::Type::INT64) {
        dst[row] = static_cast<int128_t>(static_cast<const arrow::Int64Array&>(*a).Value(i));
      } else {
        dst[row] = static_cast<int128_t>(static_cast<const arrow::Int32Array&>(*a).Value(i));
      }
    }
  }
  return out;
}

VectorPtr toColumn(const DataType& type, const std::string& name, const ArrayList& chunks, bool wallClock,
                   const ZoneRules& zone) {
  const bool integral = !chunks.empty() && (chunks.front()->type_id() == arrow::Type::UINT64 ||
                                            chunks.front()->type_id() == arrow::Type::INT64 ||
                                            chunks.front()->type_id() == arrow::Type::INT32);
  VectorPtr v;
  if (type.isDecimal() && type.scale() == 0 && integral) {
    v = integersToDecimal(type, chunks);
  } else {
    try {
      v = arrow_convert::toVector(chunks, type, name);
    } catch (const IllegalArgumentException& e) {
      throw ExecutionException(e.what());
    }
  }
  // The vector was just made here and is not shared yet.
  if (wallClock) wallClockToSessionZone(*std::const_pointer_cast<Vector>(v), zone);
  return v;
}

// One row group: the wanted columns converted one by one.
Batch readRowGroup(parquet::arrow::FileReader& reader, const std::string& path, const OpenedFile& file, int group,
                   const StructType& schema, const std::vector<bool>& wanted, const ZoneRules& zone) {
  const auto rows = static_cast<std::size_t>(file.metadata->RowGroup(group)->num_rows());
  std::vector<VectorPtr> cols(schema.size());
  for (std::size_t c = 0; c < schema.size(); ++c) {
    if (!wanted[c]) continue;
    if (file.fieldOf[c] < 0) {
      auto nulls = Vector::make(schema[c].dataType, rows);
      nulls->validity().setAllNull(rows);
      cols[c] = std::move(nulls);
      continue;
    }
    cols[c] = toColumn(schema[c].dataType, schema[c].name, readChunks(reader, path, file, group, c, schema), file.wallClock[c], zone);
  }
  return Batch(std::move(cols), rows);
}

Batch concatColumns(const Partitions& pieces, const StructType& schema, const std::vector<bool>& wanted) {
  if (pieces.size() == 1) return pieces.front();
  std::size_t rows = 0;
  for (const auto& b : pieces) rows += b.rows;
  std::vector<VectorPtr> cols(schema.size());
  for (std::size_t c = 0; c < schema.size(); ++c) {
    if (!wanted[c]) continue;
    std::vector<const Vector*> parts;
    for (const auto& b : pieces) parts.push_back(b.columns[c].get());
    cols[c] = parts.empty() ? Vector::make(schema[c].dataType, 0) : concat(parts, schema[c].dataType);
  }
  return Batch(std::move(cols), rows);
}

}  // namespace

bool isParquetFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char magic[4] = {};
  return in.read(magic, 4) && std::string_view(magic, 4) == "PAR1";
}

std::vector<std::string> resolveParquetFiles(const std::string& path) {
  std::vector<std::string> files = resolveCsvFiles(path);
  std::error_code ec;
  if (files.empty() && fs::is_directory(path, ec)) {
    for (const auto& entry : fs::directory_iterator(path, ec)) {
      const std::string name = entry.path().filename().string();
      if (entry.is_directory(ec) && name.find('=') != std::string::npos && name[0] != '_' && name[0] != '.')
        throw AnalysisException(fmt::format(
            "The folder {} holds partition folders such as {}; partitioned folders are not read: give the "
            "partition folders' paths, or a folder of Parquet part files.",
            path, name));
    }
  }
  return files;
}

StructType inferParquetSchema(const std::vector<std::string>& files) {
  if (files.empty())
    throw AnalysisException("[UNABLE_TO_INFER_SCHEMA] Unable to infer schema for Parquet. It must be specified "
                            "manually (no Parquet files found).");
  auto reader = openFile(files.front());
  const FileSchema fsch = fileSchema(*reader);
  StructType out;
  for (std::size_t f = 0; f < fsch.names.size(); ++f) {
    if (!fsch.types[f]) refuseColumn(files.front(), fsch.names[f], fsch.problems[f]);
    out.add(fsch.names[f], fsch.types[f]->type, true);
  }
  return out;
}

Partitions readParquet(const std::vector<std::string>& files, const StructType& schema, const ExecContext& ctx,
                       const std::vector<bool>& columns) {
  std::vector<bool> wanted = columns;
  if (wanted.size() != schema.size()) wanted.assign(schema.size(), true);
  // Footers first (side by side): they give the row groups, their places and each file's columns.
  std::vector<OpenedFile> opened(files.size());
  parallelFor(files.size(), [&](std::size_t i) { opened[i] = openForRead(files[i], schema, wanted); });
  std::vector<std::size_t> sizes;
  for (const auto& f : opened) sizes.push_back(f.size);
  // Spark's partitions: the files cut into splits, each row group read by the split holding its midpoint.
  const auto parts = sparkFilePartitions(sizes, true, ctx.files, ctx.parallelism);
  struct Piece {
    std::size_t file;
    int group;
  };
  std::vector<std::vector<Piece>> work(parts.size());
  for (std::size_t p = 0; p < parts.size(); ++p)
    for (const Split& sp : parts[p]) {
      const auto& mids = opened[sp.file].midpoints;
      for (std::size_t g = 0; g < mids.size(); ++g) {
        const auto mid = static_cast<std::size_t>(mids[g]);
        if (mid >= sp.start && mid < sp.start + sp.length) work[p].push_back({sp.file, static_cast<int>(g)});
      }
    }
  const ZoneRules zone = ZoneRules::session(ctx.eval.timeZone);
  Partitions out(parts.size());
  parallelFor(work.size(), [&](std::size_t p) {
    const std::vector<Piece>& mine = work[p];
    std::vector<std::unique_ptr<parquet::arrow::FileReader>> readers(files.size());
    auto readerFor = [&](std::size_t f) -> parquet::arrow::FileReader& {
      if (!readers[f]) readers[f] = openFile(files[f], opened[f].metadata);
      return *readers[f];
    };
    // A column every row group of the partition holds with one Arrow type converts in one pass over all its
    // chunks (no copy to join the row groups); the others are converted per row group and joined.
    std::vector<bool> perGroup = wanted;
    std::vector<VectorPtr> whole(schema.size());
    if (mine.size() > 1) {
      for (std::size_t c = 0; c < schema.size(); ++c) {
        if (!wanted[c]) continue;
        const bool clock = opened[mine.front().file].wallClock[c];
        bool uniform = true;
        for (const Piece& piece : mine)
          uniform = uniform && opened[piece.file].fieldOf[c] >= 0 && opened[piece.file].wallClock[c] == clock;
        if (!uniform) continue;
        ArrayList chunks;
        for (const Piece& piece : mine) {
          ArrayList more = readChunks(readerFor(piece.file), files[piece.file], opened[piece.file], piece.group, c, schema);
          chunks.insert(chunks.end(), more.begin(), more.end());
        }
        for (const auto& a : chunks) uniform = uniform && a->type()->Equals(*chunks.front()->type());
        if (!uniform) continue;
        whole[c] = toColumn(schema[c].dataType, schema[c].name, chunks, clock, zone);
        perGroup[c] = false;
      }
    }
    const bool anyPerGroup = std::find(perGroup.begin(), perGroup.end(), true) != perGroup.end();
    Partitions pieces;
    for (const Piece& piece : mine) {
      const OpenedFile& file = opened[piece.file];
      if (!anyPerGroup) {  // nothing left to convert here: the footer knows the rows
        pieces.push_back(Batch(std::vector<VectorPtr>(schema.size()),
                               static_cast<std::size_t>(file.metadata->RowGroup(piece.group)->num_rows())));
        continue;
      }
      pieces.push_back(readRowGroup(readerFor(piece.file), files[piece.file], file, piece.group, schema, perGroup, zone));
    }
    if (pieces.empty()) {
      std::vector<VectorPtr> cols(schema.size());
      for (std::size_t c = 0; c < schema.size(); ++c)
        if (wanted[c]) cols[c] = Vector::make(schema[c].dataType, 0);
      out[p] = Batch(std::move(cols), 0);
    } else {
      out[p] = concatColumns(pieces, schema, perGroup);
      for (std::size_t c = 0; c < schema.size(); ++c)
        if (whole[c]) out[p].columns[c] = std::move(whole[c]);
    }
  });
  if (out.empty()) {
    std::vector<VectorPtr> cols(schema.size());
    for (std::size_t c = 0; c < schema.size(); ++c)
      if (wanted[c]) cols[c] = Vector::make(schema[c].dataType, 0);
    out.push_back(Batch(std::move(cols), 0));
  }
  return out;
}

}  // namespace engine::local
