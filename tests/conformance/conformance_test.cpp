// Conformance with Apache Spark: every scenario of tests/conformance/scenarios/<topic>.json runs on the
// local engine and its result (schema names and types, rows) is compared with the answer Spark gave,
// recorded in tests/conformance/golden/<topic>.json by scripts/spark_conformance.py. Spark is not needed
// here. Each scenario is its own test case, named <topic>_<scenario>.
//
// Scenarios marked "phase": 2 cover features of the next stage; they are skipped unless NORQ_CONFORMANCE_ALL=1
// is set. Scenarios marked "pending": "<what is missing>" are skipped with that reason.
#include <gtest/gtest.h>

#include "../test_backend.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "conformance_values.h"
#include "engine/engine.h"

namespace {

namespace fs = std::filesystem;
using conformance::json;
using engine::Column;
using engine::ColumnOrName;
using engine::DataFrame;
using engine::SparkSession;

fs::path conformanceDir() { return fs::path(NORQ_SOURCE_DIR) / "tests" / "conformance"; }

struct Topic {
  std::string name;
  json tables = json::array();
  json conf = json::object();  // session settings of the topic (file partitioning)
};

struct Case {
  std::shared_ptr<const Topic> topic;
  std::string name;
  json scenario;
  json golden;            // the recorded answer; null when there is none
  std::string problem;    // why the files cannot be used (missing or stale golden answer, unreadable file)
};

// Test listings name the scenario instead of dumping the parameter's bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.topic->name << "/" << c.name; }

json readJson(const fs::path& p) {
  std::ifstream in(p);
  if (!in) throw std::runtime_error("cannot open " + p.string());
  return json::parse(in);
}

const char* kRerun = "; rerun python3 scripts/spark_conformance.py";

// "pending" and "phase" mark scenarios whose feature the engine does not have yet, "embedded_only" those the
// Spark Connect client cannot send; they are not part of what Spark ran.
json withoutAnnotations(json sc) {
  sc.erase("pending");
  sc.erase("embedded_only");
  sc.erase("phase");
  return sc;
}

std::vector<Case> loadCases() {
  std::vector<Case> cases;
  std::vector<fs::path> files;
  const fs::path dir = conformanceDir() / "scenarios";
  if (fs::is_directory(dir))
    for (const auto& e : fs::directory_iterator(dir))
      if (e.path().extension() == ".json") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    auto topic = std::make_shared<Topic>();
    topic->name = file.stem().string();
    json spec, golden;
    try {
      spec = readJson(file);
    } catch (const std::exception& e) {
      cases.push_back({topic, "unreadable", json(), json(), std::string("cannot read scenario file: ") + e.what()});
      continue;
    }
    topic->tables = spec.value("tables", json::array());
    topic->conf = spec.value("conf", json::object());
    std::string goldenProblem;
    const fs::path goldenPath = conformanceDir() / "golden" / file.filename();
    try {
      golden = readJson(goldenPath);
      if (golden.value("tables", json::array()) != topic->tables)
        goldenProblem = "the golden file was recorded with other input tables";
      else if (golden.value("conf", json::object()) != topic->conf)
        goldenProblem = "the golden file was recorded with other session settings";
    } catch (const std::exception& e) {
      goldenProblem = std::string("no readable golden file ") + goldenPath.string() + ": " + e.what();
    }
    std::map<std::string, json> answers;
    if (goldenProblem.empty())
      for (const auto& entry : golden["scenarios"]) answers[entry["name"].get<std::string>()] = entry;
    for (const auto& sc : spec["scenarios"]) {
      Case c{topic, sc.value("name", std::string("unnamed")), sc, json(), goldenProblem};
      if (c.problem.empty()) {
        auto it = answers.find(c.name);
        if (it == answers.end())
          c.problem = "no golden answer for this scenario";
        else if (withoutAnnotations(it->second["scenario"]) != withoutAnnotations(sc))
          c.problem = "the golden answer was recorded for a different version of this scenario";
        else
          c.golden = it->second;
      }
      if (!c.problem.empty()) c.problem += kRerun;
      cases.push_back(std::move(c));
    }
  }
  return cases;
}

