// The embedded backend: resolves plans with the planner (memoised per plan node, since plans are
// immutable) and runs them on a task arena sized to the session's parallelism.
#include <malloc.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <string>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <tbb/task_arena.h>

#include "engine/backend.h"
#include "engine/errors.h"
#include "engine/local/plan/planner.h"
#include "engine/session.h"

namespace engine {
namespace local {

namespace {

// The machine's hardware threads, read once: glibc reads them from /sys on every call, which cost more than
// planning a small query.
int hardwareThreads() {
  static const int n = static_cast<int>(std::thread::hardware_concurrency());
  return n;
}

// Parallelism for a master URL: local -> 1, local[n] -> n, local[*] (or none) -> the hardware threads, at
// least 2.
int parallelismFor(const std::optional<std::string>& master) {
  int hw = hardwareThreads();
  int machine = std::max(2, hw);
  if (!master) return machine;
  const std::string& m = *master;
  if (m == "local") return 1;
  auto open = m.find('[');
  auto close = m.find(']');
  if (m.rfind("local", 0) == 0 && open != std::string::npos && close != std::string::npos && close > open + 1) {
    std::string inner = m.substr(open + 1, close - open - 1);
    auto comma = inner.find(',');  // local[n, maxFailures]
    if (comma != std::string::npos) inner = inner.substr(0, comma);
    if (inner == "*") return machine;
    try {
      int n = std::stoi(inner);
      if (n > 0) return n;
    } catch (const std::exception&) {
    }
    throw IllegalArgumentException("Invalid master URL: " + m);
  }
  return machine;
}

// Spark's byte-size settings: a number with an optional unit (b, k/kb, m/mb, g/gb, t/tb, p/pb; binary
// multiples), no unit meaning bytes.
std::int64_t parseBytes(const std::string& key, const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  std::size_t digits = i;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  std::string unit;
  for (std::size_t j = digits; j < text.size(); ++j) {
    if (!std::isspace(static_cast<unsigned char>(text[j]))) unit.push_back(static_cast<char>(std::tolower(text[j])));
  }
  static const std::pair<const char*, int> kUnits[] = {{"", 0},   {"b", 0},   {"k", 10},  {"kb", 10}, {"m", 20},
                                                       {"mb", 20}, {"g", 30}, {"gb", 30}, {"t", 40},  {"tb", 40},
                                                       {"p", 50},  {"pb", 50}};
  int shift = -1;
  for (const auto& [name, s] : kUnits) {
    if (unit == name) shift = s;
  }
  std::int64_t value = 0;
  bool ok = digits > i && shift >= 0 && digits - i <= 18;
  if (ok) {
    value = std::stoll(text.substr(i, digits - i));
    ok = value <= (std::numeric_limits<std::int64_t>::max() >> shift);
  }
  if (!ok) {
    throw IllegalArgumentException(key + " should be specified in bytes (for example 134217728, 128m or 128MB), but was " +
                                   text + ".");
  }
  return value << shift;
}

}  // namespace

class LocalBackend final : public Backend {
 public:
  explicit LocalBackend(SparkSession& session) : session_(session) {}

  StructType analyze(const PlanPtr& plan) override { return resolve(plan)->schema(); }

  LocalTable execute(const PlanPtr& plan) override {
    NodePtr node = resolve(plan);
    jobs_.fetch_add(1, std::memory_order_relaxed);
    std::vector<DataType> types = node->types();
    // A table in memory comes back as it is (cutting it into partitions and joining them again would copy it twice).
    std::optional<Batch> shared = inMemoryResult(*node);
    Batch all;
    if (shared) {
      all = std::move(*shared);
    } else {
      Runner runner(context());
      Partitions parts;
      arena()->execute([&] { parts = runner.run(*node); });
      all = parts.size() == 1 ? std::move(parts[0]) : concatBatches(parts, types);
    }
    if (all.columns.size() != types.size()) {
      throw ExecutionException("internal error: result has " + std::to_string(all.columns.size()) +
                               " columns, expected " + std::to_string(types.size()));
    }
    return LocalTable(node->schema(), std::move(all.columns), all.rows);
  }

  int numPartitions(const PlanPtr& plan) override {
    NodePtr node = resolve(plan);
    Runner runner(context());
    int n = 0;
    arena()->execute([&] { n = runner.partitionCount(*node); });
    return n;
  }

  std::uint64_t jobCount() const override { return jobs_.load(std::memory_order_relaxed); }

  int defaultParallelism() const override { return parallelismFor(session_.getConf("spark.master")); }

 private:
  static constexpr std::size_t kCacheSize = 1024;

