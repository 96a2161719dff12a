// Fuzz target: the configuration file (--config, NORQ_CONFIG) read and applied to the dataset arguments.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "host/config.h"
#include "engine/errors.h"
#include "host/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/norq_fuzz_config_" + std::to_string(::getpid()) + ".json";
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    return 0;
  }
  try {
    norq::set_config_file(path);
    (void)norq::config().dump();
    // The dataset section fills the builders' options: every field kind is read from it.
    const nlohmann::json section = norq::config_section("dataset");
    std::optional<std::string> label;
    std::optional<std::vector<std::string>> columns;
    std::optional<bool> flag;
    std::optional<std::int64_t> seed;
    std::optional<engine::Value> value;
    std::optional<std::vector<engine::Value>> values;
    norq::fill_missing(label, section, "label");
    norq::fill_missing(columns, section, "cat_col");
    norq::fill_missing(flag, section, "convert_date_cols");
    norq::fill_missing(seed, section, "random_seed");
    norq::fill_missing(value, section, "positive_outcome_label");
    norq::fill_missing(values, section, "privileged_groups");
  } catch (const norq::Exception&) {
  } catch (const engine::EngineError&) {
  }
  return 0;
}
