#include "spark/sklearn_model.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>

#include <pybind11/embed.h>
#include <pybind11/numpy.h>

#include "host/errors.h"

namespace py = pybind11;

namespace spark {

// The starting thread's release of the interpreter's lock, held for the life of the process (its destructor
// would take the lock back at exit). A variable of its own, so that it stays reachable: leak checkers then see
// memory kept on purpose, not lost.
py::gil_scoped_release* interpreter_lock_release = nullptr;

namespace {

constexpr const wchar_t* kPython = L"/usr/bin/python3";

// Starts the interpreter once per process: Debian's /usr/bin/python3 with an isolated configuration (no
// PYTHON* environment variables, no user site, no signal handlers), so that its dist-packages (scikit-learn,
// pandas) are found whatever python comes first on PATH. The starting thread then releases the interpreter's
// lock for good, so that the engine's worker threads can each take it in turn; it is never finalised (models
// may live until the process ends).
void ensure_interpreter() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (Py_IsInitialized()) return;  // an embedding application started it and manages its lock
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.install_signal_handlers = 0;
    PyStatus status = PyConfig_SetString(&config, &config.program_name, kPython);
    if (!PyStatus_Exception(status)) status = PyConfig_SetString(&config, &config.executable, kPython);
    if (PyStatus_Exception(status)) {
      PyConfig_Clear(&config);
      throw norq::ValueError("cannot configure the embedded Python interpreter (/usr/bin/python3)");
    }
    try {
      py::initialize_interpreter(&config, 0, nullptr, false);  // clears the configuration
    } catch (const std::exception& e) {
      throw norq::ValueError(std::string("cannot start the embedded Python interpreter (/usr/bin/python3): ") +
                             e.what());
    }
    py::detail::get_internals();
    interpreter_lock_release = new py::gil_scoped_release();
  });
}

// Reads a pickle or joblib file. joblib reads its own files (compressed or not) and plain pickles alike, but
// reports a damaged plain file obscurely, so such a file is also read with pickle, whose complaint is clearer.
constexpr const char* kLoader = R"(
def load(path):
    import pickle
    with open(path, "rb") as f:
        head = f.read(6)
    # zlib, gzip, bz2, xz, lzma and lz4 streams: joblib's compressed files.
    compressed = head.startswith((b"\x78", b"\x1f\x8b", b"BZh", b"\xfd7zXZ", b"\x5d\x00\x00", b"\x04\x22\x4d\x18"))
    try:
        import joblib
    except ImportError:
        joblib = None
    if joblib is not None:
        try:
            return joblib.load(path)
        except Exception:
            if compressed:
                raise
    with open(path, "rb") as f:
        return pickle.load(f)
)";

// "TypeName: message" of a Python exception (without pybind11's traceback lines). Needs the lock.
std::string python_error(const py::error_already_set& e) {
  try {
    std::string text = py::str(e.type().attr("__name__"));
    std::string message = py::str(e.value());
    return message.empty() ? text : text + ": " + message;
  } catch (...) {
    return e.what();
  }
}

// One feature column made ready for numpy without the interpreter's lock: numbers in flat buffers, text and
// nullable booleans read from the engine vector while the lock is held.
struct Prepared {
  enum class Kind { Float64, Int64, Bool, Date, Timestamp, Strings, NullableBool, AllNone };
  Kind kind = Kind::Float64;
  std::vector<double> f64;
  std::vector<std::int64_t> i64;
  std::vector<std::uint8_t> flags;
  const engine::Vector* vector = nullptr;
};

template <class T>
void to_float64(const engine::Vector& v, std::size_t rows, std::vector<double>& out) {
  const T* in = v.data<T>();
  out.resize(rows);
  for (std::size_t r = 0; r < rows; ++r) out[r] = static_cast<double>(in[r]);
  if (!v.validity().allValid())
    for (std::size_t r = 0; r < rows; ++r)
      if (v.isNull(r)) out[r] = std::numeric_limits<double>::quiet_NaN();
}

template <class T>
void to_int64(const engine::Vector& v, std::size_t rows, std::vector<std::int64_t>& out) {
  const T* in = v.data<T>();
  out.resize(rows);
  for (std::size_t r = 0; r < rows; ++r) out[r] = static_cast<std::int64_t>(in[r]);
}

template <class T>
void integral(const engine::Vector& v, std::size_t rows, Prepared& p) {
  // As pandas reads them: int64 without nulls, float64 with NaN for nulls.
  if (v.validity().countNulls(rows) == 0) {
    p.kind = Prepared::Kind::Int64;
    to_int64<T>(v, rows, p.i64);
  } else {
    p.kind = Prepared::Kind::Float64;
    to_float64<T>(v, rows, p.f64);
  }
}

