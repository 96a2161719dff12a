#include "host/calculations.h"

#include <cxxabi.h>

#include <cstdlib>
#include <mutex>

#include "host/errors.h"

namespace norq {

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::pair<std::string, std::type_index>, CalculationFn> calculations;
  std::map<std::type_index, HistogramHandler> histograms;
};

Registry& registry() {
  static Registry r;
  return r;
}

std::type_index typeOf(const std::any& a) { return std::type_index(a.type()); }

}  // namespace

std::string type_name(std::type_index type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string out = status == 0 && demangled ? demangled : type.name();
  std::free(demangled);
  return out;
}

void CalculationProxy::registerFn(CalculationFn fn) const {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.calculations[{name_, type_}] = std::move(fn);
}

CalculationProxy proxy_calculation_for_type(const std::string& name, std::type_index type) {
  return CalculationProxy(name, type);
}

bool has_calculation(const std::string& name, std::type_index type) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.calculations.count({name, type}) > 0;
}

std::any calculate(const std::string& name, const CalculationParams& params) {
  CalculationFn fn;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.calculations.find({name, typeOf(params.data)});
    if (it == r.calculations.end()) {
      const std::string what = params.data.has_value() ? "data of type " + type_name(typeOf(params.data)) : "no data";
      throw CalculationNotFound("No calculation '" + name + "' is registered for " + what + ".");
    }
    fn = it->second;
  }
  return fn(params);
}

std::map<std::string, std::any> Calculation::operator()(const CalculationParams& params) const {
  return {{name_, calculate(name_, params)}};
}

void register_histogram_handler(std::type_index type, HistogramHandler handler) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.histograms[type] = std::move(handler);
}

bool has_histogram_handler(std::type_index type) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.histograms.count(type) > 0;
}

HistogramResult histogram(const HistogramRequest& request) {
  HistogramHandler handler;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.histograms.find(typeOf(request.expected_dist));
    if (it == r.histograms.end()) {
      const std::string what = request.expected_dist.has_value()
                                   ? "data of type " + type_name(typeOf(request.expected_dist))
                                   : "no data";
      throw CalculationNotFound("No histogram handler is registered for " + what + ".");
    }
    handler = it->second;
  }
  return handler(request);
}

}  // namespace norq
