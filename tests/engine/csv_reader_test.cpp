// The CSV reader against Apache Spark's answers (tests/data/csv/expected_schemas.json, recorded by
// scripts/csv_inference_check.py), with chunk boundaries forced everywhere, plus malformed and random
// input and the error cases.
#include <gtest/gtest.h>

#include "engine/dataframe.h"
#include "engine/session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <random>
#include <sstream>

#include <nlohmann/json.hpp>

#include "engine/errors.h"
#include "engine/local/io/csv_datetime_pattern.h"
#include "engine/local/io/csv_reader.h"
#include "engine/local/io/csv_scan.h"
#include "engine/local/io/csv_tokenizer.h"
#include "engine/local/io/csv_values.h"
#include "engine/local/expr/expr_datetime.h"

namespace engine::local {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string dataDir() {
  const char* env = std::getenv("NORQ_SOURCE_DIR");
  std::string root = env ? env : NORQ_SOURCE_DIR;
  return root + "/tests/data/csv";
}

ExecContext utcContext() {
  ExecContext ctx;
  ctx.eval.timeZone = "UTC";
  ctx.parallelism = 2;
  return ctx;
}

CsvOptions optionsFrom(const json& o) {
  CsvOptions opts;
  auto flag = [&](const char* key, bool& out) {
    if (o.contains(key)) out = o[key].get<std::string>() == "true";
  };
  flag("header", opts.header);
  flag("inferSchema", opts.inferSchema);
  flag("multiLine", opts.multiLine);
  if (o.contains("nullValue")) opts.nullValue = o["nullValue"].get<std::string>();
  if (o.contains("mode")) opts.mode = o["mode"].get<std::string>();
  if (o.contains("sep")) opts.sep = o["sep"].get<std::string>().at(0);
  if (o.contains("dateFormat")) opts.dateFormat = o["dateFormat"].get<std::string>();
  if (o.contains("timestampFormat")) opts.timestampFormat = o["timestampFormat"].get<std::string>();
  return opts;
}

std::string decimalText(int128_t v, int scale) {
  bool neg = v < 0;
  unsigned __int128 u = neg ? static_cast<unsigned __int128>(-v) : static_cast<unsigned __int128>(v);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(u % 10)));
    u /= 10;
  } while (u != 0);
  if (scale > 0) {
    while (static_cast<int>(digits.size()) <= scale) digits.insert(digits.begin(), '0');
    digits.insert(digits.end() - scale, '.');
  }
  return (neg ? "-" : "") + digits;
}

// A cell in the golden file's form; doubles stay numbers so that they compare by value.
json cell(const Vector& v, std::size_t i) {
  if (v.isNull(i)) return nullptr;
  switch (v.type().id()) {
    case TypeId::Boolean:
      return v.data<std::uint8_t>()[i] != 0;
    case TypeId::Byte:
      return std::to_string(v.data<std::int8_t>()[i]);
    case TypeId::Short:
      return std::to_string(v.data<std::int16_t>()[i]);
    case TypeId::Integer:
    case TypeId::Date:
      return std::to_string(v.data<std::int32_t>()[i]);
    case TypeId::Long:
    case TypeId::Timestamp:
      return std::to_string(v.data<std::int64_t>()[i]);
    case TypeId::Float:
      return static_cast<double>(v.data<float>()[i]);
    case TypeId::Double:
      return v.data<double>()[i];
    case TypeId::Decimal:
      return decimalText(v.data<int128_t>()[i], v.type().scale());
    case TypeId::String:
      return std::string(v.str(i));
    default:
      return "<unsupported>";
  }
}

json rowsOf(const Partitions& parts) {
  json rows = json::array();
  for (const auto& b : parts) {
    for (std::size_t r = 0; r < b.rows; ++r) {
      json row = json::array();
      for (std::size_t c = 0; c < b.numColumns(); ++c) row.push_back(cell(b.column(c), r));
      rows.push_back(row);
    }
  }
  return rows;
}

bool sameCell(const json& expected, const json& actual) {
  if (actual.is_number_float()) {
    if (!expected.is_string()) return false;
    double want = std::strtod(expected.get<std::string>().c_str(), nullptr);
    double got = actual.get<double>();
    if (std::isnan(want)) return std::isnan(got);
    return want == got && std::signbit(want) == std::signbit(got);
  }
  return expected == actual;
}

