#include "host/config.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <mutex>

namespace norq {

namespace {

struct ConfigState {
  std::mutex mutex;
  bool loaded = false;
  nlohmann::json root = nlohmann::json::object();
};

ConfigState& state() {
  static ConfigState s;
  return s;
}

nlohmann::json readFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw ConfigError("Cannot read the configuration file " + path);
  nlohmann::json j;
  // Every later walk of the document recurses: its depth is bounded while parsing.
  constexpr int kMaxDepth = 100;
  const nlohmann::json::parser_callback_t bound = [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
    if (depth > kMaxDepth) throw std::length_error("nested more than 100 levels deep");
    return true;
  };
  try {
    j = nlohmann::json::parse(in, bound);
  } catch (const nlohmann::json::exception& e) {
    throw ConfigError("The configuration file " + path + " is not valid JSON: " + e.what());
  } catch (const std::length_error& e) {
    throw ConfigError("The configuration file " + path + " is " + e.what());
  }
  if (!j.is_object()) throw ConfigError("The configuration file " + path + " must hold a JSON object.");
  return j;
}

}  // namespace

void set_config_file(const std::string& path) {
  nlohmann::json j = path.empty() ? nlohmann::json::object() : readFile(path);
  ConfigState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.root = std::move(j);
  s.loaded = true;
}

const nlohmann::json& config() {
  ConfigState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.loaded) {
    const char* env = std::getenv("NORQ_CONFIG");
    s.root = env && *env ? readFile(env) : nlohmann::json::object();
    s.loaded = true;
  }
  return s.root;
}

nlohmann::json config_section(const std::string& section) {
  const nlohmann::json& root = config();
  if (!root.contains(section)) return nlohmann::json::object();
  const nlohmann::json& s = root[section];
  if (!s.is_object()) throw ConfigError("Configuration section '" + section + "' must be a JSON object.");
  return s;
}

engine::Value json_to_value(const nlohmann::json& j) {
  if (j.is_null()) return engine::Value();
  if (j.is_boolean()) return engine::Value(j.get<bool>());
  if (j.is_number_unsigned() && j.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
    // Read as a signed 64-bit number it would wrap to a negative value.
    throw ConfigError("Configuration value " + j.dump() + " is too large for a 64-bit integer.");
  if (j.is_number_integer()) {
    auto v = j.get<std::int64_t>();
    if (v >= INT32_MIN && v <= INT32_MAX) return engine::Value(static_cast<int>(v));
    return engine::Value(static_cast<long>(v));
  }
  if (j.is_number()) return engine::Value(j.get<double>());
  if (j.is_string()) return engine::Value(j.get<std::string>());
  throw ConfigError("Configuration value " + j.dump() + " is not a number, text or boolean.");
}

void fill_missing(std::optional<engine::Value>& field, const nlohmann::json& source, const char* key) {
  if (field.has_value() || !source.is_object() || !source.contains(key)) return;
  field = json_to_value(source[key]);
}

void fill_missing(std::optional<std::vector<engine::Value>>& field, const nlohmann::json& source, const char* key) {
  if (field.has_value() || !source.is_object() || !source.contains(key) || source[key].is_null()) return;
  std::vector<engine::Value> out;
  if (source[key].is_array()) {
    for (const auto& v : source[key]) out.push_back(json_to_value(v));
  } else {
    out.push_back(json_to_value(source[key]));
  }
  field = std::move(out);
}

}  // namespace norq