Prepared prepare(const engine::Vector& v, const std::string& name, std::size_t rows) {
  Prepared p;
  p.vector = &v;
  const bool has_nulls = v.validity().countNulls(rows) != 0;
  switch (v.type().id()) {
    case engine::TypeId::Byte:
      integral<std::int8_t>(v, rows, p);
      break;
    case engine::TypeId::Short:
      integral<std::int16_t>(v, rows, p);
      break;
    case engine::TypeId::Integer:
      integral<std::int32_t>(v, rows, p);
      break;
    case engine::TypeId::Long:
      integral<std::int64_t>(v, rows, p);
      break;
    case engine::TypeId::Float:
      to_float64<float>(v, rows, p.f64);
      break;
    case engine::TypeId::Double:
      to_float64<double>(v, rows, p.f64);
      break;
    case engine::TypeId::Decimal: {
      const double scale = std::pow(10.0, v.type().scale());
      const engine::int128_t* in = v.data<engine::int128_t>();
      p.f64.resize(rows);
      for (std::size_t r = 0; r < rows; ++r)
        p.f64[r] = v.isNull(r) ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(in[r]) / scale;
      break;
    }
    case engine::TypeId::Boolean:
      if (has_nulls) {
        p.kind = Prepared::Kind::NullableBool;  // objects: True, False, None
      } else {
        p.kind = Prepared::Kind::Bool;
        p.flags.assign(v.data<std::uint8_t>(), v.data<std::uint8_t>() + rows);
      }
      break;
    case engine::TypeId::Date:
    case engine::TypeId::Timestamp: {
      p.kind = v.type().id() == engine::TypeId::Date ? Prepared::Kind::Date : Prepared::Kind::Timestamp;
      if (p.kind == Prepared::Kind::Date)
        to_int64<std::int32_t>(v, rows, p.i64);
      else
        to_int64<std::int64_t>(v, rows, p.i64);
      for (std::size_t r = 0; r < rows && has_nulls; ++r)
        if (v.isNull(r)) p.i64[r] = std::numeric_limits<std::int64_t>::min();  // numpy's NaT
      break;
    }
    case engine::TypeId::String:
      p.kind = Prepared::Kind::Strings;
      break;
    case engine::TypeId::Null:
      p.kind = Prepared::Kind::AllNone;
      break;
    default:
      throw norq::ValueError("the column " + name + " of type " + v.type().simpleString() +
                             " cannot be passed to a scikit-learn model");
  }
  return p;
}

// Builds the numpy array of a prepared column (needs the lock).
py::object to_numpy(const Prepared& p, std::size_t rows, const py::object& numpy) {
  const auto n = static_cast<py::ssize_t>(rows);
  switch (p.kind) {
    case Prepared::Kind::Float64:
      return py::array_t<double>(n, p.f64.data());
    case Prepared::Kind::Int64:
      return py::array_t<std::int64_t>(n, p.i64.data());
    case Prepared::Kind::Bool:
      return py::array(py::dtype("bool"), std::vector<py::ssize_t>{n}, p.flags.data());
    // As Spark hands them to pandas: dates as datetime.date objects, timestamps as datetime64 values.
    case Prepared::Kind::Date:
      return py::array_t<std::int64_t>(n, p.i64.data()).attr("view")("datetime64[D]").attr("astype")("object");
    case Prepared::Kind::Timestamp:
      return py::array_t<std::int64_t>(n, p.i64.data()).attr("view")("datetime64[us]");
    default:
      break;
  }
  py::list items(n);
  for (std::size_t r = 0; r < rows; ++r) {
    py::object item;
    if (p.kind == Prepared::Kind::AllNone || p.vector->isNull(r)) {
      item = py::none();
    } else if (p.kind == Prepared::Kind::NullableBool) {
      item = py::bool_(p.vector->data<std::uint8_t>()[r] != 0);
    } else {
      const std::string_view s = p.vector->str(r);
      item = py::reinterpret_steal<py::object>(
          PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
      if (!item) throw py::error_already_set();
    }
    PyList_SET_ITEM(items.ptr(), static_cast<Py_ssize_t>(r), item.release().ptr());
  }
  return numpy.attr("array")(items, py::arg("dtype") = "object");
}

}  // namespace

// Hidden like pybind11's own types, which it holds.
struct __attribute__((visibility("hidden"))) SklearnModel::Handle {
  py::object model;
  py::object pandas;
  py::object numpy;
};

