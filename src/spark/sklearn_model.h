// A fitted scikit-learn model loaded into an embedded Python interpreter, applied to engine column batches.
// Loading a model file runs code from it (pickle and joblib files can hold any Python code): load only files
// from a source you trust.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/vector.h"

struct _object;  // Python's PyObject

namespace spark {

class SklearnModel {
 public:
  // Loads the object in a pickle or joblib file (compressed joblib files too) into the embedded interpreter,
  // which starts on first use. ValueError naming the file and the cause (with Python's message) when the file
  // is missing or unreadable, does not unpickle, or holds an object without a callable `predict`.
  static std::shared_ptr<SklearnModel> load(const std::string& path);
  // A model object of the interpreter hosting this process (a Python program using the extension module),
  // held by a new reference; the caller holds the interpreter's lock. `description` names it in messages
  // (path() returns it). ValueError when the object has no callable `predict`.
  static std::shared_ptr<SklearnModel> from_object(_object* model, const std::string& description);
  ~SklearnModel();
  SklearnModel(const SklearnModel&) = delete;
  SklearnModel& operator=(const SklearnModel&) = delete;

  // One prediction per row. The columns (each at least `rows` long) become a pandas table with the given
  // names, much as Spark hands them to pandas: integers as int64 (float64 with NaN when the batch has nulls),
  // floating numbers and decimals (not Decimal objects) as float64 with NaN for nulls, text as objects with None for
  // nulls, booleans as bool (objects with None when nullable), dates as datetime.date objects, timestamps as
  // datetime64. `predict` runs on it and its result is read as doubles. ValueError with Python's message when
  // `predict` raises, and when it returns anything but one number per row. Safe to call from several threads:
  // the columns are converted without the interpreter's lock, which each call then takes for the Python part.
  std::vector<double> predict(const std::vector<engine::VectorPtr>& columns, const std::vector<std::string>& names,
                              std::size_t rows) const;
  const std::string& path() const { return path_; }

  // The same prediction as a scalar pandas UDF for Spark's Python workers (a remote session): the command
  // pyspark sends, CloudPickleSerializer().dumps((function, DoubleType())), the function applying this model
  // (pickled inside it) to the argument columns named `names`. Uses pyspark (its bundled cloudpickle) from the
  // embedded interpreter's path, else from NORQ_PYSPARK_PATH or the build's Python environment. The workers
  // need the same Python minor version (python_version()) and scikit-learn. ValueError when pyspark cannot be
  // imported or the model does not pickle.
  std::string spark_udf_command(const std::vector<std::string>& names) const;
  // "3.11": the embedded interpreter's version, which Spark's workers must match.
  static std::string python_version();
  // Whether a column of this type can be handed to a model (numbers, decimals, booleans, text, dates and
  // timestamps; not arrays, maps or structs).
  static bool accepts(const engine::DataType& type);

 private:
  struct Handle;
  SklearnModel(std::string path, std::unique_ptr<Handle> handle);
  // A handle with pandas and numpy imported (the caller holds the GIL); `missing` starts the error otherwise.
  static std::unique_ptr<Handle> new_handle(const std::string& missing);
  // ValueError naming `what` unless the handle's model has a callable predict.
  static void require_predict(const Handle& handle, const std::string& what);
  std::string path_;
  std::unique_ptr<Handle> handle_;
};

}  // namespace spark
