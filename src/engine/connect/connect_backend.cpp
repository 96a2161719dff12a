#include "engine/connect/connect_backend.h"

#include <atomic>
#include <map>
#include <mutex>

#include <fmt/format.h>

#include "engine/connect/arrow_ipc.h"
#include "engine/connect/plan_translation.h"
#include "engine/connect/type_translation.h"
#include "engine/errors.h"
#include "engine/session.h"

namespace engine::connect {

namespace sc = spark::connect;

namespace {

sc::StorageLevel storageLevel(const std::string& name) {
  sc::StorageLevel l;
  l.set_replication(1);
  std::string n = name;
  for (char& c : n) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (n.ends_with("_2")) {
    l.set_replication(2);
    n.resize(n.size() - 2);
  }
  if (n == "MEMORY_ONLY") {
    l.set_use_memory(true);
    l.set_deserialized(true);
  } else if (n == "MEMORY_ONLY_SER") {
    l.set_use_memory(true);
  } else if (n == "DISK_ONLY") {
    l.set_use_disk(true);
  } else if (n == "MEMORY_AND_DISK_SER") {
    l.set_use_disk(true);
    l.set_use_memory(true);
  } else if (n == "OFF_HEAP") {
    l.set_use_disk(true);
    l.set_use_memory(true);
    l.set_use_off_heap(true);
  } else {  // MEMORY_AND_DISK (the default of persist() and cache()), MEMORY_AND_DISK_DESER
    l.set_use_disk(true);
    l.set_use_memory(true);
    l.set_deserialized(true);
  }
  return l;
}

sc::Expression column(const std::string& name) {
  sc::Expression e;
  e.mutable_unresolved_attribute()->set_unparsed_identifier(name);
  return e;
}

sc::Expression call(const std::string& fn, std::vector<sc::Expression> args) {
  sc::Expression e;
  auto* f = e.mutable_unresolved_function();
  f->set_function_name(fn);
  for (auto& a : args) *f->add_arguments() = std::move(a);
  return e;
}

sc::Expression alias(sc::Expression e, const std::string& name) {
  sc::Expression out;
  *out.mutable_alias()->mutable_expr() = std::move(e);
  out.mutable_alias()->add_name(name);
  return out;
}

class ConnectBackend : public Backend {
 public:
  ConnectBackend(SparkSession& session, ConnectionString connection, ClientOptions options)
      : session_(session), client_(std::move(connection), options) {
    // The server's defaults differ from the embedded engine's (ANSI mode is on in Spark 4): set what the
    // answers depend on, so that both backends agree.
    std::vector<std::pair<std::string, std::string>> pairs = {{"spark.sql.ansi.enabled", "false"},
                                                              {"spark.sql.session.timeZone", session.timeZone()}};
    // The SQL settings the builder was given apply on the server as well (as pyspark's builder does).
    for (const auto& [key, value] : session.confSnapshot())
      if (key.starts_with("spark.sql.") && key != "spark.sql.ansi.enabled" && key != "spark.sql.session.timeZone")
        pairs.emplace_back(key, value);
    client_.setConfig(pairs);
  }

  void setConf(const std::string& key, const std::string& value) override { client_.setConfig({{key, value}}); }

  ~ConnectBackend() override { stop(); }

  StructType analyze(const PlanPtr& plan) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (auto it = schemas_.find(plan->id); it != schemas_.end()) return it->second;
    }
    TranslationContext ctx(session_);
    StructType schema = fromProtoSchema(client_.schema(toRelation(plan, ctx)));
    std::lock_guard<std::mutex> lock(mutex_);
    if (schemas_.size() > 4096) schemas_.clear();  // plans are immutable: a bounded memo of their schemas
    schemas_.emplace(plan->id, schema);
    return schema;
  }

  LocalTable execute(const PlanPtr& plan) override {
    persistPending(plan);
    TranslationContext ctx(session_);
    sc::Plan request;
    *request.mutable_root() = toRelation(plan, ctx);
    ExecuteResult result = client_.execute(request);
    jobs_.fetch_add(1, std::memory_order_relaxed);
    StructType schema = result.schema ? fromProtoSchema(*result.schema) : analyze(plan);
    return arrowIpcToLocalTable(result.arrowBatches, schema);
  }

