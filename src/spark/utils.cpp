#include "spark/utils.h"

#include <algorithm>
#include <set>

#include <fmt/format.h>

#include "engine/functions.h"
#include "host/errors.h"
#include "spark/histograms.h"

namespace spark {

namespace F = engine::functions;

const std::vector<std::string>& numeric_type_names() {
  static const std::vector<std::string> names = [] {
    using namespace engine;
    std::vector<std::string> out;
    for (const DataType& t : {ByteType(), ShortType(), IntegerType(), LongType(), FloatType(), DoubleType(),
                              DataType::decimal(10, 0)})
      out.push_back(t.typeName());
    return out;
  }();
  return names;
}

const std::vector<std::string>& floating_type_names() {
  static const std::vector<std::string> names = {engine::FloatType().typeName(), engine::DoubleType().typeName()};
  return names;
}

std::int64_t hash_df(const engine::DataFrame& df) {
  if (!(df.count() > 0)) return 0;
  std::vector<engine::ColumnOrName> cols;
  for (const std::string& c : df.columns()) cols.emplace_back(F::col(sql_identifier(c)));
  std::optional<engine::Row> row =
      df.select(F::xxhash64(cols).alias("hash")).select(F::sum("hash")).first();
  // The aggregation always yields one row; its value is null only when every row hash is null, which
  // xxhash64 never produces.
  if (!row || row->values().at(0).isNull()) return 0;
  return row->values().at(0).toInt64();
}

std::string checksum_text(std::uint64_t value) { return fmt::format("{:016x}", value); }

std::pair<std::vector<std::string>, std::vector<std::string>> guess_cont_cat_col(const engine::DataFrame& data) {
  const std::vector<std::string> names_col = data.columns();
  std::vector<std::string> cat_col;
  const std::int64_t data_len = data.count();
  const auto& numeric = numeric_type_names();
  const auto& floating = floating_type_names();
  const engine::StructType schema = data.schema();
  for (const engine::StructField& field : schema.fields()) {
    const std::string t = field.dataType.typeName();
    if (std::find(numeric.begin(), numeric.end(), t) == numeric.end()) {
      cat_col.push_back(field.name);
    } else if (std::find(floating.begin(), floating.end(), t) == floating.end()) {
      if (data_len == 0)
        throw norq::ValueError(fmt::format(
            "Cannot guess the kind of column \"{}\": the frame has no rows to measure its distinct values", field.name));
      const std::int64_t distinct = data.select(F::col(sql_identifier(field.name))).distinct().count();
      if (static_cast<double>(distinct) / static_cast<double>(data_len) < 0.001) cat_col.push_back(field.name);
    }
  }
  std::set<std::string> cat(cat_col.begin(), cat_col.end());
  std::set<std::string> cont;
  for (const std::string& n : names_col)
    if (!cat.count(n)) cont.insert(n);
  return {std::vector<std::string>(cat.begin(), cat.end()), std::vector<std::string>(cont.begin(), cont.end())};
}

}  // namespace spark
