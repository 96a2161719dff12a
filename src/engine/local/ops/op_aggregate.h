// Aggregate functions of the local backend. Each function is one state type plus a registration in
// the registry (op_aggregate.cpp): the operators only see AggStates, a column of per-group states that
// is updated a whole run of rows at a time (one virtual call per run, typed loops inside).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/types.h"
#include "engine/value.h"
#include "engine/vector.h"
#include "engine/local/ops/operators.h"

namespace engine::local {

// Evaluated arguments of one aggregate call: parts[p][a] is argument a over partition p. States keep
// (partition, row) references into it (first/last, min/max of strings, collect_*), so it must outlive
// them.
struct AggInput {
  std::vector<std::vector<const Vector*>> parts;
  std::vector<DataType> types;
};

class AggStates {
 public:
  virtual ~AggStates() = default;
  // Grows to `groups` states; new ones are empty.
  virtual void resize(std::size_t groups) = 0;
  // Row begin + i of partition `part` belongs to group gids[i].
  virtual void update(std::size_t part, std::size_t begin, std::size_t n, const std::uint32_t* gids) = 0;
  // Folds other's state src[i] into state dst[i]. `other` holds rows that come after the rows already
  // folded into this (order matters for first/last/collect_list).
  virtual void merge(const AggStates& other, const std::uint32_t* src, const std::uint32_t* dst, std::size_t n) = 0;
  // One result per group, of the call's result type.
  virtual VectorPtr finish() = 0;
};

struct AggregateDef {
  std::function<DataType(const std::vector<DataType>& args, const std::vector<Value>& params)> resultType;
  std::function<std::unique_ptr<AggStates>(const AggregateCall& call, const AggInput& input)> make;
  bool distinctInsensitive = false;  // min, max, first, ...: DISTINCT changes nothing
  // The result depends on how rows are split into partial states (percentile_approx's summaries): partial
  // states are then built per whole partition, as Spark builds them, and merged in partition order.
  bool partitionExact = false;
};

// nullptr for an unknown name (lower-case).
const AggregateDef* findAggregate(std::string_view name);

// 10^n for n in [0, 38].
int128_t pow10_128(int n);
// num / den * 10^extraDigits rounded half away from zero (Java's HALF_UP), den > 0; false when the
// result needs more than 38 digits.
bool decimalDivRoundHalfUp(int128_t num, int128_t den, int extraDigits, int128_t& out);

}  // namespace engine::local
