// The Python extension module norq_spark: the library's datasets, statistics, metrics, predictions and scan
// over engine frames made from pandas, Arrow and files. Engine work runs without the interpreter's lock; the
// engine's worker threads take it only to call a Python model.
#include <algorithm>
#include <any>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <sys/mman.h>

#include <arrow/c/bridge.h>
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <tbb/parallel_for.h>

#include "cli/cli_error.h"
#include "engine/arrow/arrow_convert.h"
#include "cli/scan_output.h"
#include "cli/scan_run.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "host/calculations.h"
#include "host/errors.h"
#include "spark/predictions.h"
#include "spark/sklearn_model.h"
#include "spark/spark.h"

namespace py = pybind11;
using namespace pybind11::literals;
using engine::DataFrame;
using engine::SparkSession;
using engine::Value;
using spark::BaseSparkDatasetMixin;

namespace {

using SessionPtr = std::shared_ptr<SparkSession>;

SessionPtr defaultSession() { return SparkSession::builder().appName("norq_spark").getOrCreate(); }

// ----- values -----

py::object toPython(const Value& v) {
  return std::visit(
      [&](const auto& x) -> py::object {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) return py::none();
        else if constexpr (std::is_same_v<T, bool>) return py::bool_(x);
        else if constexpr (std::is_integral_v<T>) return py::int_(static_cast<std::int64_t>(x));
        else if constexpr (std::is_floating_point_v<T>) return py::float_(static_cast<double>(x));
        else if constexpr (std::is_same_v<T, std::string>) return py::str(x);
        else if constexpr (std::is_same_v<T, engine::Decimal>)
          return py::module_::import("decimal").attr("Decimal")(x.toString());
        else if constexpr (std::is_same_v<T, engine::Date>)
          return py::module_::import("datetime").attr("date")(1970, 1, 1) +
                 py::module_::import("datetime").attr("timedelta")("days"_a = x.days);
        else if constexpr (std::is_same_v<T, engine::Timestamp>)
          return py::module_::import("datetime")
              .attr("datetime")
              .attr("fromtimestamp")(0, py::module_::import("datetime").attr("timezone").attr("utc")) +
                 py::module_::import("datetime").attr("timedelta")("microseconds"_a = x.micros);
        else if constexpr (std::is_same_v<T, engine::DayTimeIntervalValue>)
          return py::module_::import("datetime").attr("timedelta")("microseconds"_a = x.micros);
        else if constexpr (std::is_same_v<T, engine::YearMonthIntervalValue>)
          return py::int_(x.months);  // a number of months (Python has no year-month interval type)
        else {
          py::list out;
          for (const Value& e : x->elements) out.append(toPython(e));
          return out;
        }
      },
      v.storage());
}

Value fromPython(const py::handle& o) {
  if (o.is_none()) return Value();
  if (py::isinstance<py::bool_>(o)) return Value(o.cast<bool>());
  if (py::isinstance<py::int_>(o)) return Value(static_cast<long long>(o.cast<std::int64_t>()));
  if (py::isinstance<py::float_>(o)) return Value(o.cast<double>());
  if (py::isinstance<py::str>(o)) return Value(o.cast<std::string>());
  // numpy scalars and other numbers
  if (py::hasattr(o, "item")) return fromPython(o.attr("item")());
  throw py::type_error("cannot use a value of type " + std::string(py::str(py::type::of(o).attr("__name__"))) +
                       " (expected None, bool, int, float or str)");
}

std::optional<std::vector<Value>> valuesFromPython(const std::optional<py::object>& o) {
  if (!o || o->is_none()) return std::nullopt;
  std::vector<Value> out;
  if (py::isinstance<py::str>(*o) || !py::hasattr(*o, "__iter__")) {
    out.push_back(fromPython(*o));
    return out;
  }
  for (auto item : *o) out.push_back(fromPython(item));
  return out;
}

py::dict rowToDict(const engine::Row& row, const std::vector<std::string>& names) {
  py::dict d;
  for (std::size_t i = 0; i < row.size() && i < names.size(); ++i) d[py::str(names[i])] = toPython(row[i]);
  return d;
}

// ----- frames through Arrow's C stream interface -----

py::object pyarrow() { return py::module_::import("pyarrow"); }

// Any frame-like object other than a pandas DataFrame as a pyarrow Table: pyarrow Tables, record batches and
// readers, and a pyspark DataFrame (its rows fetched as Arrow).
py::object asArrowTable(const py::object& data) {
  py::object pa = pyarrow();
  if (py::isinstance(data, pa.attr("Table"))) return data;
  if (py::isinstance(data, pa.attr("RecordBatch"))) return pa.attr("Table").attr("from_batches")(py::make_tuple(data));
  if (py::isinstance(data, pa.attr("RecordBatchReader"))) return data.attr("read_all")();
  std::string module = py::str(py::type::of(data).attr("__module__"));
  std::string name = py::str(py::type::of(data).attr("__name__"));
  if (module.rfind("pyspark", 0) == 0 && py::hasattr(data, "toArrow")) return data.attr("toArrow")();
  throw py::type_error("cannot make a frame from a " + module + "." + name +
                       " (expected a pandas DataFrame, a pyarrow Table, RecordBatch or RecordBatchReader, a "
                       "pyspark DataFrame or a norq_spark DataFrame)");
}

bool isPandasFrame(const py::object& data) {
  std::string module = py::str(py::type::of(data).attr("__module__"));
  std::string name = py::str(py::type::of(data).attr("__name__"));
  return module.rfind("pandas", 0) == 0 && name == "DataFrame";
}

std::shared_ptr<arrow::Table> unwrapTable(const py::object& table) {
  py::object capsule = table.attr("__arrow_c_stream__")();
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.ptr(), "arrow_array_stream"));
  if (stream == nullptr) throw py::error_already_set();
  auto reader = arrow::ImportRecordBatchReader(stream);
  if (!reader.ok()) throw norq::ValueError("cannot read the Arrow table: " + reader.status().ToString());
  auto result = (*reader)->ToTable();
  if (!result.ok()) throw norq::ValueError("cannot read the Arrow table: " + result.status().ToString());
  return *result;
}

// A pandas column held as a plain numpy array of numbers or booleans, copied straight from its memory.
struct NumpyColumn {
  std::size_t position;  // in the frame
  py::array array;       // keeps the memory alive while it is copied
  const char* data;
  py::ssize_t stride;
  char kind;  // numpy's: b(ool), i(nt), u(nsigned), f(loat)
  py::ssize_t itemsize;
  engine::MutableVectorPtr vector;
  std::vector<char> nanInPiece;  // floating point: whether a piece held NaN
};

