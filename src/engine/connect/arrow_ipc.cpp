#include "engine/connect/arrow_ipc.h"

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/ipc/writer.h>
#include <fmt/format.h>

#include "engine/arrow/arrow_convert.h"
#include "engine/errors.h"

namespace engine::connect {

namespace {

template <class T>
T check(arrow::Result<T> r, const char* what) {
  if (!r.ok()) throw ExecutionException(fmt::format("{}: {}", what, r.status().ToString()));
  return std::move(r).ValueUnsafe();
}
void check(const arrow::Status& s, const char* what) {
  if (!s.ok()) throw ExecutionException(fmt::format("{}: {}", what, s.ToString()));
}

}  // namespace

LocalTable arrowIpcToLocalTable(const std::vector<std::string>& ipcStreams, const StructType& schema) {
  std::vector<arrow::ArrayVector> columns(schema.size());
  std::size_t rows = 0;
  for (const std::string& chunk : ipcStreams) {
    // The decoded arrays point into `chunk`, which outlives them: they are copied into engine vectors below.
    auto buffer = std::make_shared<arrow::Buffer>(reinterpret_cast<const std::uint8_t*>(chunk.data()),
                                                  static_cast<std::int64_t>(chunk.size()));
    auto input = std::make_shared<arrow::io::BufferReader>(buffer);
    auto reader = check(arrow::ipc::RecordBatchStreamReader::Open(input), "decoding a result from Spark Connect");
    for (;;) {
      std::shared_ptr<arrow::RecordBatch> batch;
      check(reader->ReadNext(&batch), "decoding a result from Spark Connect");
      if (!batch) break;
      if (static_cast<std::size_t>(batch->num_columns()) != schema.size())
        throw ExecutionException(fmt::format("the Spark Connect server sent {} columns for a result of {} columns ({})",
                                             batch->num_columns(), schema.size(), schema.simpleString()));
      if (batch->num_rows() == 0) continue;
      rows += static_cast<std::size_t>(batch->num_rows());
      for (std::size_t c = 0; c < schema.size(); ++c) columns[c].push_back(batch->column(static_cast<int>(c)));
    }
  }
  std::vector<VectorPtr> vectors;
  vectors.reserve(schema.size());
  for (std::size_t c = 0; c < schema.size(); ++c) {
    try {
      vectors.push_back(arrow_convert::toVector(columns[c], schema[c].dataType, schema[c].name));
    } catch (const IllegalArgumentException& e) {
      throw ExecutionException(fmt::format("the Spark Connect server sent an unexpected column: {}", e.what()));
    }
  }
  return LocalTable(schema, std::move(vectors), rows);
}

std::string localTableToArrowIpc(const LocalTable& table) {
  // Spark reads local relations with 32-bit string and list offsets.
  std::shared_ptr<arrow::Table> arrowTable;
  try {
    arrowTable = arrow_convert::toArrow(table, {.largeOffsets = false});
  } catch (const IllegalArgumentException& e) {
    throw ExecutionException(fmt::format("encoding a local table: {}", e.what()));
  }
  auto sink = check(arrow::io::BufferOutputStream::Create(), "encoding a local table");
  auto writer = check(arrow::ipc::MakeStreamWriter(sink, arrowTable->schema()), "encoding a local table");
  // One record batch, also for a table without rows.
  arrow::ArrayVector arrays;
  for (const auto& column : arrowTable->columns()) arrays.push_back(column->chunk(0));
  auto batch = arrow::RecordBatch::Make(arrowTable->schema(), arrowTable->num_rows(), std::move(arrays));
  check(writer->WriteRecordBatch(*batch), "encoding a local table");
  check(writer->Close(), "encoding a local table");
  auto buf = check(sink->Finish(), "encoding a local table");
  return buf->ToString();
}

}  // namespace engine::connect