::testing::AssertionResult sameRows(const json& expected, json actual, bool anyOrder) {
  json want = expected;
  if (anyOrder) {
    auto key = [](const json& r) { return r.dump(); };
    std::sort(want.begin(), want.end(), [&](const json& a, const json& b) { return key(a) < key(b); });
    // Doubles render differently on the two sides, so order by the first (text) column only.
    std::sort(actual.begin(), actual.end(), [&](const json& a, const json& b) { return a[1].dump() < b[1].dump(); });
    std::sort(want.begin(), want.end(), [&](const json& a, const json& b) { return a[1].dump() < b[1].dump(); });
  }
  if (want.size() != actual.size())
    return ::testing::AssertionFailure() << "expected " << want.size() << " rows, got " << actual.size() << ": "
                                         << actual.dump();
  for (std::size_t r = 0; r < want.size(); ++r) {
    if (want[r].size() != actual[r].size())
      return ::testing::AssertionFailure() << "row " << r << " width: " << actual[r].dump();
    for (std::size_t c = 0; c < want[r].size(); ++c) {
      if (!sameCell(want[r][c], actual[r][c]))
        return ::testing::AssertionFailure() << "row " << r << " column " << c << ": expected " << want[r][c].dump()
                                             << ", got " << actual[r][c].dump();
    }
  }
  return ::testing::AssertionSuccess();
}

// Random bytes are not UTF-8: show them replaced.
std::string show(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

json golden() {
  std::ifstream in(dataDir() + "/expected_schemas.json");
  EXPECT_TRUE(in.good()) << "missing golden file; run scripts/csv_inference_check.py";
  json j;
  in >> j;
  return j;
}

StructType userSchema(const json& fields) {
  StructType s;
  for (const auto& f : fields) {
    auto t = DataType::parse(f[1].get<std::string>());
    EXPECT_TRUE(t.has_value()) << f.dump();
    s.add(f[0].get<std::string>(), t.value_or(StringType()));
  }
  return s;
}

// Every sample file against Spark: the inferred schema and the rows, read whole and again with chunks
// so small that boundaries fall inside quotes, escapes and line ends.
TEST(CsvReaderGolden, SchemasAndRowsMatchSpark) {
  json cases = golden();
  ASSERT_GT(cases.size(), 20u);
  ExecContext ctx = utcContext();
  for (const auto& [name, c] : cases.items()) {
    if (name.rfind("__", 0) == 0) continue;
    SCOPED_TRACE(name);
    CsvOptions opts = optionsFrom(c["options"]);
    std::string path = dataDir() + "/" + c["path"].get<std::string>();
    auto files = resolveCsvFiles(path);
    bool isDir = fs::is_directory(path);
    for (std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{13}}) {
      SCOPED_TRACE("chunk bytes " + std::to_string(chunk));
      csv::ScanTuning tuning{chunk};
      StructType schema = c["schema"].is_null() ? csv::inferSchema(files, opts, tuning) : userSchema(c["schema"]);
      EXPECT_EQ(schema.simpleString(), c["inferred"].get<std::string>());
      if (!c.contains("rows")) continue;
      Partitions parts = csv::read(files, opts, schema, ctx, tuning);
      EXPECT_TRUE(sameRows(c["rows"], rowsOf(parts), isDir));
    }
  }
}

TEST(CsvReaderGolden, MissingPathMessageMatchesSpark) {
  json cases = golden();
  std::string expected = cases["__missing_path_error__"].get<std::string>();
  // pyspark appends the SQL state to the message; the engine's message is Spark's message itself.
  auto cut = expected.find(" SQLSTATE");
  if (cut != std::string::npos) expected.resize(cut);
  try {
    resolveCsvFiles(dataDir() + "/no_such_file.csv");
    FAIL() << "no exception";
  } catch (const AnalysisException& e) {
    std::string msg = e.what();
    auto pos = msg.find(dataDir());
    ASSERT_NE(pos, std::string::npos) << msg;
    msg.replace(pos, dataDir().size(), "<DATA>");
    EXPECT_EQ(msg, expected);
  }
}

class CsvTempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("norq_csv_test_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    std::string p = (dir_ / name).string();
    std::ofstream out(p, std::ios::binary);
    out << content;
    return p;
  }

  fs::path dir_;
};

// The same text read in one piece and with every small chunk size gives the same rows.
void expectChunkInvariant(const std::string& file, const CsvOptions& opts, const std::vector<std::size_t>& sizes) {
  ExecContext ctx = utcContext();
  StructType schema = csv::inferSchema({file}, opts, {});
  json whole = rowsOf(csv::read({file}, opts, schema, ctx, {}));
  for (std::size_t s : sizes) {
    SCOPED_TRACE("chunk bytes " + std::to_string(s));
    EXPECT_EQ(csv::inferSchema({file}, opts, {s}).simpleString(), schema.simpleString());
    json chunked = rowsOf(csv::read({file}, opts, schema, ctx, {s}));
    ASSERT_TRUE(whole == chunked) << show(whole) << "\n" << show(chunked);
  }
}