std::optional<engine::DataType> numpyEngineType(char kind, py::ssize_t itemsize) {
  switch (kind) {
    case 'b': return itemsize == 1 ? std::optional(engine::BooleanType()) : std::nullopt;
    case 'i':
      if (itemsize == 1) return engine::ByteType();
      if (itemsize == 2) return engine::ShortType();
      if (itemsize == 4) return engine::IntegerType();
      if (itemsize == 8) return engine::LongType();
      return std::nullopt;
    case 'u': return itemsize <= 4 ? std::optional(engine::LongType()) : std::nullopt;  // Spark has no unsigned types
    case 'f':
      if (itemsize == 4) return engine::FloatType();
      if (itemsize == 8) return engine::DoubleType();
      return std::nullopt;
    default: return std::nullopt;
  }
}

constexpr std::size_t kPieceRows = std::size_t{1} << 20;  // a multiple of 64: pieces never share a validity word

// Asks the kernel for huge pages over the 2 MiB-aligned part of a large buffer not yet touched: filling it then
// takes hundreds of page faults instead of hundreds of thousands (most of a fresh copy's cost). Only advice:
// where transparent huge pages are off, nothing changes.
void adviseHugePages(void* data, std::size_t bytes) {
  constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
  if (bytes < 2 * kHuge) return;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Copies rows [from, to) of a numpy column into its vector; for floating point, reports whether NaN was seen.
template <class Dst, class Src>
bool copyNumpy(Dst* dst, const char* src, py::ssize_t stride, std::size_t from, std::size_t to) {
  constexpr bool floating = std::is_floating_point_v<Src>;
  bool nan = false;
  if (stride == static_cast<py::ssize_t>(sizeof(Src))) {
    const Src* s = reinterpret_cast<const Src*>(src);
    if constexpr (std::is_same_v<Src, Dst> && !floating) {
      std::memcpy(dst + from, s + from, (to - from) * sizeof(Src));
    } else {
      for (std::size_t i = from; i < to; ++i) {
        Src x = s[i];
        dst[i] = static_cast<Dst>(x);
        if constexpr (floating) nan |= x != x;
      }
    }
  } else {
    for (std::size_t i = from; i < to; ++i) {
      Src x;
      std::memcpy(&x, src + static_cast<py::ssize_t>(i) * stride, sizeof(Src));
      dst[i] = static_cast<Dst>(x);
      if constexpr (floating) nan |= x != x;
    }
  }
  return nan;
}

bool copyNumpyPiece(NumpyColumn& c, std::size_t from, std::size_t to) {
  engine::Vector& v = *c.vector;
  switch (c.kind) {
    case 'b': return copyNumpy<std::uint8_t, std::uint8_t>(v.data<std::uint8_t>(), c.data, c.stride, from, to);
    case 'i':
      switch (c.itemsize) {
        case 1: return copyNumpy<std::int8_t, std::int8_t>(v.data<std::int8_t>(), c.data, c.stride, from, to);
        case 2: return copyNumpy<std::int16_t, std::int16_t>(v.data<std::int16_t>(), c.data, c.stride, from, to);
        case 4: return copyNumpy<std::int32_t, std::int32_t>(v.data<std::int32_t>(), c.data, c.stride, from, to);
        default: return copyNumpy<std::int64_t, std::int64_t>(v.data<std::int64_t>(), c.data, c.stride, from, to);
      }
    case 'u':
      switch (c.itemsize) {
        case 1: return copyNumpy<std::int64_t, std::uint8_t>(v.data<std::int64_t>(), c.data, c.stride, from, to);
        case 2: return copyNumpy<std::int64_t, std::uint16_t>(v.data<std::int64_t>(), c.data, c.stride, from, to);
        default: return copyNumpy<std::int64_t, std::uint32_t>(v.data<std::int64_t>(), c.data, c.stride, from, to);
      }
    default:
      if (c.itemsize == 4) return copyNumpy<float, float>(v.data<float>(), c.data, c.stride, from, to);
      return copyNumpy<double, double>(v.data<double>(), c.data, c.stride, from, to);
  }
}

// A pandas DataFrame as an engine table. Columns held as plain numpy numbers or booleans are copied from their
// arrays directly (pieces of every column in parallel, NaN becoming null as Spark's createDataFrame reads a
// pandas frame); the other columns (strings, categoricals, datetimes, nullable extension types) go through
// pyarrow. The index is left out.
engine::LocalTable pandasToLocalTable(const py::object& pdf) {
  py::object np = py::module_::import("numpy");
  py::object iloc = pdf.attr("iloc");
  py::list columnNames = pdf.attr("columns").attr("tolist")();
  const std::size_t ncols = py::len(columnNames);
  const std::size_t rows = py::len(pdf);
  std::vector<std::string> names;
  std::vector<NumpyColumn> numpyColumns;
  py::list others;
  for (std::size_t i = 0; i < ncols; ++i) {
    names.push_back(py::str(columnNames[i]));
    py::object series = iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::int_(i))];
    py::object dtype = series.attr("dtype");
    if (py::isinstance(dtype, np.attr("dtype"))) {
      char kind = dtype.attr("kind").cast<std::string>()[0];
      py::ssize_t itemsize = dtype.attr("itemsize").cast<py::ssize_t>();
      if (auto type = numpyEngineType(kind, itemsize)) {
        py::array array = series.attr("to_numpy")();
        if (array.ndim() == 1 && static_cast<std::size_t>(array.shape(0)) == rows) {
          NumpyColumn c{i, array, static_cast<const char*>(array.data()), array.strides(0), kind, itemsize,
                        engine::Vector::uninitialized(*type, rows), {}};
          adviseHugePages(c.vector->rawData().data(), c.vector->rawData().size());
          numpyColumns.push_back(std::move(c));
          continue;
        }
      }
    }
    others.append(i);
  }
  std::vector<engine::VectorPtr> columns(ncols);
  std::vector<engine::DataType> types(ncols);
  if (py::len(others) > 0) {
    py::object subset = iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), others)];
    py::object table = pyarrow().attr("Table").attr("from_pandas")(subset, "preserve_index"_a = false);
    std::shared_ptr<arrow::Table> arrowTable = unwrapTable(table);
    const auto positions = others.cast<std::vector<std::size_t>>();
    py::gil_scoped_release nogil;  // the table's buffers are let go with the lock held again (end of block)
    for (int k = 0; k < arrowTable->num_columns(); ++k) {
      const std::size_t i = positions[static_cast<std::size_t>(k)];
      types[i] = engine::arrow_convert::engineType(*arrowTable->field(k)->type(), names[i]);
      columns[i] = engine::arrow_convert::toVector(arrowTable->column(k)->chunks(), types[i], names[i]);
    }
  }
  {
    py::gil_scoped_release nogil;
    const std::size_t pieces = (rows + kPieceRows - 1) / kPieceRows;
    for (auto& c : numpyColumns) c.nanInPiece.assign(pieces, 0);
    tbb::parallel_for(std::size_t{0}, numpyColumns.size() * pieces, [&](std::size_t task) {
      NumpyColumn& c = numpyColumns[task / pieces];
      const std::size_t p = task % pieces;
      c.nanInPiece[p] = copyNumpyPiece(c, p * kPieceRows, std::min(rows, (p + 1) * kPieceRows));
    });
    for (auto& c : numpyColumns) {
      if (std::find(c.nanInPiece.begin(), c.nanInPiece.end(), 1) != c.nanInPiece.end()) {
        engine::Vector& v = *c.vector;
        v.validity().ensureMaterialized(rows);
        tbb::parallel_for(std::size_t{0}, pieces, [&](std::size_t p) {
          if (!c.nanInPiece[p]) return;
          for (std::size_t r = p * kPieceRows, end = std::min(rows, (p + 1) * kPieceRows); r < end; ++r) {
            const bool nan = c.itemsize == 4 ? std::isnan(v.data<float>()[r]) : std::isnan(v.data<double>()[r]);
            if (nan) v.validity().setNull(r);
          }
        });
      }
      types[c.position] = c.vector->type();
      columns[c.position] = std::move(c.vector);
    }
  }
  engine::StructType schema;
  for (std::size_t i = 0; i < ncols; ++i) schema.add(names[i], types[i], true);
  return engine::LocalTable(std::move(schema), std::move(columns), rows);
}

