#include "spark/sklearn_model.h"

#include <cmath>
#include <fstream>
#include <mutex>

#include <pybind11/embed.h>
#include <pybind11/numpy.h>

#include "host/errors.h"

namespace py = pybind11;

namespace spark {

namespace {

// Starts the interpreter once per process: Debian's /usr/bin/python3 with an isolated configuration (no
// environment variables, no user site), so that its dist-packages (scikit-learn, pandas) are found whatever
// python comes first on PATH. The starting thread then releases the interpreter's lock for good, so that
// the engine's worker threads can each take it in turn.
void ensure_interpreter() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (Py_IsInitialized()) return;
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.install_signal_handlers = 0;
    PyStatus status = PyConfig_SetString(&config, &config.program_name, L"/usr/bin/python3");
    if (PyStatus_Exception(status)) {
      PyConfig_Clear(&config);
      throw norq::ValueError("cannot configure the embedded Python interpreter");
    }
    py::initialize_interpreter(&config, 0, nullptr, false);
    new py::gil_scoped_release();  // kept for the life of the process
  });
}

std::string python_error(const py::error_already_set& e) { return e.what(); }

}  // namespace

struct SklearnModel::Handle {
  py::object model;
  py::object pandas;
  py::object numpy;
};

SklearnModel::SklearnModel(std::string path, std::unique_ptr<Handle> handle)
    : path_(std::move(path)), handle_(std::move(handle)) {}

SklearnModel::~SklearnModel() {
  if (!handle_) return;
  py::gil_scoped_acquire gil;
  handle_.reset();
}

std::shared_ptr<SklearnModel> SklearnModel::load(const std::string& path) {
  {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw norq::ValueError("cannot read the model file " + path);
  }
  ensure_interpreter();
  py::gil_scoped_acquire gil;
  auto handle = std::make_unique<Handle>();
  try {
    handle->pandas = py::module_::import("pandas");
    handle->numpy = py::module_::import("numpy");
  } catch (const py::error_already_set& e) {
    throw norq::ValueError("the model needs pandas and numpy in /usr/bin/python3: " + python_error(e));
  }
  try {
    const bool joblib = path.size() > 7 && (path.ends_with(".joblib") || path.ends_with(".pkl.z"));
    if (joblib) {
      handle->model = py::module_::import("joblib").attr("load")(path);
    } else {
      py::object file = py::module_::import("builtins").attr("open")(path, "rb");
      try {
        handle->model = py::module_::import("pickle").attr("load")(file);
      } catch (...) {
        file.attr("close")();
        throw;
      }
      file.attr("close")();
    }
  } catch (const py::error_already_set& e) {
    throw norq::ValueError("cannot load the model in " + path + ": " + python_error(e));
  }
  if (!py::hasattr(handle->model, "predict") || !PyCallable_Check(handle->model.attr("predict").ptr()))
    throw norq::ValueError("the object in " + path + " has no predict method");
  return std::shared_ptr<SklearnModel>(new SklearnModel(path, std::move(handle)));
}

std::vector<double> SklearnModel::predict(const std::vector<engine::VectorPtr>& columns,
                                          const std::vector<std::string>& names, std::size_t rows) const {
  if (columns.size() != names.size())
    throw norq::ValueError("the model got " + std::to_string(columns.size()) + " columns for " +
                           std::to_string(names.size()) + " names");
  py::gil_scoped_acquire gil;
  try {
    py::dict data;
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const engine::Vector& v = *columns[c];
      const engine::DataType& t = v.type();
      if (t.isNumeric() || t.isBoolean()) {
        py::array_t<double> a(static_cast<py::ssize_t>(rows));
        double* out = a.mutable_data();
        for (std::size_t r = 0; r < rows; ++r) {
          if (v.isNull(r)) {
            out[r] = std::nan("");
          } else {
            engine::Value x = v.get(r);
            out[r] = t.isBoolean() ? (x.get<bool>() ? 1.0 : 0.0) : x.toDouble();
          }
        }
        data[py::str(names[c])] = a;
      } else {
        py::list l(rows);
        for (std::size_t r = 0; r < rows; ++r) {
          if (v.isNull(r)) {
            l[r] = py::none();
          } else {
            engine::Value x = v.get(r);
            l[r] = py::str(x.is<std::string>() ? x.str() : x.toString());
          }
        }
        data[py::str(names[c])] = handle_->numpy.attr("array")(l, py::arg("dtype") = "object");
      }
    }
    py::list order;
    for (const auto& n : names) order.append(py::str(n));
    py::object table = handle_->pandas.attr("DataFrame")(data, py::arg("columns") = order);
    py::object result = handle_->model.attr("predict")(table);
    py::array_t<double> values =
        handle_->numpy.attr("asarray")(result, py::arg("dtype") = "float64").attr("reshape")(-1).cast<py::array_t<double>>();
    if (static_cast<std::size_t>(values.size()) != rows)
      throw norq::ValueError("the model returned " + std::to_string(values.size()) + " predictions for a batch of " +
                             std::to_string(rows) + " rows");
    const double* p = values.data();
    return std::vector<double>(p, p + rows);
  } catch (const py::error_already_set& e) {
    throw norq::ValueError("the model's predict failed: " + python_error(e));
  } catch (const py::cast_error& e) {
    throw norq::ValueError(std::string("the model's predictions are not numbers: ") + e.what());
  }
}

}  // namespace spark