std::string testName(const testing::TestParamInfo<Case>& info) {
  std::string n = info.param.topic->name + "_" + info.param.name;
  for (char& ch : n)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
}

// One session for the whole run, configured as the reference Spark was.
// On the embedded engine, or on a Spark Connect server when the scenarios run through that backend.
std::shared_ptr<SparkSession> session() { return test_backend::session("conformance"); }

DataFrame makeTable(const json& t) {
  auto s = session();
  if (t.contains("csv")) {
    auto reader = s->read();
    reader.option("header", "true").option("inferSchema", "true");
    const json options = t.value("options", json::object());
    for (const auto& [key, value] : options.items()) {
      if (value.is_boolean())
        reader.option(key, value.get<bool>());
      else
        reader.option(key, value.is_string() ? value.get<std::string>() : value.dump());
    }
    return reader.csv((conformanceDir() / "csv" / t["csv"].get<std::string>()).string());
  }
  if (t.contains("parquet")) return s->read().parquet((conformanceDir() / "parquet" / t["parquet"].get<std::string>()).string());
  engine::StructType schema;
  std::vector<engine::DataType> types;
  for (const auto& f : t["schema"]) {
    types.push_back(conformance::parseTypeName(f[1].get<std::string>()));
    schema.add(f[0].get<std::string>(), types.back());
  }
  std::vector<engine::Row> rows;
  for (const auto& r : t["rows"]) {
    if (r.size() != types.size()) throw std::invalid_argument("table " + t["name"].dump() + ": bad row " + r.dump());
    std::vector<engine::Value> values;
    for (std::size_t i = 0; i < types.size(); ++i) values.push_back(conformance::inputValue(r[i], types[i]));
    rows.emplace_back(std::move(values));
  }
  return s->createDataFrame(rows, schema);
}

// Registers the topic's tables as temporary views (other topics may use the same names).
// The session settings a topic may change (how files are cut into partitions); the others keep Spark's
// defaults, also after a topic that changed them.
const std::map<std::string, std::string> kTopicConfDefaults = {
    {"spark.sql.files.maxPartitionBytes", "134217728"},
    {"spark.sql.files.openCostInBytes", "4194304"},
};

void registerTables(const Topic& topic) {
  for (const auto& [key, fallback] : kTopicConfDefaults)
    session()->conf().set(key, topic.conf.contains(key) ? topic.conf[key].get<std::string>() : fallback);
  for (const auto& t : topic.tables) makeTable(t).createOrReplaceTempView(t["name"].get<std::string>());
}

// ---- The DataFrame DSL (the same ops as scripts/spark_conformance.py) ----

using namespace engine::functions;

Column sortKey(const json& spec) {
  if (spec.is_string()) return col(spec.get<std::string>());
  Column c = expr(spec["expr"].get<std::string>());
  const bool desc = spec.value("desc", false);
  if (!spec.contains("nulls")) return desc ? c.desc() : c.asc();
  const bool first = spec["nulls"] == "first";
  if (desc) return first ? c.desc_nulls_first() : c.desc_nulls_last();
  return first ? c.asc_nulls_first() : c.asc_nulls_last();
}

std::vector<std::string> strings(const json& j) { return j.get<std::vector<std::string>>(); }

std::vector<Column> exprs(const json& j) {
  std::vector<Column> out;
  for (const auto& e : j) out.push_back(expr(e.get<std::string>()));
  return out;
}

struct OpsResult {
  std::optional<DataFrame> frame;
  std::int64_t count = 0;  // the result of a final count op
  bool partitions = false;  // the final op was numPartitions: `count` holds the partition count
};

OpsResult applyOps(DataFrame df, const json& ops);

// The frame a DSL spec starts from (a view name, SQL text or a range), before its ops.
DataFrame baseFrame(const json& spec) {
  auto s = session();
  if (spec.is_string()) return s->table(spec.get<std::string>());
  if (spec.contains("from_sql")) return s->sql(spec["from_sql"].get<std::string>());
  if (spec.contains("from_range")) {
    auto r = spec["from_range"].get<std::vector<std::int64_t>>();
    if (r.size() == 1) return s->range(r[0]);
    return s->range(r[0], r[1], r.size() > 2 ? r[2] : 1);
  }
  return s->table(spec["from"].get<std::string>());
}