  // Spark Connect has no call for a plan's partition count (pyspark's rdd API is not available on it):
  // it is answered by a small query, max(spark_partition_id()) + 1 over the plan's rows. Trailing empty
  // partitions are not seen by it; a plan without rows has 0 partitions here.
  int numPartitions(const PlanPtr& plan) override {
    persistPending(plan);
    TranslationContext ctx(session_);
    sc::Relation input = toRelation(plan, ctx);
    return partitionsOf(std::move(input));
  }

  std::uint64_t jobCount() const override { return jobs_.load(std::memory_order_relaxed); }

  // The server's default parallelism: the partition count of a range without an explicit one (Spark
  // splits such a range over sparkContext.defaultParallelism), asked once.
  int defaultParallelism() const override {
    std::lock_guard<std::mutex> lock(parallelismMutex_);
    if (parallelism_ == 0) {
      sc::Relation range;
      range.mutable_range()->set_start(0);
      range.mutable_range()->set_end(1 << 20);
      range.mutable_range()->set_step(1);
      parallelism_ = std::max(1, const_cast<ConnectBackend*>(this)->partitionsOf(std::move(range)));
    }
    return parallelism_;
  }

  void stop() {
    client_.releaseSession();
  }

  Client& client() { return client_; }

 private:
  int partitionsOf(sc::Relation input) {
    sc::Relation project;
    *project.mutable_project()->mutable_input() = std::move(input);
    *project.mutable_project()->add_expressions() = alias(call("spark_partition_id", {}), "p");
    sc::Relation agg;
    auto* a = agg.mutable_aggregate();
    *a->mutable_input() = std::move(project);
    a->set_group_type(sc::Aggregate::GROUP_TYPE_GROUPBY);
    *a->add_aggregate_expressions() = alias(call("max", {column("p")}), "m");
    sc::Plan request;
    *request.mutable_root() = std::move(agg);
    ExecuteResult result = client_.execute(request);
    StructType schema;
    schema.add("m", DataType(TypeId::Integer));
    LocalTable t = arrowIpcToLocalTable(result.arrowBatches, schema);
    if (t.numRows() != 1 || t.column(0).isNull(0)) return 0;
    return t.column(0).data<std::int32_t>()[0] + 1;
  }

  // Persisted frames in the plan that are not yet in the server's cache are persisted there (children
  // first), once per persist() call: later plans that contain them read Spark's cache.
  void persistPending(const PlanPtr& plan) {
    for (const PlanPtr& in : plan->inputs) persistPending(in);
    if (plan->kind != PlanKind::Persist) return;
    const auto& p = static_cast<const PersistPlan&>(*plan);
    if (!p.slot) return;
    std::lock_guard<std::mutex> lock(p.slot->mutex);
    if (p.slot->filled) return;
    TranslationContext ctx(session_);
    client_.persist(toRelation(plan, ctx), storageLevel(p.storageLevel));
    p.slot->filled = true;
  }

  SparkSession& session_;
  Client client_;
  std::atomic<std::uint64_t> jobs_{0};
  std::mutex mutex_;
  std::map<std::int64_t, StructType> schemas_;
  mutable std::mutex parallelismMutex_;
  mutable int parallelism_ = 0;
};

}  // namespace

std::unique_ptr<Backend> makeConnectBackend(SparkSession& session, const std::string& url, ClientOptions options) {
  return std::make_unique<ConnectBackend>(session, ConnectionString::parse(url), options);
}

void unpersistOnServer(SparkSession& session, const PlanPtr& persisted) {
  Client* client = clientOf(session.backend());
  if (client == nullptr) return;
  TranslationContext ctx(session);
  client->unpersist(toRelation(persisted, ctx));
}

Client* clientOf(Backend& backend) {
  auto* b = dynamic_cast<ConnectBackend*>(&backend);
  return b ? &b->client() : nullptr;
}

}  // namespace engine::connect
