// Hash aggregation: partial aggregation per morsel (a row range of one partition) in parallel, each
// with its own group table, then a merge where every thread owns one hash range of the key space.
// When the keys barely repeat (a distinct count of an identifier, duplicate rows), a partial table
// would hold nearly every row only to insert each again in the merge: a morsel whose first rows are
// mostly new groups stops there and leaves its other rows to the merge, where each thread inserts the
// rows of its own hash range directly.
// DISTINCT aggregates are rewritten into a de-duplication of (keys, arguments) followed by a plain
// aggregation, and joined back onto the keys.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

#include "engine/errors.h"
#include "engine/local/ops/op_aggregate.h"
#include "engine/local/ops/op_keys.h"
#include "engine/local/ops/operators.h"

namespace engine::local {

namespace {

constexpr std::size_t kChunk = 4096;

std::string lowerName(const std::string& s) {
  std::string out = s;
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

const AggregateDef& defOf(const AggregateCall& call) {
  const AggregateDef* def = findAggregate(lowerName(call.name));
  if (!def) throw AnalysisException("[UNRESOLVED_ROUTINE] Cannot resolve aggregate function `" + call.name + "`.");
  return *def;
}

// count(1), count(*): nothing to read per row.
bool countsRows(const AggregateCall& call) {
  if (lowerName(call.name) != "count") return false;
  for (const auto& a : call.args)
    if (!a->isConstant() || a->constantValue().isNull()) return false;
  return true;
}

struct PartialAgg {
  std::unique_ptr<GroupTable> table;
  std::vector<RowRef> firstRow;
  std::vector<std::unique_ptr<AggStates>> states;
  std::size_t rest = 0;  // rows [rest, morsel end) are left to the merge (high-cardinality keys)
};

// Rows a morsel aggregates before it judges how much its keys repeat, and the share of new groups
// above which the rest of the morsel goes straight to the merge.
constexpr std::size_t kCardinalityProbe = 2 * kChunk;
constexpr double kHighCardinality = 0.5;

Batch emptyBatch(const std::vector<DataType>& types) {
  Batch b;
  for (const auto& t : types) b.columns.push_back(Vector::make(t, 0));
  b.rows = 0;
  return b;
}

// Grouping keys come out as Spark normalises them: -0.0 as 0.0 and every NaN as the canonical NaN, whichever
// row of the group was its representative.
template <class T>
VectorPtr normalizeFloating(VectorPtr v) {
  const T* d = v->data<T>();
  bool needed = false;
  for (std::size_t i = 0; i < v->size() && !needed; ++i) needed = (d[i] == T(0) && std::signbit(d[i])) || std::isnan(d[i]);
  if (!needed) return v;
  auto out = std::make_shared<Vector>(*v);
  T* o = out->data<T>();
  for (std::size_t i = 0; i < out->size(); ++i) {
    if (o[i] == T(0)) o[i] = T(0);
    else if (std::isnan(o[i])) o[i] = std::numeric_limits<T>::quiet_NaN();
  }
  return out;
}

VectorPtr normalizeFloatingKey(VectorPtr v) {
  if (v->type().id() == TypeId::Double) return normalizeFloating<double>(std::move(v));
  if (v->type().id() == TypeId::Float) return normalizeFloating<float>(std::move(v));
  return v;
}

Partitions aggregateCore(const Partitions& input, const std::vector<BoundExprPtr>& keys,
                         const std::vector<AggregateCall>& aggs, const ExecContext& ctx) {
  const std::size_t nk = keys.size();
  std::vector<BoundExprPtr> exprs = keys;
  std::vector<std::vector<std::size_t>> argSlots(aggs.size());
  std::vector<const AggregateDef*> defs;
  for (std::size_t k = 0; k < aggs.size(); ++k) {
    defs.push_back(&defOf(aggs[k]));
    if (countsRows(aggs[k])) continue;
    for (const auto& a : aggs[k].args) {
      argSlots[k].push_back(exprs.size());
      exprs.push_back(a);
    }
  }
  const auto vals = evalPerPartition(input, exprs, ctx);

  std::vector<AggInput> inputs(aggs.size());
  for (std::size_t k = 0; k < aggs.size(); ++k) {
    for (const auto& a : aggs[k].args) inputs[k].types.push_back(a->type());
    inputs[k].parts.resize(input.size());
    for (std::size_t p = 0; p < input.size(); ++p)
      for (std::size_t slot : argSlots[k]) inputs[k].parts[p].push_back(vals[p][slot].get());
  }
  auto makeStates = [&]() {
    std::vector<std::unique_ptr<AggStates>> s;
    for (std::size_t k = 0; k < aggs.size(); ++k) s.push_back(defs[k]->make(aggs[k], inputs[k]));
    return s;
  };

  std::vector<std::size_t> partRows;
  for (const auto& b : input) partRows.push_back(b.rows);
  const bool wholePartitions = std::any_of(defs.begin(), defs.end(), [](const AggregateDef* d) { return d->partitionExact; });
  const std::vector<Morsel> morsels =
      makeMorsels(partRows, wholePartitions ? std::numeric_limits<std::size_t>::max() / 2 : defaultMorselRows(totalRows(input)));

  std::vector<DataType> outTypes;
  for (const auto& k : keys) outTypes.push_back(k->type());
  for (const auto& a : aggs) outTypes.push_back(a.resultType);

  if (nk == 0) {
    // Global aggregate: exactly one row, empty input included.
    std::vector<std::vector<std::unique_ptr<AggStates>>> partial(morsels.size());
    parallelFor(morsels.size(), [&](std::size_t m) {
      const Morsel& ms = morsels[m];
      partial[m] = makeStates();
      for (auto& s : partial[m]) s->resize(1);
      static const std::vector<std::uint32_t> zeros(kChunk, 0);
      for (std::size_t at = ms.begin; at < ms.end; at += kChunk) {
        std::size_t n = std::min(kChunk, ms.end - at);
        for (auto& s : partial[m]) s->update(ms.part, at, n, zeros.data());
      }
    });
    auto total = makeStates();
    const std::uint32_t zero = 0;
    for (auto& s : total) s->resize(1);
    for (std::size_t m = 0; m < morsels.size(); ++m)
      for (std::size_t k = 0; k < aggs.size(); ++k) total[k]->merge(*partial[m][k], &zero, &zero, 1);
    Batch out;
    out.rows = 1;
    for (auto& s : total) out.columns.push_back(s->finish());
    return {out};
  }

  std::vector<DataType> keyTypes;
  for (const auto& k : keys) keyTypes.push_back(k->type());
  const KeyEncoder enc(keyTypes);
  std::vector<std::vector<const Vector*>> keyCols(input.size());
  for (std::size_t p = 0; p < input.size(); ++p)
    for (std::size_t c = 0; c < nk; ++c) keyCols[p].push_back(vals[p][c].get());
  // Key vectors of one key column over all partitions, for gathering representatives.
  std::vector<std::vector<const Vector*>> keyParts(nk);
  for (std::size_t c = 0; c < nk; ++c)
    for (std::size_t p = 0; p < input.size(); ++p) keyParts[c].push_back(keyCols[p][c]);

  // Leaving rows to the merge is done only where the merge's per-row work is trivial and order-free: no
  // aggregate, or only count(*). Other aggregates keep the two phases.
  const bool adaptive = morsels.size() > 1 && std::all_of(aggs.begin(), aggs.end(), countsRows);
  std::vector<PartialAgg> partials(morsels.size());
  parallelFor(morsels.size(), [&](std::size_t m) {
    const Morsel& ms = morsels[m];
    PartialAgg& pa = partials[m];
    pa.table = std::make_unique<GroupTable>(enc);
    pa.states = makeStates();
    pa.rest = ms.end;
    EncodedKeys ek;
    std::vector<std::uint32_t> gids(kChunk);
    bool judged = !adaptive;
    for (std::size_t at = ms.begin; at < ms.end; at += kChunk) {
      std::size_t n = std::min(kChunk, ms.end - at);
      enc.encode(keyCols[ms.part], at, n, ek);
      pa.table->findOrInsert(ek, gids.data());
      // New groups get consecutive ids, so a row opens a group exactly when its id is the next one.
      for (std::size_t i = 0; i < n; ++i)
        if (gids[i] == pa.firstRow.size()) pa.firstRow.push_back(makeRef(ms.part, at + i));
      for (auto& s : pa.states) {
        s->resize(pa.table->size());
        s->update(ms.part, at, n, gids.data());
      }
      const std::size_t seen = at + n - ms.begin;
      if (!judged && seen >= kCardinalityProbe) {
        judged = true;
        if (static_cast<double>(pa.table->size()) > kHighCardinality * static_cast<double>(seen)) {
          pa.rest = at + n;
          break;
        }
      }
    }
  });

  // off = 1 when rows of other threads' hash ranges pass through the states: they are counted in state 0,
  // which is dropped, and group g lives in state g + 1.
  auto outputBatch = [&](const std::vector<RowRef>& reps, std::vector<std::unique_ptr<AggStates>>& states,
                         std::size_t off) {
    Batch b;
    b.rows = reps.size();
    for (std::size_t c = 0; c < nk; ++c)
      b.columns.push_back(normalizeFloatingKey(gatherRefs(keyParts[c], keyTypes[c], reps.data(), reps.size())));
    for (auto& s : states) {
      VectorPtr v = s->finish();
      b.columns.push_back(off == 0 ? v : slice(*v, off, reps.size()));
    }
    return b;
  };

  if (morsels.empty()) return {emptyBatch(outTypes)};
  if (morsels.size() == 1) return {outputBatch(partials[0].firstRow, partials[0].states, 0)};

  std::size_t partialGroups = 0, leftRows = 0;
  for (std::size_t m = 0; m < morsels.size(); ++m) {
    partialGroups += partials[m].table->size();
    leftRows += morsels[m].end - partials[m].rest;
  }
  std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(ctx.parallelism, workerCount()));
  if (partialGroups + leftRows < 65536) parts = 1;
  const std::size_t off = leftRows > 0 && !aggs.empty() ? 1 : 0;
  constexpr std::uint32_t kOtherRange = std::numeric_limits<std::uint32_t>::max();

  Partitions out(parts);
  parallelFor(parts, [&](std::size_t t) {
    GroupTable table(enc);
    table.reserve((partialGroups + leftRows) / parts);
    std::vector<RowRef> reps;
    auto states = makeStates();
    std::vector<std::uint32_t> src, dst, gids;
    EncodedKeys ek;
    for (std::size_t m = 0; m < morsels.size(); ++m) {
      PartialAgg& pa = partials[m];
      src.clear();
      dst.clear();
      const std::size_t groups = pa.table->size();
      for (std::uint32_t g = 0; g < groups; ++g) {
        if (parts > 1 && hashPart(pa.table->hash(g), parts) != t) continue;
        std::uint32_t d = table.insertFrom(*pa.table, g);
        if (d == reps.size()) reps.push_back(pa.firstRow[g]);
        src.push_back(g);
        dst.push_back(d + static_cast<std::uint32_t>(off));
      }
      for (std::size_t k = 0; k < states.size(); ++k) {
        states[k]->resize(table.size() + off);
        states[k]->merge(*pa.states[k], src.data(), dst.data(), src.size());
      }
      // The morsel's rows left to the merge, after its partial groups: groups keep the order in which their
      // first rows come.
      const Morsel& ms = morsels[m];
      gids.resize(kChunk);
      for (std::size_t at = pa.rest; at < ms.end; at += kChunk) {
        const std::size_t n = std::min(kChunk, ms.end - at);
        enc.encode(keyCols[ms.part], at, n, ek);
        table.findOrInsertPart(ek, gids.data(), t, parts, kOtherRange);
        for (std::size_t i = 0; i < n; ++i) {
          if (gids[i] == kOtherRange) {
            gids[i] = 0;
            continue;
          }
          if (gids[i] == reps.size()) reps.push_back(makeRef(ms.part, at + i));
          gids[i] += static_cast<std::uint32_t>(off);
        }
        for (auto& s : states) {
          s->resize(table.size() + off);
          s->update(ms.part, at, n, gids.data());
        }
      }
    }
    out[t] = outputBatch(reps, states, off);
  });
  return out;
}

}  // namespace

Partitions hashAggregate(const Partitions& input, const std::vector<BoundExprPtr>& keys,
                         const std::vector<AggregateCall>& aggs, const ExecContext& ctx) {
  std::vector<std::size_t> distinctCalls;
  std::vector<AggregateCall> plain;
  std::vector<int> plainPos(aggs.size(), -1);
  for (std::size_t k = 0; k < aggs.size(); ++k) {
    if (aggs[k].distinct && !defOf(aggs[k]).distinctInsensitive) {
      distinctCalls.push_back(k);
    } else {
      plainPos[k] = static_cast<int>(plain.size());
      plain.push_back(aggs[k]);
      plain.back().distinct = false;
    }
  }
  if (distinctCalls.empty()) return aggregateCore(input, keys, plain, ctx);

  const std::size_t nk = keys.size();
  Partitions main = aggregateCore(input, keys, plain, ctx);
  std::vector<DataType> keyTypes;
  for (const auto& k : keys) keyTypes.push_back(k->type());

  // distinctCols[d][p]: the result of distinct call d for the rows of main partition p.
  std::vector<std::vector<VectorPtr>> distinctCols(distinctCalls.size());
  for (std::size_t d = 0; d < distinctCalls.size(); ++d) {
    const AggregateCall& call = aggs[distinctCalls[d]];
    std::vector<BoundExprPtr> dedupKeys = keys;
    dedupKeys.insert(dedupKeys.end(), call.args.begin(), call.args.end());
    Partitions deduped = aggregateCore(input, dedupKeys, {}, ctx);
    std::vector<BoundExprPtr> k2;
    for (std::size_t i = 0; i < nk; ++i) k2.push_back(opColumn(i, keyTypes[i]));
    AggregateCall c2 = call;
    c2.distinct = false;
    c2.args.clear();
    for (std::size_t j = 0; j < call.args.size(); ++j) c2.args.push_back(opColumn(nk + j, call.args[j]->type()));
    Partitions r = aggregateCore(deduped, k2, {c2}, ctx);
    std::vector<DataType> rTypes = keyTypes;
    rTypes.push_back(call.resultType);
    Batch rb = concatBatches(r, rTypes);
    distinctCols[d].resize(main.size());
    if (nk == 0) {
      for (std::size_t p = 0; p < main.size(); ++p) distinctCols[d][p] = rb.columns[0];
      continue;
    }
    // Look each output group up among the distinct results (null keys match: they are one group).
    KeyEncoder enc(keyTypes);
    GroupTable table(enc);
    EncodedKeys ek;
    std::vector<const Vector*> rKeys;
    for (std::size_t i = 0; i < nk; ++i) rKeys.push_back(rb.columns[i].get());
    enc.encode(rKeys, 0, rb.rows, ek);
    std::vector<std::uint32_t> ids(rb.rows);
    table.findOrInsert(ek, ids.data());
    parallelFor(main.size(), [&](std::size_t p) {
      EncodedKeys mk;
      std::vector<const Vector*> cols;
      for (std::size_t i = 0; i < nk; ++i) cols.push_back(main[p].columns[i].get());
      enc.encode(cols, 0, main[p].rows, mk);
      std::vector<std::int64_t> found(main[p].rows);
      table.find(mk, found.data(), true);
      // rb's keys are unique, so group g of the table is row g of rb.
      distinctCols[d][p] = take(*rb.columns[nk], found);
    });
  }

  Partitions out(main.size());
  for (std::size_t p = 0; p < main.size(); ++p) {
    out[p].rows = main[p].rows;
    for (std::size_t i = 0; i < nk; ++i) out[p].columns.push_back(main[p].columns[i]);
    std::size_t d = 0;
    for (std::size_t k = 0; k < aggs.size(); ++k) {
      if (plainPos[k] >= 0)
        out[p].columns.push_back(main[p].columns[nk + static_cast<std::size_t>(plainPos[k])]);
      else
        out[p].columns.push_back(distinctCols[d++][p]);
    }
  }
  return out;
}

}  // namespace engine::local