DataFrame sourceFrame(const json& spec) {
  if (spec.is_string()) return baseFrame(spec);
  OpsResult res = applyOps(baseFrame(spec), spec.value("ops", json::array()));
  if (!res.frame) throw std::invalid_argument("a count op cannot feed another frame");
  return *res.frame;
}

OpsResult applyOps(DataFrame df, const json& ops) {
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const json& op = ops[i];
    const std::string kind = op["op"].get<std::string>();
    if (kind == "select") {
      df = df.select(strings(op["cols"]));
    } else if (kind == "selectExpr") {
      df = df.selectExpr(strings(op["exprs"]));
    } else if (kind == "filter" || kind == "where") {
      df = df.filter(op["expr"].get<std::string>());
    } else if (kind == "withColumn") {
      df = df.withColumn(op["name"].get<std::string>(), expr(op["expr"].get<std::string>()));
    } else if (kind == "withColumnRenamed") {
      df = df.withColumnRenamed(op["existing"].get<std::string>(), op["new"].get<std::string>());
    } else if (kind == "drop") {
      df = df.drop(strings(op["cols"]));
    } else if (kind == "dropna") {
      std::optional<int> thresh;
      if (op.contains("thresh")) thresh = op["thresh"].get<int>();
      df = df.na().drop(op.value("how", std::string("any")), thresh,
                        op.contains("subset") ? strings(op["subset"]) : std::vector<std::string>{});
    } else if (kind == "dropDuplicates") {
      df = op.contains("subset") ? df.dropDuplicates(strings(op["subset"])) : df.dropDuplicates();
    } else if (kind == "distinct") {
      df = df.distinct();
    } else if (kind == "limit") {
      df = df.limit(op["n"].get<std::int64_t>());
    } else if (kind == "offset") {
      df = df.offset(op["n"].get<std::int64_t>());
    } else if (kind == "orderBy") {
      std::vector<ColumnOrName> keys;
      for (const auto& k : op["keys"]) keys.emplace_back(sortKey(k));
      df = df.orderBy(keys);
    } else if (kind == "groupBy") {
      std::vector<ColumnOrName> cols;
      for (const auto& c : op["cols"]) cols.emplace_back(expr(c.get<std::string>()));
      auto grouped = df.groupBy(cols);
      df = op.contains("aggs") ? grouped.agg(exprs(op["aggs"])) : grouped.count();
    } else if (kind == "agg") {
      df = df.agg(exprs(op["aggs"]));
    } else if (kind == "join") {
      DataFrame other = sourceFrame(op["other"]);
      const std::string how = op.value("how", std::string("inner"));
      if (op.contains("on_expr"))
        df = df.join(other, engine::JoinOn(expr(op["on_expr"].get<std::string>())), how);
      else if (op.contains("on"))
        df = df.join(other, engine::JoinOn(strings(op["on"])), how);
      else
        df = df.join(other, engine::JoinOn(), how);
    } else if (kind == "crossJoin") {
      df = df.crossJoin(sourceFrame(op["other"]));
    } else if (kind == "union" || kind == "unionAll") {
      df = df.union_(sourceFrame(op["other"]));
    } else if (kind == "unionByName") {
      df = df.unionByName(sourceFrame(op["other"]));
    } else if (kind == "exceptAll") {
      df = df.exceptAll(sourceFrame(op["other"]));
    } else if (kind == "subtract") {
      df = df.subtract(sourceFrame(op["other"]));
    } else if (kind == "intersect") {
      df = df.intersect(sourceFrame(op["other"]));
    } else if (kind == "alias") {
      df = df.alias(op["name"].get<std::string>());
    } else if (kind == "randomSplit") {
      df = df.randomSplit(op["weights"].get<std::vector<double>>(), op["seed"].get<std::int64_t>())
               .at(op["index"].get<std::size_t>());
    } else if (kind == "count") {
      if (i + 1 != ops.size()) throw std::invalid_argument("count must be the last op");
      return OpsResult{std::nullopt, df.count()};
    } else if (kind == "numPartitions") {
      if (i + 1 != ops.size()) throw std::invalid_argument("numPartitions must be the last op");
      return OpsResult{std::nullopt, df.rdd().getNumPartitions(), true};
    } else {
      throw std::invalid_argument("unknown op " + kind);
    }
  }
  return OpsResult{df, 0};
}

