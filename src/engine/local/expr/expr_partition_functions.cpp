// Functions of a row's place in the partitioning: spark_partition_id() and monotonically_increasing_id().
// Their values follow the partitions the engine gives a frame, which for file reads and local data are the
// ones Spark makes, so they agree with Spark there.
#include "engine/local/expr/expr_registry.h"

namespace engine::local {

namespace {

class SparkPartitionIdExpr final : public BoundExpr {
 public:
  SparkPartitionIdExpr() : BoundExpr(IntegerType(), false) {}
  VectorPtr eval(const Batch& input, const EvalContext& ctx) const override {
    auto out = Vector::make(IntegerType(), input.rows);
    std::int32_t* d = out->data<std::int32_t>();
    for (std::size_t i = 0; i < input.rows; ++i) d[i] = ctx.partitionIndex;
    return out;
  }
  std::string toString() const override { return "SPARK_PARTITION_ID()"; }
  bool collectColumns(std::vector<int>&) const override { return true; }
};

// The partition index in the upper 31 bits, the row's position within the partition in the lower 33.
class MonotonicallyIncreasingIdExpr final : public BoundExpr {
 public:
  MonotonicallyIncreasingIdExpr() : BoundExpr(LongType(), false) {}
  VectorPtr eval(const Batch& input, const EvalContext& ctx) const override {
    auto out = Vector::make(LongType(), input.rows);
    std::int64_t* d = out->data<std::int64_t>();
    const std::int64_t base = static_cast<std::int64_t>(ctx.partitionIndex) << 33;
    for (std::size_t i = 0; i < input.rows; ++i) d[i] = base + static_cast<std::int64_t>(i);
    return out;
  }
  std::string toString() const override { return "monotonically_increasing_id()"; }
  bool collectColumns(std::vector<int>&) const override { return true; }
};

}  // namespace

void registerPartitionFunctions(ScalarFunctionRegistry& r) {
  r.add("spark_partition_id", 0, 0, [](const std::string&, std::vector<BoundExprPtr>, const Expr&) -> BoundExprPtr {
    return std::make_shared<SparkPartitionIdExpr>();
  });
  r.add("monotonically_increasing_id", 0, 0,
        [](const std::string&, std::vector<BoundExprPtr>, const Expr&) -> BoundExprPtr {
          return std::make_shared<MonotonicallyIncreasingIdExpr>();
        });
}

}  // namespace engine::local
