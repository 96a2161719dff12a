// Vectorised user functions (the engine's pandas_udf): a function over column batches that returns one
// value per row, with a declared result type. The engine's workers call it concurrently on independent
// batches of at most `maxBatchRows` rows, so it must be safe to call from several threads at once; values
// it needs from the caller are best shared read-only (SparkContext::broadcast).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/column.h"
#include "engine/types.h"
#include "engine/vector.h"

namespace engine {

// Receives the argument columns of one batch (each `rows` long) and returns `rows` values. A result of
// another numeric type than the declared one is cast to it; a wrong length or type is an error.
using BatchFunction = std::function<VectorPtr(const std::vector<VectorPtr>& columns, std::size_t rows)>;

// The same function serialised for Spark's Python workers, for backends that run it out of process (Spark
// Connect's PythonUDF): the pickled command as pyspark builds it, its eval type and the Python version
// ("3.11") that pickled it, which the workers must match.
struct PythonUdfPayload {
  std::string command;
  int evalType = 200;  // pyspark's PythonEvalType.SQL_SCALAR_PANDAS_UDF
  std::string pythonVersion;
};
// Makes the payload when a backend needs it (serialising can be costly: a model travels inside it); may
// throw when the function cannot be serialised. Called at most once per UdfInfo by the backends that use it.
using PythonUdfSerializer = std::function<PythonUdfPayload()>;

struct UdfInfo {
  std::string name;
  DataType returnType;
  BatchFunction function;
  std::size_t maxBatchRows = 10000;  // Spark's spark.sql.execution.arrow.maxRecordsPerBatch
  // Empty: the function runs in this process only. Otherwise the serialised form, made on first use.
  PythonUdfSerializer pythonSerializer;
  // The payload made by pythonSerializer, once (thread-safe).
  const PythonUdfPayload* pythonPayload() const;

 private:
  mutable std::once_flag pythonOnce_;
  mutable std::shared_ptr<const PythonUdfPayload> python_;
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
// pandas_udf(f, returnType): a vectorised function applied batch by batch by the engine's workers. `python`, when
// given, serialises the same function for Spark's Python workers (a remote session); without it the function
// cannot run on Spark Connect.
UserDefinedFunction pandas_udf(BatchFunction f, const DataType& returnType, const std::string& name = "pandas_udf",
                               PythonUdfSerializer python = {});
}  // namespace functions

}  // namespace engine