// ---- Running one scenario ----

struct Outcome {
  json schema = json::array();  // [[name, simpleString], ...]
  std::vector<engine::DataType> types;
  json rows = json::array();
};

Outcome run(const json& sc) {
  Outcome out;
  std::optional<DataFrame> df;
  if (sc.contains("sql")) {
    df = session()->sql(sc["sql"].get<std::string>());
  } else {
    OpsResult res = applyOps(baseFrame(sc), sc.value("ops", json::array()));
    if (!res.frame) {
      out.schema = json::array({json::array({res.partitions ? "partitions" : "count", res.partitions ? "int" : "bigint"})});
      out.types = {res.partitions ? engine::DataType(engine::IntegerType()) : engine::DataType(engine::LongType())};
      out.rows = json::array({json::array({res.count})});
      return out;
    }
    df = res.frame;
  }
  const engine::StructType schema = df->schema();
  for (const auto& f : schema.fields()) {
    out.schema.push_back(json::array({f.name, f.dataType.simpleString()}));
    out.types.push_back(f.dataType);
  }
  for (const auto& row : df->collect()) {
    json r = json::array();
    for (const auto& v : row.values()) r.push_back(conformance::outputJson(v));
    out.rows.push_back(std::move(r));
  }
  return out;
}

// Whether an engine error is the kind Spark raised. Spark's ParseException is an AnalysisException.
bool errorMatches(const std::string& expected, const std::exception& e) {
  if (expected == "ParseException") return dynamic_cast<const engine::ParseException*>(&e) != nullptr;
  if (expected == "AnalysisException")
    return dynamic_cast<const engine::AnalysisException*>(&e) != nullptr ||
           dynamic_cast<const engine::ParseException*>(&e) != nullptr;
  if (expected == "IllegalArgumentException")
    return dynamic_cast<const engine::IllegalArgumentException*>(&e) != nullptr;
  // Errors raised while a query runs (SparkRuntimeException, SparkException): the engine's execution errors.
  // Py4JJavaError: a Java exception (IllegalStateException, SparkException) raised while the query ran.
  if (expected == "SparkRuntimeException" || expected == "SparkException" || expected == "Py4JJavaError")
    return dynamic_cast<const engine::ExecutionException*>(&e) != nullptr;
  return false;
}

std::string errorKind(const std::exception& e) {
  if (dynamic_cast<const engine::ParseException*>(&e)) return "ParseException";
  if (dynamic_cast<const engine::AnalysisException*>(&e)) return "AnalysisException";
  if (dynamic_cast<const engine::IllegalArgumentException*>(&e)) return "IllegalArgumentException";
  if (dynamic_cast<const engine::ExecutionException*>(&e)) return "ExecutionException";
  if (dynamic_cast<const engine::EngineError*>(&e)) return "EngineError";
  return "std::exception (not an engine error)";
}

std::string describe(const json& sc) {
  if (sc.contains("sql")) return "SQL: " + sc["sql"].get<std::string>();
  json src = sc;
  src.erase("name");
  return "DataFrame ops: " + src.dump();
}

class Conformance : public testing::TestWithParam<Case> {};