std::unique_ptr<SklearnModel::Handle> SklearnModel::new_handle(const std::string& missing) {
  auto handle = std::make_unique<Handle>();
  try {
    handle->pandas = py::module_::import("pandas");
    handle->numpy = py::module_::import("numpy");
  } catch (const py::error_already_set& e) {
    throw norq::ValueError(missing + python_error(e));
  }
  return handle;
}

void SklearnModel::require_predict(const Handle& handle, const std::string& what) {
  if (!py::hasattr(handle.model, "predict") || !PyCallable_Check(handle.model.attr("predict").ptr())) {
    std::string type = py::str(py::type::of(handle.model).attr("__name__"));
    throw norq::ValueError(what + " (" + type + ") has no predict method");
  }
}

SklearnModel::SklearnModel(std::string path, std::unique_ptr<Handle> handle)
    : path_(std::move(path)), handle_(std::move(handle)) {}

SklearnModel::~SklearnModel() {
  if (!handle_) return;
  if (!Py_IsInitialized()) {
    // The interpreter has been finalized: a Python program is exiting and a session of a static's lifetime
    // held the model past the interpreter's end. Its objects are gone with it; taking its lock now would wait
    // forever, so the handle and its references are abandoned without touching Python.
    static_cast<void>(handle_.release());
    return;
  }
  py::gil_scoped_acquire gil;
  handle_.reset();
}

std::shared_ptr<SklearnModel> SklearnModel::load(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec))
    throw norq::ValueError("cannot read the model file " + path + ": no such file");
  if (!std::filesystem::is_regular_file(path, ec))
    throw norq::ValueError("cannot read the model file " + path + ": not a regular file");
  if (!std::ifstream(path, std::ios::binary))
    throw norq::ValueError("cannot read the model file " + path + ": permission denied");
  ensure_interpreter();
  py::gil_scoped_acquire gil;
  auto handle = new_handle("scikit-learn models need pandas and numpy in /usr/bin/python3 (python3-pandas, "
                           "python3-numpy): ");
  try {
    py::dict scope;
    py::exec(kLoader, scope);
    handle->model = scope["load"](path);
  } catch (const py::error_already_set& e) {
    throw norq::ValueError("cannot load the model in " + path + ": " + python_error(e));
  }
  require_predict(*handle, "the object in " + path);
  return std::shared_ptr<SklearnModel>(new SklearnModel(path, std::move(handle)));
}

std::shared_ptr<SklearnModel> SklearnModel::from_object(_object* model, const std::string& description) {
  ensure_interpreter();
  py::gil_scoped_acquire gil;
  auto handle = new_handle("scikit-learn models need pandas and numpy: ");
  handle->model = py::reinterpret_borrow<py::object>(model);
  require_predict(*handle, "the model object " + description);
  return std::shared_ptr<SklearnModel>(new SklearnModel(description, std::move(handle)));
}

std::vector<double> SklearnModel::predict(const std::vector<engine::VectorPtr>& columns,
                                          const std::vector<std::string>& names, std::size_t rows) const {
  if (columns.size() != names.size())
    throw norq::ValueError("the model got " + std::to_string(columns.size()) + " columns for " +
                           std::to_string(names.size()) + " names");
  if (rows == 0) return {};
  std::vector<Prepared> prepared;
  prepared.reserve(columns.size());
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (!columns[c] || columns[c]->size() < rows)
      throw norq::ValueError("the column " + names[c] + " has fewer values than the batch's " + std::to_string(rows) +
                             " rows");
    prepared.push_back(prepare(*columns[c], names[c], rows));
  }

  py::gil_scoped_acquire gil;
  try {
    // Columns by position, then named, so that a name given twice keeps both columns.
    py::dict data;
    for (std::size_t c = 0; c < prepared.size(); ++c) data[py::int_(c)] = to_numpy(prepared[c], rows, handle_->numpy);
    py::list order;
    for (const auto& n : names) order.append(py::str(n));
    py::object table = handle_->pandas.attr("DataFrame")(data, py::arg("copy") = false);
    table.attr("columns") = order;

    py::object result = handle_->model.attr("predict")(table);
    py::object values = handle_->numpy.attr("asarray")(result);
    const std::string kind = py::str(values.attr("dtype").attr("kind"));
    if (kind.size() != 1 || std::string("biuf").find(kind[0]) == std::string::npos)
      throw norq::ValueError("the model's predict returned values of type " +
                             std::string(py::str(values.attr("dtype"))) + ", not numbers");
    const auto ndim = values.attr("ndim").cast<int>();
    const auto count = values.attr("size").cast<std::size_t>();
    if (ndim > 2 || (ndim == 2 && values.attr("shape").cast<py::tuple>()[1].cast<std::size_t>() != 1) || ndim == 0)
      throw norq::ValueError("the model's predict returned an array of shape " +
                             std::string(py::str(values.attr("shape"))) + "; it must return one value per row");
    if (count != rows)
      throw norq::ValueError("the model returned " + std::to_string(count) + " predictions for a batch of " +
                             std::to_string(rows) + " rows");
    auto flat = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(values.attr("reshape")(-1));
    if (!flat) throw norq::ValueError("the model's predictions cannot be read as numbers");
    const double* p = flat.data();
    return std::vector<double>(p, p + rows);
  } catch (const py::error_already_set& e) {
    throw norq::ValueError("the model's predict failed: " + python_error(e));
  }
}

