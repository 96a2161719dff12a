// The interface a session's backend implements: the local embedded executor (engine/local) or a
// remote Spark (Spark Connect). Backends receive logical plans and answer with schemas and results.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/local_table.h"
#include "engine/plan.h"
#include "engine/types.h"

namespace engine {

class SparkSession;

class Backend {
 public:
  virtual ~Backend() = default;
  // Resolves the plan and returns its output schema; throws AnalysisException for unresolvable plans.
  virtual StructType analyze(const PlanPtr& plan) = 0;
  // Runs the plan (one job) and returns every row of its result.
  virtual LocalTable execute(const PlanPtr& plan) = 0;
  // Number of partitions the plan's result has.
  virtual int numPartitions(const PlanPtr& plan) = 0;
  // Jobs run so far (each execute() of a plan that reads data counts one); lets tests check memoisation.
  virtual std::uint64_t jobCount() const = 0;
  virtual int defaultParallelism() const = 0;
  // A session setting changed after the session was made (spark.conf.set): a server applies it to its
  // session too. The embedded engine reads the session's settings when it runs a plan.
  virtual void setConf(const std::string& /*key*/, const std::string& /*value*/) {}
};

// The embedded columnar executor (engine/local).
std::unique_ptr<Backend> makeLocalBackend(SparkSession& session);

}  // namespace engine