DataFrame frameFromPython(const py::object& data, const SessionPtr& session) {
  if (py::isinstance<DataFrame>(data)) return data.cast<DataFrame>();
  if (isPandasFrame(data)) {
    engine::LocalTable table = pandasToLocalTable(data);
    py::gil_scoped_release nogil;
    return session->createDataFrame(table);
  }
  // The imported buffers may be numpy arrays: they are let go with the interpreter's lock held (at return).
  std::shared_ptr<arrow::Table> table = unwrapTable(asArrowTable(data));
  py::gil_scoped_release nogil;
  return session->createDataFrame(engine::arrow_convert::toLocalTable(*table));
}

py::object tableToArrow(const engine::LocalTable& local) {
  std::shared_ptr<arrow::Table> table;
  {
    py::gil_scoped_release nogil;
    table = engine::arrow_convert::toArrow(local);
  }
  auto reader = std::make_shared<arrow::TableBatchReader>(table);
  ArrowArrayStream stream;
  auto status = arrow::ExportRecordBatchReader(reader, &stream);
  if (!status.ok()) throw norq::ValueError("cannot convert to Arrow: " + status.ToString());
  py::object pyreader =
      pyarrow().attr("RecordBatchReader").attr("_import_from_c")(reinterpret_cast<std::uintptr_t>(&stream));
  py::object out = pyreader.attr("read_all")();
  return out;
}

engine::LocalTable collect(const DataFrame& df) {
  py::gil_scoped_release nogil;
  return df.toPandas();
}

py::object frameToArrow(const DataFrame& df) { return tableToArrow(collect(df)); }
py::object frameToPandas(const DataFrame& df) { return frameToArrow(df).attr("to_pandas")(); }

DataFrame asFrame(const py::object& o) { return frameFromPython(o, defaultSession()); }
std::optional<DataFrame> asOptionalFrame(const std::optional<py::object>& o) {
  if (!o || o->is_none()) return std::nullopt;
  return asFrame(*o);
}

// ----- errors -----

// The exception classes live as long as the process (never released after the interpreter has finished).
PyObject* datasetErrorType = nullptr;
PyObject* analysisErrorType = nullptr;
PyObject* parseErrorType = nullptr;
PyObject* notFoundType = nullptr;

void registerErrors(py::module_& m) {
  datasetErrorType = (new py::exception<spark::DatasetError>(m, "DatasetError", PyExc_Exception))->ptr();
  analysisErrorType = (new py::exception<engine::AnalysisException>(m, "AnalysisException", PyExc_Exception))->ptr();
  parseErrorType = (new py::exception<engine::ParseException>(m, "ParseException", analysisErrorType))->ptr();
  notFoundType = (new py::exception<norq::CalculationNotFound>(m, "CalculationNotFound", PyExc_LookupError))->ptr();
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const spark::DatasetError& e) {
      PyErr_SetString(datasetErrorType, e.what());
    } catch (const norq::ValueError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const norq::NotImplementedError& e) {
      PyErr_SetString(PyExc_NotImplementedError, e.what());
    } catch (const norq::CalculationNotFound& e) {
      PyErr_SetString(notFoundType, e.what());
    } catch (const engine::ParseException& e) {
      PyErr_SetString(parseErrorType, e.what());
    } catch (const engine::AnalysisException& e) {
      PyErr_SetString(analysisErrorType, e.what());
    } catch (const engine::IllegalArgumentException& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const cli::CliError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });
}

// ----- calculations -----

norq::CalculationParams metricParams(const py::object& data, const std::string& pred, const std::string& label,
                                     const std::optional<std::string>& protected_, const std::optional<py::object>& privileged,
                                     const std::optional<py::object>& unprivileged, const py::object& positive,
                                     const py::object& negative) {
  norq::CalculationParams p;
  p.data = asFrame(data);
  p.pred = pred;
  p.label = label;
  if (protected_) p.protected_ = *protected_;
  if (auto v = valuesFromPython(privileged)) p.privileged = *v;
  if (auto v = valuesFromPython(unprivileged)) p.unprivileged = *v;
  p.positive_outcome_label = fromPython(positive);
  p.negative_outcome_label = fromPython(negative);
  return p;
}

double runMetric(const std::string& name, const norq::CalculationParams& p) {
  py::gil_scoped_release nogil;
  return std::any_cast<double>(norq::calculate(name, p));
}

const char* kMetricDoc =
    " of the prediction column `pred` against the label column `label` over the frame `data`, rounded "
    "to two decimals (exactly, on the binary value). `positive_outcome_label` (default 1) is the outcome counted "
    "as positive; `negative_outcome_label` (default 0) the negative one. ValueError for a missing column or a "
    "frame without rows.";