TEST_F(CsvTempDir, GeneratedQuotedFieldsSurviveEveryChunkBoundary) {
  // Values with separators, line ends (LF and CRLF), escaped and doubled quotes and backslashes.
  std::mt19937 rng(7);
  const std::vector<std::string> pieces = {"a", "b c", ",", "\n", "\r\n", "\\\"", "\\\\", "x\\y", "é", " "};
  std::ostringstream text;
  std::vector<std::string> expectedText;
  text << "id,text,n\n";
  for (int i = 0; i < 400; ++i) {
    std::string raw, decoded;
    int k = static_cast<int>(rng() % 6);
    for (int j = 0; j < k; ++j) {
      const std::string& p = pieces[rng() % pieces.size()];
      raw += p;
      if (p == "\\\"") {
        decoded += "\"";
      } else if (p == "\\\\") {
        decoded += "\\";
      } else {
        decoded += p;
      }
    }
    text << i << ",\"" << raw << "\"," << (i * 7) << "\n";
    expectedText.push_back(decoded);
  }
  std::string file = write("quoted.csv", text.str());
  CsvOptions opts;
  EXPECT_FALSE(opts.multiLine);  // Spark's default: records are lines
  opts.header = true;
  opts.inferSchema = true;
  opts.multiLine = true;  // the quoted fields hold line ends
  StructType schema = csv::inferSchema({file}, opts, {3});
  ASSERT_EQ(schema.simpleString(), "struct<id:int,text:string,n:int>");
  ExecContext ctx = utcContext();
  for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{17}, std::size_t{64},
                            std::size_t{1000}, std::size_t{0}}) {
    SCOPED_TRACE(chunk);
    Partitions parts = csv::read({file}, opts, schema, ctx, {chunk});
    json rows = rowsOf(parts);
    ASSERT_EQ(rows.size(), 400u);
    for (int i = 0; i < 400; ++i) {
      EXPECT_EQ(rows[i][0], std::to_string(i));
      // An empty quoted field is null (Spark reads "" as null with the default nullValue).
      if (expectedText[i].empty()) {
        EXPECT_TRUE(rows[i][1].is_null());
      } else {
        EXPECT_EQ(rows[i][1], expectedText[i]) << "row " << i;
      }
      EXPECT_EQ(rows[i][2], std::to_string(i * 7));
    }
    EXPECT_EQ(parts.size(), 1u);  // the chunks the threads parse are not partitions: a small file is one
  }
}

TEST_F(CsvTempDir, LargeNumericFileSplitsIntoPartitions) {
  std::string text = "a,b,c\n";
  std::int64_t sumA = 0;
  double sumC = 0;
  const int n = 50000;
  for (int i = 0; i < n; ++i) {
    text += std::to_string(i) + "," + std::to_string(static_cast<std::int64_t>(i) * 100000) + "," + std::to_string(i) +
            ".25\n";
    sumA += i;
    sumC += i + 0.25;
  }
  std::string file = write("numbers.csv", text);
  CsvOptions opts;
  opts.header = true;
  opts.inferSchema = true;
  StructType schema = csv::inferSchema({file}, opts, {4096});
  EXPECT_EQ(schema.simpleString(), "struct<a:int,b:bigint,c:double>");
  ExecContext ctx = utcContext();
  opts.multiLine = false;  // a multiLine file is never split
  ctx.files.maxPartitionBytes = 4096;
  ctx.files.openCostInBytes = 0;
  Partitions parts = csv::read({file}, opts, schema, ctx, {1000});
  EXPECT_EQ(parts.size(), (text.size() + 4095) / 4096);
  std::size_t rows = 0;
  std::int64_t gotA = 0;
  double gotC = 0;
  for (const auto& b : parts) {
    rows += b.rows;
    for (std::size_t r = 0; r < b.rows; ++r) {
      gotA += b.column(0).data<std::int32_t>()[r];
      EXPECT_EQ(b.column(1).data<std::int64_t>()[r],
                static_cast<std::int64_t>(b.column(0).data<std::int32_t>()[r]) * 100000);
      gotC += b.column(2).data<double>()[r];
    }
    EXPECT_TRUE(b.column(0).validity().allValid());
  }
  EXPECT_EQ(rows, static_cast<std::size_t>(n));
  EXPECT_EQ(gotA, sumA);
  EXPECT_DOUBLE_EQ(gotC, sumC);
}

// Inference runs per chunk and merges in order; Spark infers sequentially, so a number after a date
// must still read as a timestamp ("2024" is a valid timestamp) however the file is cut.
TEST_F(CsvTempDir, SequentialInferenceAcrossChunks) {
  std::string file = write("dates.csv", "d,t\n2024-01-31,2024-01-31 10:00:00\n2024,2024\n2024-02-01,true\n");
  CsvOptions opts;
  opts.header = true;
  opts.inferSchema = true;
  for (std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{4}, std::size_t{11}}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(csv::inferSchema({file}, opts, {chunk}).simpleString(), "struct<d:timestamp,t:string>");
  }
  std::string numbersFirst = write("numbers_first.csv", "d\n2024\n2024-01-31\n");
  EXPECT_EQ(csv::inferSchema({numbersFirst}, opts, {2}).simpleString(), "struct<d:string>");
}

