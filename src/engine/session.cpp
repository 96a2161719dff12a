#include "engine/session.h"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

#include "engine/connect/connect_backend.h"
#include "engine/connect/connection.h"
#include "engine/errors.h"
#include "engine/local/io/csv_reader.h"
#include "engine/local/io/parquet_reader.h"
#include "engine/sql/parser.h"

namespace engine {

namespace {

std::mutex g_activeMutex;
std::shared_ptr<SparkSession> g_active;  // the session last created and not stopped

std::string lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool parseBool(const std::string& key, const std::string& v) {
  std::string l = lower(v);
  if (l == "true") return true;
  if (l == "false") return false;
  throw IllegalArgumentException(fmt::format("option {} must be true or false, got '{}'", key, v));
}

char singleChar(const std::string& key, const std::string& v) {
  if (v == "\\t") return '\t';
  if (v.size() != 1)
    throw IllegalArgumentException(fmt::format("option {} must be a single character, got '{}'", key, v));
  return v[0];
}

}  // namespace

// ---- Builder ------------------------------------------------------------------------------------

SparkSession::Builder& SparkSession::Builder::appName(const std::string& name) {
  conf_["spark.app.name"] = name;
  return *this;
}

SparkSession::Builder& SparkSession::Builder::master(const std::string& master) {
  conf_["spark.master"] = master;
  return *this;
}

SparkSession::Builder& SparkSession::Builder::config(const std::string& key, const std::string& value) {
  conf_[key] = value;
  return *this;
}

SparkSession::Builder& SparkSession::Builder::remote(const std::string& url) {
  remote_ = url;
  return *this;
}

std::shared_ptr<SparkSession> SparkSession::Builder::getOrCreate() {
  {
    std::lock_guard<std::mutex> lock(g_activeMutex);
    if (g_active) {
      for (const auto& [k, v] : conf_) g_active->setConf(k, v);
      return g_active;
    }
  }
  return create();
}

std::shared_ptr<SparkSession> SparkSession::Builder::create() {
  std::shared_ptr<SparkSession> s(new SparkSession(conf_));
  std::optional<std::string> url = remote_ ? remote_ : connect::remoteFromEnvironment();
  if (url) {
    s->backend_ = connect::makeConnectBackend(*s, *url);  // connects now: an unreachable server fails here
    s->remote_ = true;
  } else {
    s->backend_ = makeLocalBackend(*s);
  }
  std::lock_guard<std::mutex> lock(g_activeMutex);
  g_active = s;
  return s;
}

std::shared_ptr<SparkSession> SparkSession::getActiveSession() {
  std::lock_guard<std::mutex> lock(g_activeMutex);
  return g_active;
}

SparkSession::SparkSession(std::map<std::string, std::string> conf) : conf_(std::move(conf)), context_(*this) {
  conf_.emplace("spark.sql.session.timeZone", "UTC");
  conf_.emplace("spark.sql.ansi.enabled", "false");
}

SparkSession::~SparkSession() = default;

void SparkSession::stop() {
  {
    std::lock_guard<std::mutex> lock(g_activeMutex);
    stopped_ = true;
    if (g_active.get() == this) g_active.reset();
  }
  if (connect::Client* client = backend_ ? connect::clientOf(*backend_) : nullptr) client->releaseSession();
}

// ---- Frames -------------------------------------------------------------------------------------

DataFrame SparkSession::createDataFrame(const std::vector<Row>& rows, const StructType& schema) {
  return createDataFrame(LocalTable::fromRows(schema, rows));
}

DataFrame SparkSession::createDataFrame(const LocalTable& table) {
  auto p = std::make_shared<LocalRelationPlan>();
  p->table = std::make_shared<const LocalTable>(table);
  return DataFrame(shared_from_this(), p);
}

DataFrame SparkSession::sql(const std::string& query) { return DataFrame(shared_from_this(), sql::parseQuery(query, *this)); }

DataFrame SparkSession::range(std::int64_t end) { return range(0, end, 1, 0); }

DataFrame SparkSession::range(std::int64_t start, std::int64_t end, std::int64_t step, int numPartitions) {
  if (step == 0) throw IllegalArgumentException("requirement failed: step (0) cannot be 0");
  if (numPartitions < 0)
    throw IllegalArgumentException(fmt::format("Number of partitions ({}) must be positive.", numPartitions));
  auto p = std::make_shared<RangePlan>();
  p->start = start;
  p->end = end;
  p->step = step;
  p->numPartitions = numPartitions;
  return DataFrame(shared_from_this(), p);
}

DataFrame SparkSession::table(const std::string& viewName) {
  PlanPtr p = lookupView(viewName);
  if (!p)
    throw AnalysisException(
        fmt::format("[TABLE_OR_VIEW_NOT_FOUND] The table or view `{}` cannot be found.", viewName));
  auto alias = std::make_shared<SubqueryAliasPlan>();
  alias->inputs = {p};
  alias->alias = viewName;
  return DataFrame(shared_from_this(), alias);
}

DataFrameReader SparkSession::read() {
  // CsvOptions default to Spark's: records read line by line unless multiLine is set.
  return DataFrameReader(shared_from_this());
}

int SparkSession::defaultParallelism() const { return backend_->defaultParallelism(); }

std::string SparkSession::timeZone() const {
  auto tz = getConf("spark.sql.session.timeZone");
  return tz ? *tz : "UTC";
}

void SparkSession::createOrReplaceTempView(const std::string& name, const PlanPtr& plan) {
  std::lock_guard<std::mutex> lock(mutex_);
  views_[lower(name)] = plan;
}

PlanPtr SparkSession::lookupView(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = views_.find(lower(name));
  return it == views_.end() ? nullptr : it->second;
}

bool SparkSession::dropTempView(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  return views_.erase(lower(name)) > 0;
}

void SparkSession::setConf(const std::string& key, const std::string& value) {
  // The server first: a setting it refuses (a static one) is not kept here either.
  if (backend_) backend_->setConf(key, value);
  std::lock_guard<std::mutex> lock(mutex_);
  conf_[key] = value;
}

std::map<std::string, std::string> SparkSession::confSnapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return conf_;
}

