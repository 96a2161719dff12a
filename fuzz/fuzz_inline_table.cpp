// Fuzz target: inline tables (`norq-spark sql --table`): JSON text parsed with its depth bound and
// converted to typed columns. Bad input must end in a CliError (or a JSON parse error), nothing else.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "cli/cli_error.h"
#include "cli/inline_table.h"
#include "engine/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  try {
    nlohmann::json doc = cli::parseBoundedJson(in);
    cli::inlineTableFromJson(doc, "t");
  } catch (const nlohmann::json::exception&) {
  } catch (const std::length_error&) {
  } catch (const cli::CliError&) {
  } catch (const engine::EngineError&) {
  }
  return 0;
}