TEST_F(CsvTempDir, MalformedRecordModes) {
  std::string file = write("bad.csv", "a,b\n1,2\n3\n4,5,6\nx,7\n8,9\n");
  StructType schema({{"a", IntegerType()}, {"b", IntegerType()}});
  CsvOptions opts;
  opts.header = true;
  ExecContext ctx = utcContext();
  EXPECT_EQ(rowsOf(csv::read({file}, opts, schema, ctx, {})).dump(),
            R"([["1","2"],["3",null],["4","5"],[null,"7"],["8","9"]])");
  opts.mode = "DROPMALFORMED";
  for (std::size_t chunk : {std::size_t{0}, std::size_t{3}}) {
    EXPECT_EQ(rowsOf(csv::read({file}, opts, schema, ctx, {chunk})).dump(), R"([["1","2"],["8","9"]])");
  }
  opts.mode = "FAILFAST";
  try {
    csv::read({file}, opts, schema, ctx, {});
    FAIL() << "FAILFAST accepted a short record";
  } catch (const ExecutionException& e) {
    EXPECT_NE(std::string(e.what()).find("MALFORMED_RECORD_IN_PARSING"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("bad.csv"), std::string::npos);
  }
}

TEST_F(CsvTempDir, ReaderOptionsGivenAsStringLiterals) {
  // option("mode", "FAILFAST") must set the text, not take the bool overload.
  std::string file = write("ragged.csv", "a;b\n1;2\n3\n");
  auto spark = engine::SparkSession::builder().getOrCreate();
  engine::DataFrame df = spark->read().option("sep", ";").option("mode", "FAILFAST").csv(file, true, true);
  EXPECT_EQ(df.columns(), (std::vector<std::string>{"a", "b"}));
  EXPECT_THROW(df.collect(), ExecutionException);
  EXPECT_EQ(spark->read().option("sep", ";").option("mode", "DROPMALFORMED").csv(file, true, true).collect().size(), 1u);
}

TEST_F(CsvTempDir, RandomBytesNeverCrashAndChunkingAgrees) {
  std::mt19937 rng(12345);
  const std::string alphabet = std::string("ab1 .,-:\"\\\n\r\t") + '\0' + "\xef\xbb\xbf\xff";
  // NORQ_CSV_FUZZ_ROUNDS raises the round count for a longer local run.
  const char* env = std::getenv("NORQ_CSV_FUZZ_ROUNDS");
  const int rounds = env ? std::atoi(env) : 60;
  for (int round = 0; round < rounds; ++round) {
    std::string text;
    std::size_t len = rng() % 300;
    for (std::size_t i = 0; i < len; ++i) {
      text += (rng() % 4 == 0) ? static_cast<char>(rng() % 256) : alphabet[rng() % alphabet.size()];
    }
    std::string file = write("random" + std::to_string(round) + ".csv", text);
    CsvOptions opts;
    opts.header = round % 2 == 0;
    opts.inferSchema = true;
    opts.multiLine = round % 3 != 0;
    if (round % 5 == 4) opts.escape = '"';  // RFC 4180 doubling as the only escape
    SCOPED_TRACE(round);
    expectChunkInvariant(file, opts, {1, 2, 7, 31});
    // Every type over the same bytes: nothing crashes, every row is kept.
    StructType all({{"i", IntegerType()},
                    {"l", LongType()},
                    {"d", DoubleType()},
                    {"dec", DecimalType(12, 3)},
                    {"dt", DateType()},
                    {"ts", TimestampType()},
                    {"b", BooleanType()},
                    {"s", StringType()},
                    {"f", FloatType()},
                    {"y", ByteType()}});
    Partitions parts = csv::read({file}, opts, all, utcContext(), {5});
    Partitions whole = csv::read({file}, opts, all, utcContext(), {});
    EXPECT_TRUE(rowsOf(parts) == rowsOf(whole));
  }
}

TEST_F(CsvTempDir, FilesOfADirectoryAndHeaders) {
  fs::create_directories(dir_ / "out");
  write("out/part-1.csv", "x,y\n1,a\n");
  write("out/part-0.csv", "\xef\xbb\xbfx,y\r\n2,b\r\n");
  write("out/_SUCCESS", "");
  write("out/.part-0.csv.crc", "\x01\x02");
  write("out/_committed", "x,y\nbad,bad\n");
  auto files = resolveCsvFiles((dir_ / "out").string());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_NE(files[0].find("part-0.csv"), std::string::npos);
  CsvOptions opts;
  opts.header = true;
  opts.inferSchema = true;
  StructType schema = inferCsvSchema(files, opts);
  EXPECT_EQ(schema.simpleString(), "struct<x:int,y:string>");
  EXPECT_EQ(rowsOf(readCsv(files, opts, schema, utcContext())).dump(), R"([["2","b"],["1","a"]])");
  // "file:" URIs name the same files.
  EXPECT_EQ(resolveCsvFiles("file:" + (dir_ / "out").string()).size(), 2u);
  // Without a header every line is data and columns are _c0, _c1, ...
  opts.header = false;
  EXPECT_EQ(inferCsvSchema(files, opts).simpleString(), "struct<_c0:string,_c1:string>");
}

TEST_F(CsvTempDir, EmptyInputs) {
  std::string empty = write("empty.csv", "");
  std::string onlyHeader = write("header.csv", "a,b\n");
  CsvOptions opts;
  opts.header = true;
  opts.inferSchema = true;
  EXPECT_EQ(inferCsvSchema({empty}, opts).simpleString(), "struct<>");
  StructType schema = inferCsvSchema({onlyHeader}, opts);
  EXPECT_EQ(schema.simpleString(), "struct<a:string,b:string>");
  Partitions parts = readCsv({empty, onlyHeader}, opts, schema, utcContext());
  EXPECT_EQ(totalRows(parts), 0u);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].numColumns(), 2u);
  fs::create_directories(dir_ / "nothing");
  EXPECT_TRUE(resolveCsvFiles((dir_ / "nothing").string()).empty());
  EXPECT_THROW(inferCsvSchema({}, opts), AnalysisException);
}

