// SparkSession: entry point that owns a backend, temporary views and configuration.
#pragma once

#include <any>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/backend.h"
#include "engine/dataframe.h"
#include "engine/plan.h"
#include "engine/row.h"
#include "engine/types.h"

namespace engine {

class SparkSession;

// A read-only value shared with every worker (sparkContext.broadcast).
template <class T>
class Broadcast {
 public:
  explicit Broadcast(std::shared_ptr<const T> v) : v_(std::move(v)) {}
  const T& value() const { return *v_; }
  const std::shared_ptr<const T>& ptr() const { return v_; }

 private:
  std::shared_ptr<const T> v_;
};

class SparkContext {
 public:
  explicit SparkContext(SparkSession& s) : session_(s) {}
  template <class T>
  Broadcast<T> broadcast(T value) const {
    return Broadcast<T>(std::make_shared<const T>(std::move(value)));
  }
  int defaultParallelism() const;

 private:
  SparkSession& session_;
};

class DataFrameReader {
 public:
  explicit DataFrameReader(std::shared_ptr<SparkSession> s) : session_(std::move(s)) {}
  DataFrameReader& option(const std::string& key, const std::string& value);
  // A string literal must not take the bool overload (a pointer converts to bool before it converts to a
  // std::string).
  DataFrameReader& option(const std::string& key, const char* value) { return option(key, std::string(value)); }
  DataFrameReader& option(const std::string& key, bool value) { return option(key, std::string(value ? "true" : "false")); }
  DataFrameReader& schema(const StructType& s);
  // A file or a directory of part files (every non-hidden file in it, in name order).
  DataFrame csv(const std::string& path, std::optional<bool> header = std::nullopt,
                std::optional<bool> inferSchema = std::nullopt) const;
  DataFrame csv(const std::vector<std::string>& paths, std::optional<bool> header = std::nullopt,
                std::optional<bool> inferSchema = std::nullopt) const;
  // Parquet files: a file or a folder of part files (every visible file in it, in name order). The schema is
  // the first file's unless one was given.
  DataFrame parquet(const std::string& path) const;
  DataFrame parquet(const std::vector<std::string>& paths) const;

 private:
  // A remote read's schema: the one given, else the server's analysis of the read.
  StructType remoteReadSchema(const PlanPtr& read, const char* format,
                              const std::vector<std::string>& paths) const;

  std::shared_ptr<SparkSession> session_;
  CsvOptions options_;
  std::optional<StructType> schema_;
};

class RuntimeConfig {
 public:
  explicit RuntimeConfig(SparkSession& s) : session_(s) {}
  void set(const std::string& key, const std::string& value);
  std::optional<std::string> get(const std::string& key) const;
  std::string get(const std::string& key, const std::string& fallback) const;

 private:
  SparkSession& session_;
};

class SparkSession : public std::enable_shared_from_this<SparkSession> {
 public:
  class Builder {
   public:
    Builder& appName(const std::string& name);
    Builder& master(const std::string& master);  // "local", "local[n]", "local[*]"
    Builder& config(const std::string& key, const std::string& value);
    // Runs the session's frames on a Spark server through Spark Connect ("sc://host:port/;token=...").
    // Without it, the SPARK_REMOTE environment variable names the server when set; else the session runs
    // on the embedded engine.
    Builder& remote(const std::string& url);
    // The active session if there is one (its configuration updated), else a new session.
    std::shared_ptr<SparkSession> getOrCreate();
    // Always a new session (it becomes the active one).
    std::shared_ptr<SparkSession> create();

   private:
    std::map<std::string, std::string> conf_;
    std::optional<std::string> remote_;
  };
  static Builder builder() { return Builder(); }
  // The session this process last created and has not stopped, or null.
  static std::shared_ptr<SparkSession> getActiveSession();

  ~SparkSession();
  void stop();

  DataFrame createDataFrame(const std::vector<Row>& rows, const StructType& schema);
  DataFrame createDataFrame(const LocalTable& table);
  DataFrame sql(const std::string& query);
  DataFrame range(std::int64_t end);
  DataFrame range(std::int64_t start, std::int64_t end, std::int64_t step = 1, int numPartitions = 0);
  DataFrame table(const std::string& viewName);
  DataFrameReader read();
  SparkContext& sparkContext() { return context_; }
  RuntimeConfig conf() { return RuntimeConfig(*this); }

  Backend& backend() { return *backend_; }
  // True when the frames run on a Spark server (Spark Connect); paths then name files the server reads.
  bool isRemote() const { return remote_; }
  int defaultParallelism() const;
  // The session time zone ("spark.sql.session.timeZone", default UTC).
  std::string timeZone() const;

  // Temporary views.
  void createOrReplaceTempView(const std::string& name, const PlanPtr& plan);
  // The plan registered under that name (case-insensitive), or null.
  PlanPtr lookupView(const std::string& name) const;
  bool dropTempView(const std::string& name);

  // Configuration (spark.sql.* keys); values are text.
  void setConf(const std::string& key, const std::string& value);
  std::optional<std::string> getConf(const std::string& key) const;
  // Every setting of the session, copied.
  std::map<std::string, std::string> confSnapshot() const;

 private:
  SparkSession(std::map<std::string, std::string> conf);
  mutable std::mutex mutex_;
  std::map<std::string, std::string> conf_;
  std::map<std::string, PlanPtr> views_;  // lower-cased name -> plan
  SparkContext context_;
  std::unique_ptr<Backend> backend_;
  bool stopped_ = false;
  bool remote_ = false;
};

}  // namespace engine
