// The framework's configuration: a JSON file whose sections hold defaults for operation arguments (the
// section "dataset" for the dataset constructors). Operations whose arguments come from configuration take
// options structs with std::optional fields; the helpers below fill the fields the caller left unset, and the
// operation applies its own defaults to whatever is still unset.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/value.h"
#include "host/errors.h"

namespace norq {

// Reads the configuration from `path` (ConfigError naming the file when it is missing or not a JSON
// object); an empty path clears it. The NORQ_CONFIG environment variable names the file used when none was
// set explicitly.
void set_config_file(const std::string& path);
// The whole configuration (an empty object when there is none).
const nlohmann::json& config();
// One section of it (an empty object when absent).
nlohmann::json config_section(const std::string& section);

// Sets `field` from `source[key]` when the field is unset and the key is present (ConfigError naming the key
// when the value has the wrong type).
template <class T>
void fill_missing(std::optional<T>& field, const nlohmann::json& source, const char* key) {
  if (field.has_value() || !source.is_object() || !source.contains(key) || source[key].is_null()) return;
  if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    // A whole number within the field's range: a fraction would be cut silently, and a number beyond the range
    // (4e27, 2^64) has no integer value at all.
    const nlohmann::json& v = source[key];
    bool fits = false;
    if (v.is_number_unsigned()) {
      fits = v.get<std::uint64_t>() <= static_cast<std::uint64_t>(std::numeric_limits<T>::max());
    } else if (v.is_number_integer()) {
      const std::int64_t x = v.get<std::int64_t>();
      fits = x >= 0 ? static_cast<std::uint64_t>(x) <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())
                    : std::is_signed_v<T> && x >= static_cast<std::int64_t>(std::numeric_limits<T>::min());
    }
    if (!fits)
      throw ConfigError(std::string("Configuration value '") + key + "' must be a whole number from " +
                        std::to_string(std::numeric_limits<T>::min()) + " to " +
                        std::to_string(std::numeric_limits<T>::max()) + ", not " + v.dump() + ".");
  }
  try {
    field = source[key].get<T>();
  } catch (const nlohmann::json::exception& e) {
    throw ConfigError(std::string("Configuration value '") + key + "' has the wrong type: " + e.what());
  }
}
// A JSON scalar as an engine value (numbers, text, booleans; null stays null).
engine::Value json_to_value(const nlohmann::json& j);
void fill_missing(std::optional<engine::Value>& field, const nlohmann::json& source, const char* key);
void fill_missing(std::optional<std::vector<engine::Value>>& field, const nlohmann::json& source, const char* key);

// Fills the options' unset fields from the whole configuration / from one section. Options provide
// `void fill_missing_from(const nlohmann::json&)`.
template <class Options>
Options use_config_for_missing_args(Options options) {
  options.fill_missing_from(config());
  return options;
}
template <class Options>
Options use_config_section_for_missing_args(Options options, const std::string& section) {
  options.fill_missing_from(config_section(section));
  return options;
}

}  // namespace norq
