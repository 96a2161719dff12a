// A fitted scikit-learn model loaded into an embedded Python interpreter, applied to engine column batches.
// Loading a model file runs code from it (pickle and joblib files can hold any Python code): load only files
// from a source you trust.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/vector.h"

namespace spark {

class SklearnModel {
 public:
  // Loads the object in a pickle file, or a joblib file (by its .joblib or .pkl.z extension). ValueError
  // naming the file and the cause when it cannot be read or unpickled, or when the object has no callable
  // `predict`.
  static std::shared_ptr<SklearnModel> load(const std::string& path);
  ~SklearnModel();
  SklearnModel(const SklearnModel&) = delete;
  SklearnModel& operator=(const SklearnModel&) = delete;

  // One prediction per row: the columns become a pandas table with the given names (numbers as float64,
  // nulls as NaN; text as objects, nulls as None), `predict` runs on it and its result is read as doubles.
  // ValueError with Python's message when `predict` raises or returns another number of values. Safe to call
  // from several threads (calls take the interpreter's lock in turn).
  std::vector<double> predict(const std::vector<engine::VectorPtr>& columns, const std::vector<std::string>& names,
                              std::size_t rows) const;
  const std::string& path() const { return path_; }

 private:
  struct Handle;
  SklearnModel(std::string path, std::unique_ptr<Handle> handle);
  std::string path_;
  std::unique_ptr<Handle> handle_;
};

}  // namespace spark
