// Fuzz target: SQL text through the parser and the analyser (expressions and whole queries over one view).
// Malformed text must end in a ParseException or AnalysisException, never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/engine.h"
#include "engine/sql/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto session = [] {
    auto s = engine::SparkSession::builder().appName("fuzz").getOrCreate();
    s->sql("SELECT 1 AS a, 'x' AS b, 2.5 AS c").createOrReplaceTempView("t");
    return s;
  }();
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    engine::sql::parseExpression(text);
  } catch (const engine::EngineError&) {
  }
  try {
    // Analysed (schema), not run: a fuzzed cross join would only measure the machine.
    session->sql(text).schema();
  } catch (const engine::EngineError&) {
  }
  return 0;
}
