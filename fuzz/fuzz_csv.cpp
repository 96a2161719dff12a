// Fuzz target: the CSV reader with its options. The first byte chooses the options (header, schema
// inference, mode, separator, quote, multi-line); the rest is the file. Every record is read and converted.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/engine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto session = engine::SparkSession::builder().appName("fuzz").getOrCreate();
  static const std::string path = "/tmp/norq_fuzz_csv_" + std::to_string(::getpid()) + ".csv";
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
  } else {
    return 0;
  }
  static const char* const modes[] = {"PERMISSIVE", "DROPMALFORMED", "FAILFAST", "PERMISSIVE"};
  try {
    engine::DataFrameReader reader = session->read();
    reader.option("mode", modes[(flags >> 2) & 3]);
    if (flags & 0x10) reader.option("sep", ";");
    if (flags & 0x20) reader.option("quote", "'");
    if (flags & 0x40) reader.option("multiLine", true);
    if (flags & 0x80) reader.option("nullValue", "NA");
    engine::DataFrame df = reader.csv(path, (flags & 1) != 0, (flags & 2) != 0);
    df.collect();
  } catch (const engine::EngineError&) {
  }
  return 0;
}