namespace {

// Builds the worker-side function and pickles it as pyspark does for a scalar pandas UDF. The function
// checks the model's answer as predict() above does, so that both backends fail alike.
constexpr const char* kUdfCommand = R"PY(
def command(model, names, fallbacks):
    import sys
    try:
        import pyspark
    except ImportError:
        for path in fallbacks:
            if path and path not in sys.path:
                sys.path.append(path)
        try:
            import pyspark
        except ImportError as e:
            raise ImportError("pyspark is needed to send the model to Spark (set NORQ_PYSPARK_PATH to the "
                              "site-packages folder holding pyspark): " + str(e))
    from pyspark.serializers import CloudPickleSerializer
    from pyspark.sql.types import DoubleType

    names = list(names)

    def as_model_input(c):
        # Spark hands decimals over as Decimal objects; the embedded engine gives the model float64, so do
        # the same here (missing values become NaN).
        import decimal
        if c.dtype == object:
            present = c.dropna()
            if len(present) and isinstance(present.iloc[0], decimal.Decimal):
                return c.astype("float64")
        return c

    def predict_pandas_udf(*columns):
        import numpy as np
        import pandas as pd
        table = pd.concat([as_model_input(c.reset_index(drop=True)) for c in columns], axis=1, ignore_index=True)
        table.columns = names
        try:
            values = np.asarray(model.predict(table))
        except Exception as e:
            text = str(e)
            raise ValueError("the model's predict failed: " + type(e).__name__ + (": " + text if text else ""))
        if values.dtype.kind not in "biuf":
            raise ValueError("the model's predict returned values of type %s, not numbers" % values.dtype)
        if values.ndim == 0 or values.ndim > 2 or (values.ndim == 2 and values.shape[1] != 1):
            raise ValueError("the model's predict returned an array of shape %s; it must return one value per row"
                             % (values.shape,))
        values = values.reshape(-1)
        if values.size != len(table):
            raise ValueError("the model returned %d predictions for a batch of %d rows" % (values.size, len(table)))
        return pd.Series(values.astype("float64"))

    return CloudPickleSerializer().dumps((predict_pandas_udf, DoubleType()))
)PY";

}  // namespace

std::string SklearnModel::spark_udf_command(const std::vector<std::string>& names) const {
  py::gil_scoped_acquire gil;
  try {
    py::dict scope;
    py::exec(kUdfCommand, scope);
    py::list fallbacks;
    if (const char* env = std::getenv("NORQ_PYSPARK_PATH")) fallbacks.append(py::str(env));
#ifdef NORQ_PYSPARK_SITE
    fallbacks.append(py::str(NORQ_PYSPARK_SITE));
#endif
    py::list pyNames;
    for (const auto& n : names) pyNames.append(py::str(n));
    py::bytes command = scope["command"](handle_->model, pyNames, fallbacks);
    return std::string(command);
  } catch (const py::error_already_set& e) {
    throw norq::ValueError("cannot send the model in " + path_ + " to Spark's Python workers: " + python_error(e));
  }
}

bool SklearnModel::accepts(const engine::DataType& type) {
  switch (type.id()) {
    case engine::TypeId::Byte:
    case engine::TypeId::Short:
    case engine::TypeId::Integer:
    case engine::TypeId::Long:
    case engine::TypeId::Float:
    case engine::TypeId::Double:
    case engine::TypeId::Decimal:
    case engine::TypeId::Boolean:
    case engine::TypeId::Date:
    case engine::TypeId::Timestamp:
    case engine::TypeId::String:
    case engine::TypeId::Null:
      return true;
    default:
      return false;
  }
}

std::string SklearnModel::python_version() {
  ensure_interpreter();
  py::gil_scoped_acquire gil;
  py::object info = py::module_::import("sys").attr("version_info");
  return std::to_string(info.attr("major").cast<int>()) + "." + std::to_string(info.attr("minor").cast<int>());
}

}  // namespace spark
