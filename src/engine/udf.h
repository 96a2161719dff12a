// Vectorised user functions (the engine's pandas_udf): a function over column batches that returns one
// value per row, with a declared result type. The engine's workers call it concurrently on independent
// batches of at most `maxBatchRows` rows, so it must be safe to call from several threads at once; values
// it needs from the caller are best shared read-only (SparkContext::broadcast).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/column.h"
#include "engine/types.h"
#include "engine/vector.h"

namespace engine {

// Receives the argument columns of one batch (each `rows` long) and returns `rows` values. A result of
// another numeric type than the declared one is cast to it; a wrong length or type is an error.
using BatchFunction = std::function<VectorPtr(const std::vector<VectorPtr>& columns, std::size_t rows)>;

struct UdfInfo {
  std::string name;
  DataType returnType;
  BatchFunction function;
  std::size_t maxBatchRows = 10000;  // Spark's spark.sql.execution.arrow.maxRecordsPerBatch
};

class UserDefinedFunction {
 public:
  explicit UserDefinedFunction(std::shared_ptr<const UdfInfo> info) : info_(std::move(info)) {}
  Column operator()(const std::vector<ColumnOrName>& args) const;
  template <class... Cs>
    requires(std::is_convertible_v<Cs, ColumnOrName> && ...)
  Column operator()(const Cs&... args) const {
    return (*this)(std::vector<ColumnOrName>{ColumnOrName(args)...});
  }
  const UdfInfo& info() const { return *info_; }

 private:
  std::shared_ptr<const UdfInfo> info_;
};

namespace functions {
// pandas_udf(f, returnType): a vectorised function applied batch by batch by the engine's workers.
UserDefinedFunction pandas_udf(BatchFunction f, const DataType& returnType, const std::string& name = "pandas_udf");
}  // namespace functions

}  // namespace engine