TEST_F(CsvTempDir, ErrorsNameThePath) {
  std::string sub = (dir_ / "sub").string();
  fs::create_directories(sub);
  try {
    readCsv({sub}, CsvOptions{}, StructType({{"a", StringType()}}), utcContext());
    FAIL() << "read a directory as a file";
  } catch (const ExecutionException& e) {
    EXPECT_NE(std::string(e.what()).find(sub), std::string::npos) << e.what();
  }
  try {
    resolveCsvFiles((dir_ / "missing.csv").string());
    FAIL();
  } catch (const AnalysisException& e) {
    EXPECT_EQ(std::string(e.what()),
              "[PATH_NOT_FOUND] Path does not exist: file:" + (dir_ / "missing.csv").string() + ".");
  }
  CsvOptions same;
  same.sep = '"';
  std::string f = write("a.csv", "a\n");
  EXPECT_THROW(inferCsvSchema({f}, same), IllegalArgumentException);
  CsvOptions tsFormat;
  tsFormat.timestampFormat = "EEE dd/MM/yyyy";  // day-of-week names are not read
  EXPECT_THROW(inferCsvSchema({f}, tsFormat), AnalysisException);
}

TEST_F(CsvTempDir, SessionTimeZoneAppliesToTimestampsWithoutZone) {
  std::string file = write("ts.csv", "t\n2024-01-31 12:00:00\n2024-01-31T12:00:00Z\n");
  CsvOptions opts;
  opts.header = true;
  ExecContext ctx = utcContext();
  ctx.eval.timeZone = "+02:00";
  Partitions parts = readCsv({file}, opts, StructType({{"t", TimestampType()}}), ctx);
  EXPECT_EQ(rowsOf(parts).dump(), R"([["1706695200000000"],["1706702400000000"]])");
  // A region zone applies its daylight-saving rules; files without timestamp columns never consult it.
  std::string summer = write("summer.csv", "t,n\n2024-01-31 12:00:00,1\n2024-07-01 12:00:00,2\n");
  ctx.eval.timeZone = "America/New_York";
  parts = readCsv({summer}, opts, StructType({{"t", TimestampType()}, {"n", IntegerType()}}), ctx);
  EXPECT_EQ(rowsOf(parts).dump(), R"([["1706720400000000","1"],["1719849600000000","2"]])");
  ctx.eval.timeZone = "Not/AZone";
  EXPECT_EQ(totalRows(readCsv({summer}, opts, StructType({{"t", StringType()}, {"n", IntegerType()}}), ctx)), 2u);
  EXPECT_THROW(readCsv({summer}, opts, StructType({{"t", TimestampType()}}), ctx), ExecutionException);
}

// Spark reads a time without a date as that time today (so the golden file cannot hold these values).
TEST(CsvReaderGolden, TimeWithoutDateIsToday) {
  CsvOptions opts;
  opts.header = true;
  std::int64_t before = currentDay(0);
  Partitions parts = readCsv({dataDir() + "/time_only.csv"}, opts, StructType({{"a", TimestampType()}}), utcContext());
  std::int64_t after = currentDay(0);
  ASSERT_EQ(totalRows(parts), 2u);
  std::int64_t micros = parts[0].column(0).data<std::int64_t>()[0];
  std::int64_t day = micros / 86400000000LL;
  EXPECT_TRUE(day == before || day == after);
  EXPECT_EQ(micros % 86400000000LL, 12LL * 3600 * 1000000);
}