  ExecContext context() const {
    ExecContext ctx;
    ctx.eval.timeZone = session_.timeZone();
    ctx.parallelism = defaultParallelism();
    if (auto v = session_.getConf("spark.sql.files.maxPartitionBytes"))
      ctx.files.maxPartitionBytes = parseBytes("spark.sql.files.maxPartitionBytes", *v);
    if (auto v = session_.getConf("spark.sql.files.openCostInBytes"))
      ctx.files.openCostInBytes = parseBytes("spark.sql.files.openCostInBytes", *v);
    if (ctx.files.maxPartitionBytes <= 0)
      throw IllegalArgumentException("spark.sql.files.maxPartitionBytes must be positive.");
    if (auto v = session_.getConf("spark.sql.files.minPartitionNum")) {
      std::int64_t n = 0;
      try {
        n = std::stoll(*v);
      } catch (const std::exception&) {
        n = 0;
      }
      if (n <= 0) throw IllegalArgumentException("spark.sql.files.minPartitionNum must be positive, but was " + *v + ".");
      ctx.files.minPartitionNum = static_cast<int>(std::min<std::int64_t>(n, 1 << 20));
    } else if (auto leaf = session_.getConf("spark.sql.leafNodeDefaultParallelism")) {
      try {
        ctx.files.minPartitionNum = std::max(1, std::stoi(*leaf));
      } catch (const std::exception&) {
        throw IllegalArgumentException("spark.sql.leafNodeDefaultParallelism must be a positive integer, but was " +
                                       *leaf + ".");
      }
    }
    return ctx;
  }

  // Shared so that a job still running in an arena keeps it alive when local[n] changes meanwhile.
  std::shared_ptr<tbb::task_arena> arena() {
    int p = defaultParallelism();
    std::lock_guard<std::mutex> lock(arenaMutex_);
    if (!arena_ || arenaConcurrency_ != p) {
      // The arena's concurrency follows local[n]; tasks never need more threads than the machine has.
      int hw = std::max(1, hardwareThreads());
      arena_ = std::make_shared<tbb::task_arena>(std::max(1, std::min(p, std::max(hw, 2))));
      arenaConcurrency_ = p;
    }
    return arena_;
  }

  NodePtr resolve(const PlanPtr& plan) {
    if (!plan) throw AnalysisException("no plan to analyze");
    {
      std::lock_guard<std::mutex> lock(cacheMutex_);
      auto it = cache_.find(plan->id);
      if (it != cache_.end()) {
        // Least recently used first out: a frame queried again and again (a persisted dataset under one
        // query per column) keeps its resolved node however many other plans come and go.
        order_.splice(order_.end(), order_, it->second.second);
        return it->second.first;
      }
    }
    Planner planner([this](const PlanPtr& p) { return resolve(p); }, defaultParallelism());
    NodePtr node = planner.analyze(plan);
    std::lock_guard<std::mutex> lock(cacheMutex_);
    auto found = cache_.find(plan->id);
    if (found != cache_.end()) return found->second.first;  // another thread analyzed it first: keep one set of exprIds
    order_.push_back(plan->id);
    cache_.emplace(plan->id, std::make_pair(node, std::prev(order_.end())));
    while (order_.size() > kCacheSize) {
      cache_.erase(order_.front());
      order_.pop_front();
    }
    return node;
  }

  SparkSession& session_;
  std::atomic<std::uint64_t> jobs_{0};
  std::mutex cacheMutex_;
  std::list<std::int64_t> order_;  // plan ids, least recently used first
  std::unordered_map<std::int64_t, std::pair<NodePtr, std::list<std::int64_t>::iterator>> cache_;
  std::mutex arenaMutex_;
  std::shared_ptr<tbb::task_arena> arena_;
  int arenaConcurrency_ = 0;
};

}  // namespace local

namespace {

// Queries allocate and free column vectors of many megabytes. With glibc's defaults each such block is a
// fresh mapping that the kernel zero-fills page by page on first touch, and is unmapped again when freed, so
// every query pays the page faults anew. Keeping freed memory in the allocator's heaps for reuse removes most
// of them. Process-wide, once; NORQ_MALLOC_TUNING=0 leaves the allocator alone.
void tuneAllocator() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* env = std::getenv("NORQ_MALLOC_TUNING");
    if (env && std::string(env) == "0") return;
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);  // the largest glibc accepts
    mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
    mallopt(M_TOP_PAD, 64 * 1024 * 1024);
  });
}

}  // namespace

std::unique_ptr<Backend> makeLocalBackend(SparkSession& session) {
  tuneAllocator();
  return std::make_unique<local::LocalBackend>(session);
}

}  // namespace engine