void bindMetric(py::module_& m, const std::string& name, const std::string& what) {
  m.def(
      name.c_str(),
      [name](const py::object& data, const std::string& pred, const std::string& label, const py::object& positive,
             const py::object& negative, const std::optional<std::string>& protected_,
             const std::optional<py::object>& privileged, const std::optional<py::object>& unprivileged) {
        return runMetric(name, metricParams(data, pred, label, protected_, privileged, unprivileged, positive, negative));
      },
      py::arg("data"), py::kw_only(), py::arg("pred"), py::arg("label"), py::arg("positive_outcome_label") = 1,
      py::arg("negative_outcome_label") = 0, py::arg("protected") = py::none(), py::arg("privileged") = py::none(),
      py::arg("unprivileged") = py::none(),
      (what + kMetricDoc).c_str());
}

// ----- datasets -----

py::list violations(engine::LocalTable::RowRange range) {
  std::vector<std::pair<std::size_t, engine::Row>> rows;
  {
    py::gil_scoped_release nogil;
    for (auto [i, row] : range) rows.emplace_back(i, std::move(row));
  }
  py::list out;
  for (const auto& [i, row] : rows) {
    std::vector<std::string> names = row.names();
    out.append(py::make_tuple(i, rowToDict(row, names)));
  }
  return out;
}

py::dict profileToDict(const norq::DataProfile& p) {
  py::list features;
  for (const auto& f : p.feature_profiles()) {
    py::dict d;
    d["feature"] = f.feature;
    d["condition"] = f.condition ? py::object(py::str(*f.condition)) : py::object(py::none());
    d["type"] = norq::to_string(f.type);
    d["minimum"] = f.minimum;
    d["maximum"] = f.maximum;
    d["distinct_values"] = f.distinct_values;
    d["missing_values"] = f.missing_values;
    d["missing_values_percentage"] = f.missing_values_percentage;
    features.append(d);
  }
  py::dict d;
  d["name"] = p.name();
  d["hash"] = p.hash();
  d["features"] = features;
  return d;
}

template <class Args>
void fillCommon(Args& a, const py::kwargs& kw) {
  for (auto [key, value] : kw) {
    std::string k = py::str(key);
    if (value.is_none()) continue;
    if (k == "label") a.label = py::cast<std::string>(value);
    else if (k == "prediction") a.prediction = py::cast<std::string>(value);
    else if (k == "cat_col") a.cat_col = py::cast<std::vector<std::string>>(value);
    else if (k == "cont_col") a.cont_col = py::cast<std::vector<std::string>>(value);
    else if (k == "id_col") a.id_col = py::cast<std::vector<std::string>>(value);
    else if (k == "date_col") a.date_col = py::cast<std::vector<std::string>>(value);
    else if (k == "convert_date_cols") a.convert_date_cols = py::cast<bool>(value);
    else if (k == "datetime_format") a.datetime_format = py::cast<std::string>(value);
    else if (k == "name") a.name = py::cast<std::string>(value);
    else if (k == "register_creation") a.register_creation = py::cast<bool>(value);
    else if (k == "train_valid_test_splits") a.train_valid_test_splits = py::cast<spark::Splits>(value);
    else if (k == "random_seed") a.random_seed = py::cast<std::int64_t>(value);
    else throw py::type_error("dataset() got an unexpected keyword argument '" + k + "'");
  }
}

norq::BiasParams biasParams(const py::object& o) {
  if (py::isinstance<norq::BiasParams>(o)) return o.cast<norq::BiasParams>();
  if (!py::isinstance<py::dict>(o)) throw py::type_error("bias_params must be a BiasParams or a dict");
  norq::BiasParams b;
  py::dict d = o;
  for (auto [key, value] : d) {
    std::string k = py::str(key);
    if (k == "protected") b.protected_ = value.is_none() ? std::nullopt : std::optional(value.cast<std::string>());
    else if (k == "privileged") b.privileged = valuesFromPython(py::reinterpret_borrow<py::object>(value));
    else if (k == "unprivileged") b.unprivileged = valuesFromPython(py::reinterpret_borrow<py::object>(value));
    else if (k == "positive_outcome_label") b.positive_outcome_label = fromPython(value);
    else if (k == "negative_outcome_label") b.negative_outcome_label = fromPython(value);
    else throw py::type_error("bias_params has an unexpected key '" + k + "'");
  }
  return b;
}

// ----- scan -----

py::dict runScan(const std::string& data, const py::kwargs& kw) {
  cli::ScanOptions o;
  o.data = data;
  o.quiet = true;
  auto str = [](const py::handle& v) { return v.cast<std::string>(); };
  auto strs = [](const py::handle& v) {
    if (py::isinstance<py::str>(v)) return std::vector<std::string>{v.cast<std::string>()};
    std::vector<std::string> out;
    for (auto item : v) out.push_back(py::str(item));
    return out;
  };
  for (auto [key, value] : kw) {
    std::string k = py::str(key);
    if (value.is_none()) continue;
    if (k == "command") o.command = str(value);
    else if (k == "reference") o.reference = str(value);
    else if (k == "header") o.noHeader = !value.cast<bool>();
    else if (k == "where") o.where = str(value);
    else if (k == "name") o.name = str(value);
    else if (k == "label") o.label = str(value);
    else if (k == "prediction") o.prediction = str(value);
    else if (k == "id") o.ids = strs(value);
    else if (k == "date") o.dates = strs(value);
    else if (k == "categorical") o.cats = strs(value);
    else if (k == "continuous") o.conts = strs(value);
    else if (k == "convert_dates") o.convertDates = value.cast<bool>();
    else if (k == "date_format") o.csv.dateFormat = str(value);
    else if (k == "delimiter") o.csv.delimiter = str(value);
    else if (k == "quote") o.csv.quote = str(value);
    else if (k == "escape") o.csv.escape = str(value);
    else if (k == "null_value") o.csv.nullValue = str(value);
    else if (k == "timestamp_format") o.csv.timestampFormat = str(value);
    else if (k == "encoding") o.csv.encoding = str(value);
    else if (k == "splits") {
      std::string s;
      for (auto item : value) s += (s.empty() ? "" : ",") + std::string(py::str(item));
      o.splits = s;
    } else if (k == "seed") o.seed = value.cast<std::int64_t>();
    else if (k == "config") o.config = str(value);
    else if (k == "protected") o.protectedAttr = str(value);
    else if (k == "privileged") o.privileged = strs(value);
    else if (k == "unprivileged") o.unprivileged = strs(value);
    else if (k == "positive") o.positive = std::string(py::str(value));
    else if (k == "negative") o.negative = std::string(py::str(value));
    else if (k == "keep_protected") o.keepProtected = value.cast<bool>();
    else if (k == "duplicates") o.noDuplicates = !value.cast<bool>();
    else if (k == "order") o.orderPairs = strs(value);
    else if (k == "missing_id") o.missingIds = strs(value);
    else if (k == "drift_bins") o.driftBins = value.cast<std::int64_t>();
    else if (k == "histogram_bins") o.histogramBins = value.cast<std::int64_t>();
    else if (k == "sample_rows") o.sampleRows = value.cast<std::int64_t>();
    else if (k == "history") o.history = str(value);
    else if (k == "html") o.html = str(value);
    else if (k == "json") o.json = str(value);
    else throw py::type_error("scan() got an unexpected keyword argument '" + k + "'");
  }
  std::string text;
  {
    py::gil_scoped_release nogil;
    cli::Progress progress(false);
    cli::ScanOutcome outcome = cli::runScan(o, progress);
    text = outcome.report.dump();
    if (o.json) cli::writeFileAtomically(*o.json, outcome.report.dump(2) + "\n");
    if (o.html) cli::writeFileAtomically(*o.html, cli::renderHtml(outcome.report));
  }
  return py::module_::import("json").attr("loads")(text);
}

}  // namespace

