// De-duplication and the set operations, expressed as hash aggregations over all (or the key)
// columns: grouping already has the equality they need (nulls equal, NaN equal, -0.0 equal to 0.0).
#include <algorithm>

#include "engine/errors.h"
#include "engine/local/ops/op_keys.h"
#include "engine/local/ops/op_setops.h"
#include "engine/local/ops/operators.h"

namespace engine::local {

Partitions deduplicate(const Partitions& input, const std::vector<DataType>& types,
                       const std::vector<std::size_t>& keyColumns, const ExecContext& ctx) {
  std::vector<bool> isKey(types.size(), false);
  std::vector<BoundExprPtr> keys;
  for (std::size_t c : keyColumns) {
    if (c >= types.size()) throw ExecutionException("deduplicate: key column " + std::to_string(c) + " out of range.");
    isKey[c] = true;
    keys.push_back(opColumn(c, types[c]));
  }
  if (keys.empty()) {
    // No key: every row equal, keep the first.
    for (const auto& b : input)
      if (b.rows > 0) return {sliceRows(b, 0, 1)};
    return {concatBatches({}, types)};
  }
  // The first row of a group: its keys (the group's representative) and `first` of every other column,
  // which reads the same row because both follow partition order.
  std::vector<AggregateCall> aggs;
  std::vector<std::size_t> others;
  for (std::size_t c = 0; c < types.size(); ++c) {
    if (isKey[c]) continue;
    // An empty slot (a column no consumer reads) stays one.
    if (!input.empty() && c < input[0].columns.size() && !input[0].columns[c]) continue;
    AggregateCall call;
    call.name = "first";
    call.args = {opColumn(c, types[c])};
    call.resultType = types[c];
    aggs.push_back(std::move(call));
    others.push_back(c);
  }
  Partitions grouped = hashAggregate(input, keys, aggs, ctx);
  Partitions out;
  for (auto& b : grouped) {
    Batch o;
    o.rows = b.rows;
    o.columns.resize(types.size());
    for (std::size_t k = 0; k < keyColumns.size(); ++k) o.columns[keyColumns[k]] = b.columns[k];
    for (std::size_t j = 0; j < others.size(); ++j) o.columns[others[j]] = b.columns[keyColumns.size() + j];
    out.push_back(std::move(o));
  }
  return out;
}

namespace {

enum class SetOp { ExceptAll, Except, Intersect, IntersectAll };

// Counts every distinct row on both sides, then keeps rows by their two counts.
Partitions setOperation(const Partitions& left, const Partitions& right, const std::vector<DataType>& types,
                        SetOp op, const ExecContext& ctx) {
  Partitions tagged;
  tagged.reserve(left.size() + right.size());
  auto addSide = [&](const Partitions& parts, bool isLeft) {
    for (const auto& b : parts) {
      if (b.columns.size() != types.size())
        throw ExecutionException("Set operation inputs must have " + std::to_string(types.size()) + " columns.");
      Batch t = b;
      t.columns.push_back(Vector::constant(Value(isLeft), BooleanType(), b.rows));
      tagged.push_back(std::move(t));
    }
  };
  addSide(left, true);
  addSide(right, false);
  std::vector<BoundExprPtr> keys;
  for (std::size_t c = 0; c < types.size(); ++c) keys.push_back(opColumn(c, types[c]));
  AggregateCall leftCount{"count_if", {opColumn(types.size(), BooleanType())}, false, false, {}, LongType()};
  AggregateCall allCount{"count", {}, false, false, {}, LongType()};
  Partitions grouped = hashAggregate(tagged, keys, {leftCount, allCount}, ctx);

  Partitions out(grouped.size());
  parallelFor(grouped.size(), [&](std::size_t p) {
    const Batch& b = grouped[p];
    const std::int64_t* l = b.column(types.size()).data<std::int64_t>();
    const std::int64_t* all = b.column(types.size() + 1).data<std::int64_t>();
    std::vector<std::int64_t> idx;
    for (std::size_t i = 0; i < b.rows; ++i) {
      std::int64_t lc = l[i], rc = all[i] - l[i];
      std::int64_t times = 0;
      switch (op) {
        case SetOp::ExceptAll:
          times = std::max<std::int64_t>(0, lc - rc);
          break;
        case SetOp::Except:
          times = lc > 0 && rc == 0 ? 1 : 0;
          break;
        case SetOp::Intersect:
          times = lc > 0 && rc > 0 ? 1 : 0;
          break;
        case SetOp::IntersectAll:
          times = std::min(lc, rc);
          break;
      }
      for (std::int64_t k = 0; k < times; ++k) idx.push_back(static_cast<std::int64_t>(i));
    }
    Batch o;
    o.rows = idx.size();
    for (std::size_t c = 0; c < types.size(); ++c) o.columns.push_back(take(b.column(c), idx));
    out[p] = std::move(o);
  });
  return out;
}

}  // namespace

Partitions exceptAll(const Partitions& left, const Partitions& right, const std::vector<DataType>& types,
                     const ExecContext& ctx) {
  return setOperation(left, right, types, SetOp::ExceptAll, ctx);
}

Partitions exceptDistinct(const Partitions& left, const Partitions& right, const std::vector<DataType>& types,
                          const ExecContext& ctx) {
  return setOperation(left, right, types, SetOp::Except, ctx);
}

Partitions intersectDistinct(const Partitions& left, const Partitions& right, const std::vector<DataType>& types,
                             const ExecContext& ctx) {
  return setOperation(left, right, types, SetOp::Intersect, ctx);
}

Partitions intersectAll(const Partitions& left, const Partitions& right, const std::vector<DataType>& types,
                        const ExecContext& ctx) {
  return setOperation(left, right, types, SetOp::IntersectAll, ctx);
}

}  // namespace engine::local