TEST_P(Conformance, MatchesSpark) {
  const Case& c = GetParam();
  ASSERT_TRUE(c.problem.empty()) << c.problem;
  const json& sc = c.scenario;
  if (sc.contains("pending")) GTEST_SKIP() << "not implemented yet: " << sc["pending"].get<std::string>();
  // "embedded_only": what the Spark Connect client cannot send (it fails there with an error naming it).
  if (sc.contains("embedded_only") && test_backend::remote())
    GTEST_SKIP() << "embedded engine only: " << sc["embedded_only"].get<std::string>();
  if (sc.value("phase", 1) >= 2) {
    const char* all = std::getenv("NORQ_CONFORMANCE_ALL");
    if (!all || std::string(all) != "1") GTEST_SKIP() << "a later phase's feature (set NORQ_CONFORMANCE_ALL=1)";
  }
  SCOPED_TRACE(describe(sc));
  try {
    registerTables(*c.topic);
  } catch (const std::exception& e) {
    FAIL() << "could not create the input tables: " << errorKind(e) << ": " << e.what();
  }

  const json& golden = c.golden;
  if (golden.contains("error")) {
    const std::string expected = golden["error"].get<std::string>();
    try {
      Outcome out = run(sc);
      FAIL() << "Spark raised " << expected << " (" << golden.value("error_condition", std::string("?"))
             << ") but the engine succeeded with schema " << out.schema.dump() << " and " << out.rows.size()
             << " rows";
    } catch (const std::exception& e) {
      EXPECT_TRUE(errorMatches(expected, e))
          << "Spark raised " << expected << " (" << golden.value("error_condition", std::string("?"))
          << "); the engine raised " << errorKind(e) << ": " << e.what();
      // "match_condition": the engine must also name Spark's error condition, e.g. [UNRESOLVED_ROUTINE].
      if (sc.value("match_condition", false) && golden.contains("error_condition")) {
        const std::string condition = "[" + golden["error_condition"].get<std::string>();
        EXPECT_NE(std::string(e.what()).find(condition), std::string::npos)
            << "Spark raised " << condition << "]; the engine raised: " << e.what();
      }
    }
    return;
  }

  Outcome out;
  try {
    out = run(sc);
  } catch (const std::exception& e) {
    FAIL() << "the engine raised " << errorKind(e) << ": " << e.what();
  }

  const json& expectedSchema = golden["schema"];
  EXPECT_EQ(out.schema, expectedSchema) << "schema differs (column names and Spark simpleString types)\n"
                                        << "  expected: " << expectedSchema.dump() << "\n  actual:   "
                                        << out.schema.dump();

  // Rows are read with Spark's column types, so a type difference reported above does not also turn every
  // value into a mismatch when the values agree.
  std::vector<engine::DataType> types;
  for (const auto& f : expectedSchema) types.push_back(conformance::parseTypeName(f[1].get<std::string>()));
  if (types.size() != out.types.size()) {
    ADD_FAILURE() << "column count differs: expected " << types.size() << ", got " << out.types.size()
                  << "; rows: " << out.rows.dump();
    return;
  }
  const std::string diff = conformance::compareRows(golden["rows"], out.rows, types, sc.value("tolerance", 0.0),
                                                    sc.value("ordered", false));
  EXPECT_TRUE(diff.empty()) << diff;
}

INSTANTIATE_TEST_SUITE_P(Spark, Conformance, testing::ValuesIn(loadCases()), testName);

// Every golden answer belongs to a current scenario: a renamed or deleted scenario leaves none behind.
TEST(ConformanceFiles, GoldenFilesHaveNoOrphans) {
  const fs::path goldenDir = conformanceDir() / "golden";
  ASSERT_TRUE(fs::is_directory(goldenDir)) << goldenDir;
  std::size_t files = 0;
  for (const auto& e : fs::directory_iterator(goldenDir)) {
    if (e.path().extension() != ".json") continue;
    ++files;
    const fs::path scenarioPath = conformanceDir() / "scenarios" / e.path().filename();
    ASSERT_TRUE(fs::exists(scenarioPath)) << "golden file without scenarios: " << e.path();
    const json golden = readJson(e.path());
    const json spec = readJson(scenarioPath);
    std::vector<std::string> names;
    for (const auto& sc : spec["scenarios"]) names.push_back(sc["name"].get<std::string>());
    for (const auto& entry : golden["scenarios"]) {
      const std::string n = entry["name"].get<std::string>();
      EXPECT_NE(std::find(names.begin(), names.end(), n), names.end())
          << e.path().filename() << ": golden answer for a scenario that no longer exists: " << n << kRerun;
    }
  }
  EXPECT_GT(files, 0u);
}

}  // namespace