PYBIND11_MODULE(norq_spark, m) {
  m.doc() =
      "The norq-spark library from Python: datasets over engine frames (made from pandas, Arrow, pyspark and "
      "files), their profiles, histograms and data-quality checks, the two-sample KS test, performance and "
      "fairness metrics, predictions of scikit-learn models, and the scan report.";
  spark::load();
  registerErrors(m);

  // ----- sessions and frames -----
  py::class_<DataFrame>(m, "DataFrame",
                        "An immutable handle on a lazy query of the engine; actions (count, collect, toArrow, "
                        "toPandas) run it.")
      .def("count", &DataFrame::count, py::call_guard<py::gil_scoped_release>(), "Number of rows.")
      .def_property_readonly("columns", &DataFrame::columns, "Column names, in order.")
      .def_property_readonly(
          "dtypes",
          [](const DataFrame& df) {
            std::vector<std::pair<std::string, std::string>> out;
            // The schema is a value: it must outlive the loop over its fields.
            const engine::StructType schema = df.schema();
            for (const auto& f : schema.fields()) out.emplace_back(f.name, f.dataType.simpleString());
            return out;
          },
          "(name, type) per column, with Spark's type names.")
      .def("filter", py::overload_cast<const std::string&>(&DataFrame::filter, py::const_), py::arg("condition"),
           "Rows matching a SQL condition.")
      .def("where", py::overload_cast<const std::string&>(&DataFrame::filter, py::const_), py::arg("condition"))
      .def(
          "select", [](const DataFrame& df, py::args cols) { return df.selectExpr(cols.cast<std::vector<std::string>>()); },
          "Columns or SQL expressions.")
      .def("limit", &DataFrame::limit, py::arg("n"))
      .def("createOrReplaceTempView", &DataFrame::createOrReplaceTempView, py::arg("name"))
      .def(
          "collect",
          [](const DataFrame& df) {
            engine::LocalTable t = collect(df);
            std::vector<std::string> names = t.columns();
            py::list out;
            for (std::size_t i = 0; i < t.numRows(); ++i) out.append(rowToDict(t.row(i), names));
            return out;
          },
          "Every row as a dict (use toArrow or toPandas for many rows).")
      .def("toArrow", &frameToArrow, "The rows as a pyarrow Table (numbers share the engine's memory).")
      .def("toPandas", &frameToPandas, "The rows as a pandas DataFrame.")
      .def("__repr__", [](const DataFrame& df) {
        std::string s = "DataFrame[";
        bool first = true;
        const engine::StructType schema = df.schema();
        for (const auto& f : schema.fields()) {
          s += (first ? "" : ", ") + f.name + ": " + f.dataType.simpleString();
          first = false;
        }
        return s + "]";
      });

  py::class_<SparkSession::Builder>(m, "SparkSessionBuilder")
      .def("appName", &SparkSession::Builder::appName, py::return_value_policy::reference_internal)
      .def("master", &SparkSession::Builder::master, py::return_value_policy::reference_internal)
      .def("config", &SparkSession::Builder::config, py::return_value_policy::reference_internal)
      .def("remote", &SparkSession::Builder::remote, py::arg("url"), py::return_value_policy::reference_internal,
           "Run the session's frames on a Spark server through Spark Connect (sc://host:port/;token=...).")
      .def("getOrCreate", &SparkSession::Builder::getOrCreate, py::call_guard<py::gil_scoped_release>(),
           "The active session if there is one, else a new one.")
      .def("create", &SparkSession::Builder::create, py::call_guard<py::gil_scoped_release>(),
           "A new session (it becomes the active one).");

  struct Reader {
    SessionPtr session;
  };
  py::class_<Reader>(m, "DataFrameReader")
      .def(
          "csv",
          [](const Reader& r, const std::string& path, bool header, bool inferSchema, const py::kwargs& options) {
            engine::DataFrameReader reader = r.session->read();
            for (auto [k, v] : options) reader.option(py::str(k), std::string(py::str(v)));
            py::gil_scoped_release nogil;
            return reader.csv(path, header, inferSchema);
          },
          py::arg("path"), py::arg("header") = true, py::arg("inferSchema") = true,
          "A CSV file or a folder of part files, with Spark's schema inference; other keyword arguments are "
          "the reader's options (sep, nullValue, mode, ...).")
      .def(
          "parquet",
          [](const Reader& r, const std::string& path) {
            py::object table = py::module_::import("pyarrow.parquet").attr("read_table")(path);
            return frameFromPython(table, r.session);
          },
          py::arg("path"), "A Parquet file or folder, read by Arrow.");

  py::class_<SparkSession, SessionPtr>(m, "SparkSession",
                                       "A session of the embedded engine, or of a Spark server through Spark Connect.")
      .def_property_readonly_static("builder", [](py::object) { return SparkSession::builder(); })
      .def(
          "createDataFrame", [](const SessionPtr& s, const py::object& data) { return frameFromPython(data, s); },
          py::arg("data"),
           "An engine frame from a pandas DataFrame, a pyarrow Table, RecordBatch or RecordBatchReader, or a "
           "pyspark DataFrame (its rows fetched as Arrow). Columns are copied once, in parallel.")
      .def_property_readonly("read", [](const SessionPtr& s) { return Reader{s}; })
      .def("sql", &SparkSession::sql, py::arg("query"), py::call_guard<py::gil_scoped_release>())
      .def("range", py::overload_cast<std::int64_t>(&SparkSession::range), py::arg("end"))
      .def_property_readonly("isRemote", &SparkSession::isRemote,
                             "True when the frames run on a Spark server (paths then name files the server reads).")
      .def("stop", &SparkSession::stop);

  m.def(
      "session",
      [](const std::optional<std::string>& remote) {
        if (!remote) return defaultSession();
        py::gil_scoped_release nogil;
        return SparkSession::builder().appName("norq_spark").remote(*remote).create();
      },
      py::arg("remote") = py::none(),
      "The process's session (created on first use: on the embedded engine, or on the Spark Connect server named "
      "by SPARK_REMOTE when set). With remote='sc://host:port', a new session on that Spark Connect server, "
      "which becomes the active one: frames from pandas and Arrow made afterwards are sent to it, and "
      "read.csv reads files on the server.");
  m.def(
      "from_pandas", [](const py::object& data) { return asFrame(data); }, py::arg("data"),
      "An engine frame from a pandas DataFrame (also a pyarrow Table or record batch) in the default session.");
  m.def(
      "from_arrow", [](const py::object& data) { return asFrame(data); }, py::arg("data"),
      "An engine frame from a pyarrow Table, RecordBatch or RecordBatchReader in the default session.");

  // ----- datasets -----
  py::enum_<norq::DatasetSegment>(m, "DatasetSegment")
      .value("ALL", norq::DatasetSegment::ALL)
      .value("TRAINING", norq::DatasetSegment::TRAINING)
      .value("VALIDATION", norq::DatasetSegment::VALIDATION)
      .value("TESTING", norq::DatasetSegment::TESTING);

  py::class_<norq::BiasParams>(m, "BiasParams")
      .def_readwrite("protected", &norq::BiasParams::protected_)
      .def_property_readonly("privileged",
                             [](const norq::BiasParams& b) -> py::object {
                               if (!b.privileged) return py::none();
                               py::list l;
                               for (const auto& v : *b.privileged) l.append(toPython(v));
                               return l;
                             })
      .def_property_readonly("unprivileged",
                             [](const norq::BiasParams& b) -> py::object {
                               if (!b.unprivileged) return py::none();
                               py::list l;
                               for (const auto& v : *b.unprivileged) l.append(toPython(v));
                               return l;
                             })
      .def_property_readonly("positive_outcome_label",
                             [](const norq::BiasParams& b) { return toPython(b.positive_outcome_label); })
      .def_property_readonly("negative_outcome_label",
                             [](const norq::BiasParams& b) { return toPython(b.negative_outcome_label); });

  using Seg = norq::DatasetSegment;
  py::class_<spark::MetricCalculationParams>(m, "MetricCalculationParams")
      .def_readonly("frame", &spark::MetricCalculationParams::frame)
      .def_readonly("prediction_name", &spark::MetricCalculationParams::prediction_name)
      .def_readonly("target_name", &spark::MetricCalculationParams::target_name)
      .def_readonly("protected", &spark::MetricCalculationParams::protected_);

  using B = BaseSparkDatasetMixin;
  auto nogil = py::call_guard<py::gil_scoped_release>();
  py::class_<B, std::shared_ptr<B>>(m, "BaseSparkDataset", "A dataset over engine frames: training, validation "
                                                           "and testing rows with features, a target and "
                                                           "optionally predictions.")
      .def_property_readonly("name", &B::name)
      .def_property_readonly("id", &B::id)
      .def("checksum", [](const B& d) {
        py::dict out;
        for (const auto& [k, v] : d.checksum().items()) out[py::str(k)] = v;
        return out;
      }, "Per segment, 16 hexadecimal digits of Spark's sum(xxhash64(all columns)) of its rows.")
      .def("overall_checksum", &B::overall_checksum)
      .def("number_of_samples", &B::number_of_samples, nogil)
      .def("number_of_training_samples", &B::number_of_training_samples, nogil)
      .def("number_of_validation_samples", &B::number_of_validation_samples, nogil)
      .def("number_of_testing_samples", &B::number_of_testing_samples, nogil)
      .def("number_of_features", &B::number_of_features)
      .def_property_readonly("feature_names", &B::feature_names)
      .def_property_readonly("all_feature_names", &B::all_feature_names)
      .def_property_readonly("id_feature_names", &B::id_feature_names)
      .def_property_readonly("date_feature_names", &B::date_feature_names)
      .def_property_readonly("categorical_features", py::overload_cast<>(&B::categorical_features, py::const_))
      .def_property_readonly("continuous_features", py::overload_cast<>(&B::continuous_features, py::const_))
      .def_property_readonly("target_name", &B::target_name)
      .def_property_readonly("prediction_name", &B::prediction_name)
      .def("features", &B::features)
      .def("target", &B::target)
      .def("prediction", &B::prediction)
      .def("features_training", &B::features_training)
      .def("features_validation", &B::features_validation)
      .def("features_testing", &B::features_testing)
      .def("feature", &B::feature, py::arg("name"), py::arg("mask") = "")
      .def("feature_training", &B::feature_training, py::arg("name"), py::arg("mask") = "")
      .def("feature_validation", &B::feature_validation, py::arg("name"), py::arg("mask") = "")
      .def("feature_testing", &B::feature_testing, py::arg("name"), py::arg("mask") = "")
      .def("to_dataframe", [](const B& d) { return tableToArrow([&] { py::gil_scoped_release g; return d.to_dataframe(); }()).attr("to_pandas")(); },
           "Every row (training, validation, testing) as a pandas DataFrame.")
      .def("filter_count", &B::filter_count, py::arg("condition"), py::arg("dataset_segment") = Seg::ALL, nogil)
      .def("feature_min", [](const B& d, const std::string& n, Seg s, const std::string& mask) {
        Value v; { py::gil_scoped_release g; v = d.feature_min(n, s, mask); } return toPython(v);
      }, py::arg("name"), py::arg("dataset_segment") = Seg::ALL, py::arg("mask") = "")
      .def("feature_max", [](const B& d, const std::string& n, Seg s, const std::string& mask) {
        Value v; { py::gil_scoped_release g; v = d.feature_max(n, s, mask); } return toPython(v);
      }, py::arg("name"), py::arg("dataset_segment") = Seg::ALL, py::arg("mask") = "")
      .def("get_feature_categories", [](const B& d, const std::string& n, Seg s, const std::string& mask) {
        std::vector<Value> v; { py::gil_scoped_release g; v = d.get_feature_categories(n, s, mask); }
        py::list l; for (const auto& x : v) l.append(toPython(x)); return l;
      }, py::arg("name"), py::arg("dataset_segment") = Seg::ALL, py::arg("mask") = "")
      .def("median", &B::median, py::arg("name"), py::arg("dataset_segment") = Seg::ALL, py::arg("mask") = "", nogil,
           "Approximate median (accuracy 10000), one of the column's values; NaN without values.")
      .def("mean", &B::mean, py::arg("name"), py::arg("dataset_segment") = Seg::ALL, py::arg("mask") = "", nogil,
           "Mean; NaN without values.")
      .def("quantiles", &B::quantiles, py::arg("name"), py::arg("quantile_vals"), py::arg("dataset_segment") = Seg::ALL,
           py::arg("mask") = "", nogil, "Approximate quantiles (accuracy 1000000), one per fraction.")
      .def("get_metric_calculation_params", &B::get_metric_calculation_params, py::arg("condition") = "", nogil)
      .def("generate_data_profile", [](const B& d, const std::optional<std::vector<std::string>>& group_by) {
        std::optional<norq::DataProfile> p;
        { py::gil_scoped_release g; p.emplace(d.generate_data_profile(group_by)); }
        return profileToDict(*p);
      }, py::arg("group_by") = py::none(),
           "The data profile: per feature, then the target and the prediction, its kind, minimum and maximum, "
           "distinct and missing values. Grouping raises NotImplementedError.")
      .def("histogram", &B::histogram, py::arg("feature_name"), py::arg("bins") = 15, nogil,
           "(labels, counts) of one column over all rows.")
      .def("check_column_ordering_violations", [](const B& d, const std::string& gt, const std::string& lt,
                                                  const std::optional<std::vector<std::string>>& ids) {
        return violations([&] { py::gil_scoped_release g; return d.check_column_ordering_violations(gt, lt, ids); }());
      }, py::arg("gt_feature"), py::arg("lt_feature"), py::arg("ids") = py::none(),
           "(position, row) of the rows where lt_feature is greater than gt_feature.")
      .def("check_duplicate_row_violations", [](const B& d, const std::optional<std::vector<std::string>>& subset,
                                                const std::optional<std::vector<std::string>>& ids) {
        return violations([&] { py::gil_scoped_release g; return d.check_duplicate_row_violations(subset, ids); }());
      }, py::arg("duplicate_features_subset") = py::none(), py::arg("ids") = py::none(),
           "(position, row) of every copy of rows occurring more than once.")
      .def("check_missing_ids", [](const B& d, const std::string& id, const std::optional<std::vector<std::string>>& ids) {
        return violations([&] { py::gil_scoped_release g; return d.check_missing_ids(id, ids); }());
      }, py::arg("id_feature"), py::arg("primary_ids") = py::none(), "(position, row) of rows without id_feature.");

  py::class_<spark::SimpleSparkDataset, B, std::shared_ptr<spark::SimpleSparkDataset>>(m, "SimpleSparkDataset");
  py::class_<spark::BiasSparkDataset, B, std::shared_ptr<spark::BiasSparkDataset>>(m, "BiasSparkDataset")
      .def_property_readonly("protected_name", &spark::BiasSparkDataset::protected_name)
      .def("protected", &spark::BiasSparkDataset::protected_)
      .def("filter", &spark::BiasSparkDataset::filter, py::arg("condition"), py::arg("dataset_segment") = Seg::ALL, nogil);

  py::class_<spark::SimpleSparkDatasetBuilder>(m, "SimpleSparkDatasetBuilder")
      .def_static(
          "dataset",
          [](const py::object& features, const std::optional<py::object>& target, const py::kwargs& kw) {
            spark::SimpleSparkDatasetBuilder::DatasetArgs a;
            a.features = asFrame(features);
            a.target = asOptionalFrame(target);
            fillCommon(a, kw);
            py::gil_scoped_release g;
            return spark::SimpleSparkDatasetBuilder::dataset(a);
          },
          py::arg("features"), py::arg("target") = py::none(),
          "A dataset from one frame holding the features, the label (keyword label=) and optionally the "
          "predictions (prediction=), split at random (train_valid_test_splits=, random_seed=). Other keywords: "
          "cat_col, cont_col, id_col, date_col, convert_date_cols, datetime_format, name, register_creation. "
          "Unset ones come from the configuration. DatasetError or ValueError for inconsistent arguments.");

  py::class_<spark::BiasSparkDatasetBuilder>(m, "BiasSparkDatasetBuilder")
      .def_static(
          "bias_params",
          [](const std::optional<std::string>& protected_, const std::optional<py::object>& privileged,
             const std::optional<py::object>& unprivileged, const py::object& positive, const py::object& negative) {
            spark::BiasSparkDatasetBuilder::BiasParamsArgs a;
            a.protected_ = protected_;
            a.privileged = valuesFromPython(privileged);
            a.unprivileged = valuesFromPython(unprivileged);
            if (!positive.is_none()) a.positive_outcome_label = fromPython(positive);
            if (!negative.is_none()) a.negative_outcome_label = fromPython(negative);
            return spark::BiasSparkDatasetBuilder::bias_params(a);
          },
          py::kw_only(), py::arg("protected") = py::none(), py::arg("privileged") = py::none(),
          py::arg("unprivileged") = py::none(), py::arg("positive_outcome_label") = py::none(),
          py::arg("negative_outcome_label") = py::none(), "Bias parameters, unset ones from the configuration.")
      .def_static(
          "dataset",
          [](const py::object& features, const py::object& bias_params, const std::optional<bool>& remove_protected,
             py::kwargs kw) {
            spark::BiasSparkDatasetBuilder::DatasetArgs a;
            a.features = asFrame(features);
            if (!bias_params.is_none()) a.bias_params = biasParams(bias_params);
            a.remove_protected_from_features = remove_protected;
            fillCommon(a, kw);
            py::gil_scoped_release g;
            return spark::BiasSparkDatasetBuilder::dataset(a);
          },
          py::arg("features"), py::arg("bias_params") = py::none(), py::arg("remove_protected_from_features") = py::none(),
          "A bias dataset: as SimpleSparkDatasetBuilder.dataset, with bias_params (BiasParams or a dict with "
          "protected, privileged, unprivileged, positive_outcome_label, negative_outcome_label).");

  // ----- statistics and metrics -----
  m.def(
      "ks_2samp",
      [](const py::object& a, const py::object& b) {
        DataFrame fa = asFrame(a), fb = asFrame(b);
        spark::KsResult r;
        {
          py::gil_scoped_release g;
          r = spark::spark_ks_2samp(fa, fb);
        }
        return py::make_tuple(r.statistic ? py::object(py::float_(*r.statistic)) : py::object(py::none()), r.pvalue);
      },
      py::arg("data1"), py::arg("data2"),
      "Two-sample Kolmogorov-Smirnov test of the first column of data1 against the same column of data2: "
      "(statistic, pvalue). Nulls and NaN are ignored; statistic None when a sample has no value.");
  bindMetric(m, "accuracy", "Accuracy");
  bindMetric(m, "true_pos_rate", "True positive rate");
  bindMetric(m, "true_neg_rate", "True negative rate");
  bindMetric(m, "demographic_parity", "Demographic parity (share predicted positive)");
  bindMetric(m, "equal_odds_tpr", "Equal odds, true positive rate");
  bindMetric(m, "equal_odds_tnr", "Equal odds, true negative rate");
  bindMetric(m, "equal_opportunity", "Equal opportunity");
  m.def(
      "metric_diff",
      [](const py::object& data, const std::string& metric, const std::string& pred, const std::string& label,
         const std::string& protected_, const py::object& privileged, const py::object& unprivileged,
         const py::object& positive, const py::object& negative) {
        norq::CalculationParams p = metricParams(data, pred, label, protected_, privileged, unprivileged, positive, negative);
        p.metric = std::make_shared<norq::Calculation>(metric);
        return runMetric("metric_diff", p);
      },
      py::arg("data"), py::kw_only(), py::arg("metric"), py::arg("pred"), py::arg("label"), py::arg("protected"),
      py::arg("privileged"), py::arg("unprivileged"), py::arg("positive_outcome_label") = 1,
      py::arg("negative_outcome_label") = 0,
      "The metric (by name) on the privileged rows minus the same on the unprivileged rows of `protected`.");
  m.def(
      "calculate",
      [](const std::string& name, const py::object& data, const py::kwargs& kw) -> py::object {
        std::string pred = kw.contains("pred") ? kw["pred"].cast<std::string>() : "";
        std::string label = kw.contains("label") ? kw["label"].cast<std::string>() : "";
        std::optional<std::string> prot;
        if (kw.contains("protected")) prot = kw["protected"].cast<std::string>();
        std::optional<py::object> priv, unpriv;
        if (kw.contains("privileged")) priv = kw["privileged"];
        if (kw.contains("unprivileged")) unpriv = kw["unprivileged"];
        py::object pos = kw.contains("positive_outcome_label") ? py::object(kw["positive_outcome_label"]) : py::object(py::int_(1));
        py::object neg = kw.contains("negative_outcome_label") ? py::object(kw["negative_outcome_label"]) : py::object(py::int_(0));
        norq::CalculationParams p = metricParams(data, pred, label, prot, priv, unpriv, pos, neg);
        if (kw.contains("data2")) p.data2 = asFrame(kw["data2"]);
        if (kw.contains("metric")) p.metric = std::make_shared<norq::Calculation>(kw["metric"].cast<std::string>());
        std::any r;
        {
          py::gil_scoped_release g;
          r = norq::calculate(name, p);
        }
        if (auto* d = std::any_cast<double>(&r)) return py::float_(*d);
        if (auto* k = std::any_cast<spark::KsResult>(&r))
          return py::make_tuple(k->statistic ? py::object(py::float_(*k->statistic)) : py::object(py::none()), k->pvalue);
        throw norq::NotImplementedError("the result of " + name + " has no Python form");
      },
      py::arg("name"), py::arg("data"),
      "A registered calculation by name (accuracy, true_pos_rate, ..., metric_diff, ks_2samp) on an engine frame, "
      "with the framework's parameters as keywords (pred, label, protected, privileged, unprivileged, "
      "positive_outcome_label, negative_outcome_label, data2, metric). CalculationNotFound for an unknown name.");

  // ----- predictions -----
  m.def(
      "predictions_from_sklearn",
      [](const py::object& model, const py::object& df, const std::optional<std::vector<std::string>>& feature_cols,
         const std::optional<std::string>& prediction_label, const std::optional<std::string>& target_label,
         const std::optional<std::vector<std::string>>& exclude_labels) {
        spark::PredictionsArgs a;
        if (py::isinstance<py::str>(model)) {
          std::string path = model.cast<std::string>();
          py::gil_scoped_release g;
          a.model = spark::SklearnModel::load(path);
        } else {
          std::string description = py::repr(model);
          if (description.size() > 80) description = description.substr(0, 77) + "...";
          a.model = spark::SklearnModel::from_object(model.ptr(), description);
        }
        a.df = asFrame(df);
        a.feature_cols = feature_cols;
        a.prediction_label = prediction_label;
        a.target_label = target_label;
        a.exclude_labels = exclude_labels;
        py::gil_scoped_release g;
        auto [frame, label] = spark::predictions_from_sklearn(a);
        return std::make_pair(frame, label);
      },
      py::arg("model"), py::kw_only(), py::arg("df"), py::arg("feature_cols") = py::none(),
      py::arg("prediction_label") = py::none(), py::arg("target_label") = py::none(),
      py::arg("exclude_labels") = py::none(),
      "(frame with a prediction column, its name): a fitted scikit-learn model (the object, or the path of a "
      "pickle/joblib file: loading a file runs code from it, use trusted files only) applied to the feature "
      "columns in batches on the engine's worker threads when the frame is evaluated.");

  // ----- scan -----
  m.def("scan", &runScan, py::arg("data"),
        "Runs the checks of `norq-spark scan` on a CSV file (or folder) and returns the report as a dict with "
        "the JSON report's structure. Keywords mirror the command's options: reference, label, prediction, id, "
        "date, categorical, continuous, convert_dates, date_format, splits, seed, protected, privileged, "
        "unprivileged, positive, negative, keep_protected, duplicates, order, missing_id, where, drift_bins, "
        "histogram_bins, sample_rows, header, name, config, history, command ('scan', 'profile', 'quality', "
        "'drift', 'metrics'); html= and json= write the report files.");
}