// The JVM parsers behind Spark's CSV reading, where they differ from casts.
TEST(CsvValues, JavaNumberGrammar) {
  std::int32_t i = 0;
  EXPECT_TRUE(csv::parseJavaInt("+7", i));
  EXPECT_EQ(i, 7);
  EXPECT_TRUE(csv::parseJavaInt("-2147483648", i));
  EXPECT_FALSE(csv::parseJavaInt("2147483648", i));
  EXPECT_FALSE(csv::parseJavaInt(" 1", i));
  EXPECT_FALSE(csv::parseJavaInt("-", i));
  EXPECT_TRUE(csv::parseJavaInt("000000000000000000000000000042", i));
  EXPECT_EQ(i, 42);
  std::int64_t l = 0;
  EXPECT_TRUE(csv::parseJavaLong("-9223372036854775808", l));
  EXPECT_EQ(l, std::numeric_limits<std::int64_t>::min());
  EXPECT_FALSE(csv::parseJavaLong("9223372036854775808", l));
  double d = 0;
  EXPECT_TRUE(csv::parseJavaDouble(" 1.5d ", d));
  EXPECT_EQ(d, 1.5);
  EXPECT_TRUE(csv::parseJavaDouble("0x1.8p1", d));
  EXPECT_EQ(d, 3.0);
  EXPECT_TRUE(csv::parseJavaDouble("-Infinity", d));
  EXPECT_TRUE(std::isinf(d) && d < 0);
  EXPECT_TRUE(csv::parseJavaDouble("1e400", d));
  EXPECT_TRUE(std::isinf(d));
  EXPECT_TRUE(csv::parseJavaDouble("1e-400", d));
  EXPECT_EQ(d, 0.0);
  for (const char* bad : {"inf", "nan", "1e", ".", "0x10", "1.5x", "1,5", ""})
    EXPECT_FALSE(csv::parseJavaDouble(bad, d)) << bad;
  int128_t u = 0;
  EXPECT_TRUE(csv::parseJavaDecimal("1,234.565", 10, 2, u));
  EXPECT_EQ(static_cast<std::int64_t>(u), 123457);
  EXPECT_TRUE(csv::parseJavaDecimal("-1.5e-1", 5, 1, u));
  EXPECT_EQ(static_cast<std::int64_t>(u), -2);
  EXPECT_FALSE(csv::parseJavaDecimal("1e40", 38, 0, u));
  EXPECT_FALSE(csv::parseJavaDecimal("99.995", 4, 2, u));  // rounds to 100.00: five digits
  csv::DecimalShape shape;
  EXPECT_TRUE(csv::decimalShape("-000123", shape));
  EXPECT_EQ(shape.precision, 3);
  EXPECT_EQ(shape.scale, 0);
  EXPECT_TRUE(csv::decimalShape("1.0e1", shape));
  EXPECT_EQ(shape.scale, 0);
}

TEST(CsvValues, DateTimePatterns) {
  ZoneRules utc;
  auto compact = csv::DateTimePattern::compile("yyyyMMddHHmmss");
  EXPECT_EQ(compact.parseTimestamp("20240131101530", utc), 1706696130000000);
  EXPECT_FALSE(compact.parseTimestamp("2024013110153", utc));
  auto zoned = csv::DateTimePattern::compile("yyyy-MM-dd'T'HH:mm:ss.SSSSSSXXX");
  EXPECT_EQ(zoned.parseTimestamp("2024-01-31T10:00:00.1234+01:00", utc), 1706691600123400);
  EXPECT_EQ(zoned.parseTimestamp("2024-01-31T10:00:00.1Z", utc), 1706695200100000);
  EXPECT_FALSE(zoned.parseTimestamp("2024-01-31T10:00:00.1", utc));
  auto loose = csv::DateTimePattern::compile("d/M/yy");
  EXPECT_EQ(loose.parseDate("5/1/24"), 19727);
  EXPECT_FALSE(loose.parseDate("30/2/24"));
  EXPECT_FALSE(loose.parseDate("5/1/24 "));
  EXPECT_THROW(csv::DateTimePattern::compile("yyyy-MM-dd'T"), AnalysisException);
  EXPECT_THROW(csv::DateTimePattern::compile("SSSSSSSSSS"), AnalysisException);
}

