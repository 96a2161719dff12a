// Data-quality checks: rows that break an ordering rule, duplicated records, records without an identifier.
#include <algorithm>
#include <set>
#include <unordered_set>

#include "engine/functions.h"
#include "host/errors.h"
#include "spark/datasets/base_spark_dataset.h"
#include "spark/histograms.h"

namespace spark {

namespace F = engine::functions;

namespace {

bool contains(const std::vector<std::string>& names, const std::string& n) {
  return std::find(names.begin(), names.end(), n) != names.end();
}

// "c1=%s|c2=%s" over the identifier columns, or a null text without any.
engine::Column record_identifier(const std::vector<std::string>& id_columns) {
  if (id_columns.empty()) return F::lit(engine::Value()).cast(engine::StringType());
  std::string pattern;
  std::vector<engine::ColumnOrName> cols;
  for (const std::string& c : id_columns) {
    if (!pattern.empty()) pattern += "|";
    pattern += c + "=%s";
    cols.emplace_back(F::col(sql_identifier(c)));
  }
  // A literal percent sign in a column name must not start a conversion.
  std::string escaped;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && pattern.compare(i, 2, "%s") != 0) {
      escaped += "%%";
    } else {
      escaped.push_back(pattern[i]);
    }
  }
  return F::format_string(escaped, cols);
}

std::vector<std::string> sorted_without(std::vector<std::string> names, const std::vector<std::string>& drop) {
  // A set of the dropped names: both lists may hold every column of a wide frame.
  const std::unordered_set<std::string> dropped(drop.begin(), drop.end());
  names.erase(std::remove_if(names.begin(), names.end(), [&](const std::string& n) { return dropped.count(n) > 0; }),
              names.end());
  std::sort(names.begin(), names.end());
  return names;
}

void check_ids(const std::vector<std::string>& ids, const std::vector<std::string>& id_features) {
  for (const std::string& id : ids)
    if (!contains(id_features, id)) throw norq::ValueError(id + " is not a valid id feature.");
}

}  // namespace

engine::LocalTable::RowRange BaseSparkDatasetMixin::check_column_ordering_violations(
    const std::string& gt_feature, const std::string& lt_feature, const std::optional<std::vector<std::string>>& ids) const {
  const std::vector<std::string> features = all_feature_names();
  for (const std::string* f : {&gt_feature, &lt_feature})
    if (!contains(features, *f) && *f != target_name())
      throw norq::ValueError("Feature or target " + *f + " does not exist.");
  const std::vector<std::string> id_list = ids ? *ids : id_feature_names();
  check_ids(id_list, id_feature_names());
  const std::vector<std::string> id_columns =
      id_list.empty() ? sorted_without(features, {gt_feature, lt_feature}) : id_list;
  return _all_data.withColumn("order_violation_id", record_identifier(id_columns))
      .where(F::col(sql_identifier(lt_feature)) > F::col(sql_identifier(gt_feature)))
      .select(F::col("order_violation_id"), F::col(sql_identifier(lt_feature)), F::col(sql_identifier(gt_feature)))
      .toPandas()
      .iterrows();
}

engine::LocalTable::RowRange BaseSparkDatasetMixin::check_duplicate_row_violations(
    const std::optional<std::vector<std::string>>& duplicate_features_subset,
    const std::optional<std::vector<std::string>>& ids) const {
  const std::vector<std::string> features = all_feature_names();
  const std::vector<std::string> id_list = ids ? *ids : id_feature_names();
  check_ids(id_list, id_feature_names());
  std::vector<std::string> compared;
  if (duplicate_features_subset) {
    std::set<std::string> seen;
    for (const std::string& c : *duplicate_features_subset)
      if (seen.insert(c).second) compared.push_back(c);
  } else {
    const std::unordered_set<std::string> id_set(id_list.begin(), id_list.end());
    for (const std::string& f : features)
      if (!id_set.count(f)) compared.push_back(f);
  }
  const std::vector<std::string> id_columns = id_list.empty() ? sorted_without(features, compared) : id_list;
  // Names are column names, never paths: each is quoted (a column may be called "amount.usd").
  std::vector<engine::ColumnOrName> group_cols, order, selected;
  for (const std::string& c : compared) group_cols.emplace_back(F::col(sql_identifier(c)));
  for (const std::string& c : compared) order.emplace_back(F::col(sql_identifier(c)));
  for (const std::string& c : features) selected.emplace_back(F::col(sql_identifier(c)));
  // Rows equal in the compared columns have equal hashes of them (the hash treats -0.0 as 0.0 and every NaN
  // alike, as grouping does), so only the rows whose hash occurs more than once can be duplicates: the exact
  // grouping below runs over those candidates (usually few) instead of holding every row's values in its
  // table. Without compared columns every row equals every other, and all rows are the candidates.
  DataFrame candidates = _all_data;
  if (!group_cols.empty()) {
    const std::vector<std::string> columns = _all_data.columns();
    std::string hash_name = "__row_hash";
    while (contains(columns, hash_name)) hash_name += "_";
    DataFrame hashed = _all_data.withColumn(hash_name, F::xxhash64(group_cols));
    DataFrame repeated = hashed.groupBy(hash_name).count().filter(F::col("count") > F::lit(1)).select(hash_name);
    candidates = hashed.join(repeated, engine::JoinOn(hash_name), "left_semi").drop(hash_name);
  }
  // Only the groups that occur more than once are joined back: the join's hash table holds the (usually few)
  // duplicated groups, not one entry per row. The rows keep the order of all rows before the sort below.
  DataFrame flags = candidates.groupBy(group_cols)
                        .agg((F::count("*") > F::lit(1)).cast("int").alias("is_duplicate"))
                        .filter(F::col("is_duplicate") > F::lit(0));
  return candidates.join(flags, engine::JoinOn(compared), "inner")
      .select(selected)
      .orderBy(order)
      .withColumn("duplicate_record_id", record_identifier(id_columns))
      .toPandas()
      .iterrows();
}

engine::LocalTable::RowRange BaseSparkDatasetMixin::check_missing_ids(
    const std::string& id_feature, const std::optional<std::vector<std::string>>& primary_ids) const {
  std::vector<std::string> primary;
  if (primary_ids) {
    primary = *primary_ids;
  } else {
    primary = sorted_without(id_feature_names(), {id_feature});
  }
  const std::vector<std::string> id_columns = primary.empty() ? sorted_without(all_feature_names(), {id_feature}) : primary;
  return _all_data.filter(F::col(sql_identifier(id_feature)).isNull())
      .withColumn("missing_record_id", record_identifier(id_columns))
      .toPandas()
      .iterrows();
}

}  // namespace spark