std::optional<std::string> SparkSession::getConf(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = conf_.find(key);
  if (it == conf_.end()) return std::nullopt;
  return it->second;
}

int SparkContext::defaultParallelism() const { return session_.defaultParallelism(); }

void RuntimeConfig::set(const std::string& key, const std::string& value) { session_.setConf(key, value); }
std::optional<std::string> RuntimeConfig::get(const std::string& key) const { return session_.getConf(key); }
std::string RuntimeConfig::get(const std::string& key, const std::string& fallback) const {
  auto v = session_.getConf(key);
  return v ? *v : fallback;
}

// ---- Reader -------------------------------------------------------------------------------------

DataFrameReader& DataFrameReader::option(const std::string& key, const std::string& value) {
  std::string k = lower(key);
  if (k == "header") options_.header = parseBool(key, value);
  else if (k == "inferschema") options_.inferSchema = parseBool(key, value);
  else if (k == "sep" || k == "delimiter") options_.sep = singleChar(key, value);
  else if (k == "quote") options_.quote = value.empty() ? '\0' : singleChar(key, value);
  else if (k == "escape") options_.escape = singleChar(key, value);
  else if (k == "nullvalue") options_.nullValue = value;
  else if (k == "mode") options_.mode = value;
  else if (k == "timestampformat") options_.timestampFormat = value;
  else if (k == "dateformat") options_.dateFormat = value;
  else if (k == "multiline") options_.multiLine = parseBool(key, value);
  else if (k == "encoding" || k == "charset") options_.encoding = value;
  // Other options are accepted and ignored, as Spark does with options a source does not know.
  return *this;
}

DataFrameReader& DataFrameReader::schema(const StructType& s) {
  schema_ = s;
  return *this;
}

StructType DataFrameReader::remoteReadSchema(const PlanPtr& read, const char* format,
                                             const std::vector<std::string>& paths) const {
  if (schema_) return *schema_;
  StructType schema = session_->backend().analyze(read);
  if (schema.empty())
    throw AnalysisException(fmt::format("[UNABLE_TO_INFER_SCHEMA] Unable to infer schema for {} at {}.", format,
                                        paths.empty() ? std::string() : paths.front()));
  return schema;
}

DataFrame DataFrameReader::csv(const std::string& path, std::optional<bool> header, std::optional<bool> inferSchema) const {
  return csv(std::vector<std::string>{path}, header, inferSchema);
}

DataFrame DataFrameReader::csv(const std::vector<std::string>& paths, std::optional<bool> header,
                               std::optional<bool> inferSchema) const {
  auto p = std::make_shared<CsvScanPlan>();
  p->options = options_;
  if (header) p->options.header = *header;
  if (inferSchema) p->options.inferSchema = *inferSchema;
  if (session_->isRemote()) {
    // The paths name files the server reads; the server infers the schema (the analysis of the read).
    p->files = paths;
    p->schema = remoteReadSchema(p, "CSV", paths);
    return DataFrame(session_, p);
  }
  for (const auto& path : paths) {
    auto files = local::resolveCsvFiles(path);
    p->files.insert(p->files.end(), files.begin(), files.end());
  }
  p->schema = schema_ ? *schema_ : local::inferCsvSchema(p->files, p->options);
  return DataFrame(session_, p);
}

DataFrame DataFrameReader::parquet(const std::string& path) const { return parquet(std::vector<std::string>{path}); }

DataFrame DataFrameReader::parquet(const std::vector<std::string>& paths) const {
  auto p = std::make_shared<ParquetScanPlan>();
  p->userSchema = schema_.has_value();
  if (session_->isRemote()) {
    // The paths name files the server reads; the server reads their schema (the analysis of the read).
    p->files = paths;
    p->schema = remoteReadSchema(p, "Parquet", paths);
    return DataFrame(session_, p);
  }
  for (const auto& path : paths) {
    auto files = local::resolveParquetFiles(path);
    p->files.insert(p->files.end(), files.begin(), files.end());
  }
  p->schema = schema_ ? *schema_ : local::inferParquetSchema(p->files);
  return DataFrame(session_, p);
}

}  // namespace engine