// Inference recognises the common timestamp shapes without the general parser; both must agree on every
// text of those shapes, valid or not (month 13, 29 February, hour 24, second 60, other separators).
TEST(CsvValues, TimestampInferenceAgreesWithTheParser) {
  const csv::InferRules rules;
  const ZoneRules utc;
  std::mt19937 rng(3);
  auto digits = [&](int n, int max) {
    std::string d = std::to_string(static_cast<int>(rng() % static_cast<unsigned>(max + 1)));
    return std::string(static_cast<std::size_t>(std::max(0, n - static_cast<int>(d.size()))), '0') + d;
  };
  const std::string seps = " T_t";
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string s = (rng() % 10 == 0 ? digits(4, 9999) : "20" + digits(2, 30)) + "-" + digits(2, 13) + "-" + digits(2, 31);
    if (rng() % 4 != 0) {
      s += seps[rng() % seps.size()];
      s += digits(2, 25) + ":" + digits(2, 60) + ":" + digits(2, 60);
    }
    const bool parsed = csv::parseTimestamp(s, utc).has_value();
    EXPECT_EQ(rules.isTimestamp(s), parsed) << s;
    accepted += parsed;
  }
  EXPECT_GT(accepted, 5000);  // both kinds of answers were tried
  EXPECT_TRUE(rules.isTimestamp("2024-02-29 23:59:59"));
  EXPECT_FALSE(rules.isTimestamp("2023-02-29 00:00:00"));
  EXPECT_FALSE(rules.isTimestamp("2024-01-31 24:00:00"));
  EXPECT_TRUE(rules.isTimestamp("2024-01-31T10:00:00Z"));
}

TEST(CsvValues, InferenceLadderAndMerging) {
  auto infer = [](std::vector<std::string> values) {
    DataType t;
    for (const auto& v : values) t = csv::inferField(t, v);
    return t.simpleString();
  };
  EXPECT_EQ(infer({"1", "2147483648"}), "bigint");
  EXPECT_EQ(infer({"1", "99999999999999999999"}), "decimal(20,0)");
  EXPECT_EQ(infer({"99999999999999999999", "1.5"}), "double");
  EXPECT_EQ(infer({"1", "NaN"}), "double");
  EXPECT_EQ(infer({"1", "true"}), "string");
  EXPECT_EQ(infer({"TRUE", "false"}), "boolean");
  EXPECT_EQ(infer({"2024-01-31", "2024-01-31 10:00"}), "timestamp");
  EXPECT_EQ(infer({"1e0"}), "decimal(1,0)");
  EXPECT_EQ(csv::mergeInferred(DecimalType(38, 0), DecimalType(10, 5)).simpleString(), "double");
  EXPECT_EQ(csv::mergeInferred(IntegerType(), DecimalType(5, 0)).simpleString(), "decimal(10,0)");
}

// Reads are cut into Spark's partitions: splits of min(maxPartitionBytes, max(openCost, total / parallelism))
// bytes, each line in the split holding the line end before it, pieces packed longest first. Whatever the
// chunks the threads parse, the partitions and their rows stay the same.
class CsvPartitions : public CsvTempDir {};

std::vector<std::size_t> rowCounts(const Partitions& parts) {
  std::vector<std::size_t> n;
  for (const auto& b : parts) n.push_back(b.rows);
  return n;
}

TEST_F(CsvPartitions, SplitsFollowSparkAndEveryLineIsReadOnce) {
  // Lines of varying length so that split boundaries fall at line starts, inside lines and on line ends.
  std::string text = "id,name\n";
  for (int i = 0; i < 200; ++i) text += std::to_string(i) + "," + std::string(static_cast<std::size_t>(i % 11), 'x') + "\n";
  std::string file = write("lines.csv", text);
  CsvOptions opts;
  opts.header = true;
  opts.multiLine = false;
  StructType schema({{"id", IntegerType()}, {"name", StringType()}});
  ExecContext whole = utcContext();
  Partitions one = csv::read({file}, opts, schema, whole, {});
  ASSERT_EQ(one.size(), 1u);  // a small file is one partition
  ASSERT_EQ(one[0].rows, 200u);
  for (std::int64_t split : {64, 100, 257}) {
    ExecContext ctx = utcContext();
    ctx.files.maxPartitionBytes = split;
    ctx.files.openCostInBytes = 0;
    const std::size_t expected = (text.size() + static_cast<std::size_t>(split) - 1) / static_cast<std::size_t>(split);
    std::vector<std::size_t> counts;
    for (std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{33}}) {
      SCOPED_TRACE("split " + std::to_string(split) + ", chunk " + std::to_string(chunk));
      Partitions parts = csv::read({file}, opts, schema, ctx, {chunk});
      EXPECT_EQ(parts.size(), expected);
      EXPECT_EQ(rowsOf(parts), rowsOf(one));  // equal splits keep file order; the short last one comes last
      if (counts.empty()) counts = rowCounts(parts);
      EXPECT_EQ(rowCounts(parts), counts);
    }
    // A line belongs to the split holding the line end before it.
    std::size_t pos = text.find('\n') + 1, expectedFirst = 0, p = 0;
    for (std::size_t cut = static_cast<std::size_t>(split); cut < text.size() && p + 1 < counts.size(); cut += static_cast<std::size_t>(split), ++p) {
      std::size_t rows = 0;
      while (pos <= cut && pos < text.size()) {
        ++rows;
        pos = text.find('\n', pos) + 1;
      }
      expectedFirst += rows;
      EXPECT_EQ(std::accumulate(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(p) + 1, std::size_t{0}),
                expectedFirst)
          << "partition " << p;
    }
  }
}

