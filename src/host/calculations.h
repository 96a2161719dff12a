// The calculation registry: the framework's named calculations ("accuracy", "ks_2samp", "predictions", ...)
// are routed by name and by the runtime type of their data argument to the function a backend registered
// for that pair. A backend registers through proxy_calculation_for_type (and register_histogram_handler for
// drift histograms), once per process; registrations live for the life of the process. The registry is the
// framework's one documented piece of global state (with the memos); it is thread-safe.
#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <typeindex>
#include <utility>
#include <vector>

#include "engine/value.h"

namespace norq {

class Calculation;

// The one parameter set handed to every calculation; each function reads the fields it needs and ignores
// the rest (the framework's "further keyword arguments are accepted and ignored").
struct CalculationParams {
  std::any data;   // the rows to compute over (the backend's frame type); routes the call
  std::any data2;  // a second sample (two-sample tests)
  std::string pred;
  std::string label;
  std::string protected_;
  std::vector<engine::Value> privileged;
  std::vector<engine::Value> unprivileged;
  engine::Value positive_outcome_label;
  engine::Value negative_outcome_label;
  std::shared_ptr<const Calculation> metric;  // for group differences
  // Predictions.
  std::any model;
  std::optional<std::vector<std::string>> feature_cols;
  std::optional<std::string> prediction_label;
  std::optional<std::string> target_label;
  std::optional<std::vector<std::string>> exclude_labels;
};

using CalculationFn = std::function<std::any(const CalculationParams&)>;

// A named framework calculation: calling it routes to the function registered for its name and the type of
// the data, and returns {name: result}.
class Calculation {
 public:
  explicit Calculation(std::string name) : name_(std::move(name)) {}
  const std::string& name() const { return name_; }
  std::map<std::string, std::any> operator()(const CalculationParams& params) const;

 private:
  std::string name_;
};

// Registers functions for one calculation name and data type; applying it to a function registers that
// function and returns it unchanged.
class CalculationProxy {
 public:
  CalculationProxy(std::string name, std::type_index type) : name_(std::move(name)), type_(type) {}
  template <class F>
  F operator()(F f) const {
    registerFn(CalculationFn([f](const CalculationParams& p) -> std::any { return f(p); }));
    return f;
  }
  const std::string& name() const { return name_; }
  std::type_index type() const { return type_; }

 private:
  void registerFn(CalculationFn fn) const;
  std::string name_;
  std::type_index type_;
};

CalculationProxy proxy_calculation_for_type(const std::string& name, std::type_index type);

// Runs calculation `name` on params.data; throws CalculationNotFound naming the calculation and the type when
// nothing is registered for the pair.
std::any calculate(const std::string& name, const CalculationParams& params);
template <class R>
R calculate_as(const std::string& name, const CalculationParams& params) {
  return std::any_cast<R>(calculate(name, params));
}
bool has_calculation(const std::string& name, std::type_index type);

// Drift histograms: (expected proportions, actual proportions) of two samples.
struct HistogramRequest {
  std::any expected_dist;
  std::any new_dist;
  std::optional<int> number_of_bins;
  std::string bucket_type = "bins";
  bool is_categorical = false;
  std::optional<std::vector<double>> breakpoints;
};
using HistogramResult = std::pair<std::vector<double>, std::vector<double>>;
using HistogramHandler = std::function<HistogramResult(const HistogramRequest&)>;

void register_histogram_handler(std::type_index type, HistogramHandler handler);
// Routes by the type of request.expected_dist; throws CalculationNotFound when no handler is registered.
HistogramResult histogram(const HistogramRequest& request);
bool has_histogram_handler(std::type_index type);

// Readable name of a type for messages ("engine::DataFrame").
std::string type_name(std::type_index type);

}  // namespace norq