TEST_F(CsvPartitions, SmallFilesArePackedLongestFirst) {
  std::string small = write("a.csv", "v\n1\n2\n");
  std::string large = write("b.csv", "v\n10\n20\n30\n40\n");
  CsvOptions opts;
  opts.header = true;
  StructType schema({{"v", IntegerType()}});
  ExecContext ctx = utcContext();  // 4 MB open cost: each file is its own partition, the longer one first
  Partitions parts = csv::read({small, large}, opts, schema, ctx, {});
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(rowCounts(parts), (std::vector<std::size_t>{4, 2}));
  ctx.files.openCostInBytes = 0;  // no open cost and one core: the split size is the total, both fit one partition
  ctx.parallelism = 1;
  parts = csv::read({small, large}, opts, schema, ctx, {});
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(rowsOf(parts), json::parse(R"([["10"],["20"],["30"],["40"],["1"],["2"]])"));
}

TEST_F(CsvPartitions, QuotedLineEndsEndRecordsUnlessMultiLine) {
  std::string file = write("q.csv", "id,text\n1,\"first\nline\"\n2,second\r\n3,\"x,y\"\n");
  CsvOptions opts;
  opts.header = true;
  opts.multiLine = false;
  StructType schema({{"id", StringType()}, {"text", StringType()}});
  for (std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{5}}) {
    Partitions lines = csv::read({file}, opts, schema, utcContext(), {chunk});
    EXPECT_EQ(rowsOf(lines), json::parse(R"([["1","first"],["line\"",null],["2","second"],["3","x,y"]])"));
    opts.multiLine = true;
    Partitions records = csv::read({file}, opts, schema, utcContext(), {chunk});
    EXPECT_EQ(rowsOf(records), json::parse(R"([["1","first\nline"],["2","second"],["3","x,y"]])"));
    opts.multiLine = false;
  }
}

// The line reader's fast path (separators found sixteen bytes at a time, quoted fields handed to the record
// parser) against the record parser over the same line, on random lines long enough to cross many blocks.
TEST(CsvTokenizer, LineParserSplitsLinesAsTheRecordParser) {
  std::mt19937 rng(2026);
  struct Case {
    char sep, quote, escape;
  };
  for (const Case dialectCase : {Case{',', '"', '\\'}, Case{';', '\'', '"'}, Case{'\t', '\0', '\\'}}) {
    csv::Dialect d;
    d.sep = dialectCase.sep;
    d.quote = dialectCase.quote;
    d.escape = dialectCase.escape;
    d.multiLine = false;
    const std::string alphabet = std::string("abc 01.") + dialectCase.sep + dialectCase.sep + dialectCase.quote +
                                 dialectCase.escape + "\n\r\t" + '\0' + "\xc3\xa9";
    for (int round = 0; round < 300; ++round) {
      std::string text;
      const std::size_t len = rng() % 200;
      for (std::size_t i = 0; i < len; ++i) text += alphabet[rng() % alphabet.size()];
      // Heap copy of exactly the text's bytes, so a read past its end is an error under the sanitizers.
      std::unique_ptr<char[]> bytes(new char[std::max<std::size_t>(text.size(), 1)]);
      std::memcpy(bytes.get(), text.data(), text.size());
      const char* p = bytes.get();
      const char* end = p + text.size();
      csv::RecordParser parser(d);
      csv::Record fast, general;
      while (p < end) {
        SCOPED_TRACE(::testing::Message() << "round " << round << " at " << (p - bytes.get()));
        const char* le = p;
        while (le < end && *le != '\n' && *le != '\r') ++le;
        ASSERT_EQ(csv::findLineEnd(p, end), le);
        parser.parse(p, le, general);
        ASSERT_EQ(parser.parseLine(p, end, fast), le);
        ASSERT_EQ(fast.size(), general.size());
        for (std::size_t f = 0; f < fast.size(); ++f) {
          EXPECT_EQ(fast.fields[f], general.fields[f]) << "field " << f;
          EXPECT_EQ(fast.quoted[f], general.quoted[f]) << "field " << f;
        }
        EXPECT_EQ(fast.begin, general.begin);
        EXPECT_EQ(fast.end, general.end);
        p = le < end ? le + 1 : end;
      }
    }
  }
}

}  // namespace
}  // namespace engine::local
