// Hash join: one side is concatenated and indexed (group table + rows grouped by key), the other side
// probes it in parallel, morsel by morsel. Candidate pairs go through the residual condition in
// batches; outer joins then add the rows that kept no pair, null-extended. Without keys every pair is
// a candidate (nested loop).
#include <algorithm>
#include <atomic>

#include "engine/errors.h"
#include "engine/local/ops/op_keys.h"
#include "engine/local/ops/operators.h"
#include "engine/local/plan/memory_budget.h"

namespace engine::local {

namespace {

constexpr std::size_t kProbeChunk = 4096;
constexpr std::size_t kPairBatch = 65536;

bool sameKeyEncoding(const DataType& a, const DataType& b) {
  auto intLike = [](const DataType& t) { return t.isIntegral(); };
  if (intLike(a) && intLike(b)) return true;
  if (a.isFloating() && b.isFloating()) return true;
  return a == b || a.isNull() || b.isNull();
}

// Index over the build side: rows with equal keys are contiguous in `rows`, group g owning
// rows[start[g], start[g + 1]).
struct BuildIndex {
  std::unique_ptr<GroupTable> table;
  std::vector<std::int64_t> start;
  std::vector<std::int64_t> rows;
};

struct JoinShape {
  bool probeIsLeft = true;
  bool keepUnmatchedProbe = false;
  bool keepUnmatchedBuild = false;
  bool semi = false, anti = false;
};

class Joiner {
 public:
  Joiner(const Partitions& probe, const Batch& build, const std::vector<DataType>& leftTypes,
         const std::vector<DataType>& rightTypes, JoinShape shape, const BoundExprPtr& residual,
         const ExecContext& ctx)
      : probe_(probe),
        build_(build),
        leftTypes_(leftTypes),
        rightTypes_(rightTypes),
        shape_(shape),
        residual_(residual),
        ctx_(ctx),
        buildMatched_(shape.keepUnmatchedBuild ? build.rows : 0, 0),
        budget_(queryMemoryBudget()) {
    // Bytes an output row costs: its pair of row indices and the gathered columns (text counted at its
    // view plus a short string).
    rowBytes_ = 2 * sizeof(std::int64_t);
    for (const auto* types : {&leftTypes, &rightTypes})
      for (const DataType& t : *types) rowBytes_ += t.fixedWidth() > 0 ? t.fixedWidth() : 32;
  }

  // A morsel stops once it has produced this many rows (a LIMIT above the join needs no more from it).
  void limitMorselRows(std::size_t rows) { morselRowLimit_ = rows; }

  // Candidate generator: fills `pairs` (probe row, build row), in probe row order, for probe rows
  // [begin, end) of partition `part`; returns the end of the rows it covered (may stop early).
  template <class Gen>
  Batch runMorsel(const Morsel& m, Gen&& gen) {
    std::vector<std::int64_t> outProbe, outBuild;
    std::vector<std::int64_t> pairProbe, pairBuild;
    std::vector<std::uint8_t> keep;
    std::size_t at = m.begin;
    while (at < m.end && outProbe.size() < morselRowLimit_) {
      pairProbe.clear();
      pairBuild.clear();
      std::size_t next = gen(m.part, at, m.end, pairProbe, pairBuild);
      filterPairs(m.part, pairProbe, pairBuild, keep);
      const std::size_t before = outProbe.size();
      emit(at, next, pairProbe, pairBuild, keep, outProbe, outBuild);
      charge(outProbe.size() - before);
      at = next;
    }
    return assemble(m.part, outProbe, outBuild);
  }

  // Unmatched build rows of an outer join, null-extended on the probe side.
  Batch unmatchedBuild() {
    std::vector<std::int64_t> probeIdx, buildIdx;
    for (std::size_t r = 0; r < buildMatched_.size(); ++r) {
      if (buildMatched_[r]) continue;
      probeIdx.push_back(-1);
      buildIdx.push_back(static_cast<std::int64_t>(r));
    }
    return assembleFrom(nullptr, probeIdx, buildIdx);
  }

 private:
  void filterPairs(std::size_t part, const std::vector<std::int64_t>& pp, const std::vector<std::int64_t>& pb,
                   std::vector<std::uint8_t>& keep) {
    keep.assign(pp.size(), 1);
    if (!residual_) return;
    EvalContext ec = ctx_.eval;
    ec.partitionIndex = static_cast<int>(part);
    for (std::size_t lo = 0; lo < pp.size(); lo += kPairBatch) {
      std::size_t hi = std::min(pp.size(), lo + kPairBatch);
      std::vector<std::int64_t> a(pp.begin() + static_cast<std::ptrdiff_t>(lo), pp.begin() + static_cast<std::ptrdiff_t>(hi));
      std::vector<std::int64_t> b(pb.begin() + static_cast<std::ptrdiff_t>(lo), pb.begin() + static_cast<std::ptrdiff_t>(hi));
      Batch joined = joinedColumns(&probe_[part], a, b, /*allColumns=*/true);
      VectorPtr cond = residual_->eval(joined, ec);
      if (!cond->type().isBoolean()) {
        if (cond->type().isNull()) {
          std::fill(keep.begin() + static_cast<std::ptrdiff_t>(lo), keep.begin() + static_cast<std::ptrdiff_t>(hi), 0);
          continue;
        }
        throw AnalysisException("The join condition " + residual_->toString() + " is not boolean.");
      }
      const std::uint8_t* d = cond->data<std::uint8_t>();
      for (std::size_t i = lo; i < hi; ++i) keep[i] = d[i - lo] && cond->isValid(i - lo);
    }
  }

  void emit(std::size_t begin, std::size_t end, const std::vector<std::int64_t>& pp,
            const std::vector<std::int64_t>& pb, const std::vector<std::uint8_t>& keep,
            std::vector<std::int64_t>& outProbe, std::vector<std::int64_t>& outBuild) {
    std::size_t j = 0;
    for (std::size_t r = begin; r < end; ++r) {
      bool matched = false;
      for (; j < pp.size() && pp[j] == static_cast<std::int64_t>(r); ++j) {
        if (!keep[j]) continue;
        matched = true;
        if (!buildMatched_.empty())
          std::atomic_ref<std::uint8_t>(buildMatched_[static_cast<std::size_t>(pb[j])]).store(1, std::memory_order_relaxed);
        if (!shape_.semi && !shape_.anti) {
          outProbe.push_back(static_cast<std::int64_t>(r));
          outBuild.push_back(pb[j]);
        }
      }
      if ((shape_.semi && matched) || (shape_.anti && !matched)) {
        outProbe.push_back(static_cast<std::int64_t>(r));
      } else if (!matched && shape_.keepUnmatchedProbe) {
        outProbe.push_back(static_cast<std::int64_t>(r));
        outBuild.push_back(-1);
      }
    }
  }

  // Columns [left..., right...] (or left only) for the given row pairs; a null probe batch means every
  // probe index is -1.
  Batch joinedColumns(const Batch* probeBatch, const std::vector<std::int64_t>& probeIdx,
                      const std::vector<std::int64_t>& buildIdx, bool allColumns) const {
    Batch out;
    out.rows = probeIdx.size();
    auto probeCols = [&](const std::vector<DataType>& types) {
      for (std::size_t c = 0; c < types.size(); ++c) {
        // Columns no consumer reads arrive as empty slots and stay so.
        const bool empty = !probe_.empty() && c < probe_[0].columns.size() && !probe_[0].columns[c];
        if (empty)
          out.columns.push_back(nullptr);
        else if (probeBatch)
          out.columns.push_back(take(probeBatch->column(c), probeIdx));
        else
          out.columns.push_back(Vector::constant(Value(), types[c], probeIdx.size()));
      }
    };
    auto buildCols = [&]() {
      for (std::size_t c = 0; c < build_.columns.size(); ++c)
        out.columns.push_back(build_.columns[c] ? take(build_.column(c), buildIdx) : nullptr);
    };
    if (shape_.probeIsLeft) {
      probeCols(leftTypes_);
      if (allColumns) buildCols();
    } else {
      buildCols();
      probeCols(rightTypes_);
    }
    return out;
  }

  Batch assemble(std::size_t part, const std::vector<std::int64_t>& probeIdx, const std::vector<std::int64_t>& buildIdx) {
    return assembleFrom(&probe_[part], probeIdx, buildIdx);
  }
  Batch assembleFrom(const Batch* probeBatch, const std::vector<std::int64_t>& probeIdx,
                     const std::vector<std::int64_t>& buildIdx) {
    return joinedColumns(probeBatch, probeIdx, buildIdx, !(shape_.semi || shape_.anti));
  }

  // Counts the rows a morsel added against the query's memory budget: a join that would produce more than the
  // budget (a cross join of large inputs) fails early with a clear error instead of exhausting the machine.
  void charge(std::size_t rows) {
    const std::size_t total = outRows_.fetch_add(rows, std::memory_order_relaxed) + rows;
    if (static_cast<double>(total) * static_cast<double>(rowBytes_) > static_cast<double>(budget_)) {
      std::size_t probeRows = 0;
      for (const auto& b : probe_) probeRows += b.rows;
      throw ExecutionException("The query exceeds its memory budget of " + formatBytes(budget_) + ": a join of " +
                               std::to_string(probeRows) + " and " + std::to_string(build_.rows) +
                               " rows produces more than " + std::to_string(total) +
                               " rows. Narrow it (a join condition, a filter, an aggregate) or raise the budget "
                               "with NORQ_QUERY_MEMORY (e.g. NORQ_QUERY_MEMORY=16G).");
    }
  }

  const Partitions& probe_;
  const Batch& build_;
  const std::vector<DataType>& leftTypes_;
  const std::vector<DataType>& rightTypes_;
  JoinShape shape_;
  BoundExprPtr residual_;
  const ExecContext& ctx_;
  std::vector<std::uint8_t> buildMatched_;
  std::size_t morselRowLimit_ = static_cast<std::size_t>(-1);
  std::size_t budget_;
  std::size_t rowBytes_ = 0;
  std::atomic<std::size_t> outRows_{0};
};

JoinShape shapeOf(JoinType type, bool probeIsLeft) {
  JoinShape s;
  s.probeIsLeft = probeIsLeft;
  switch (type) {
    case JoinType::Inner:
    case JoinType::Cross:
      break;
    case JoinType::LeftOuter:
      s.keepUnmatchedProbe = true;
      break;
    case JoinType::RightOuter:
      s.keepUnmatchedProbe = true;  // the probe side is the right side
      break;
    case JoinType::FullOuter:
      s.keepUnmatchedProbe = true;
      s.keepUnmatchedBuild = true;
      break;
    case JoinType::LeftSemi:
      s.semi = true;
      break;
    case JoinType::LeftAnti:
      s.anti = true;
      break;
  }
  return s;
}

}  // namespace

Partitions hashJoin(const Partitions& left, const Partitions& right, const std::vector<DataType>& leftTypes,
                    const std::vector<DataType>& rightTypes, const std::vector<BoundExprPtr>& leftKeys,
                    const std::vector<BoundExprPtr>& rightKeys, JoinType type, const BoundExprPtr& residual,
                    const ExecContext& ctx, std::size_t rowLimit) {
  const bool limited = rowLimit != static_cast<std::size_t>(-1) &&
                       (type == JoinType::Inner || type == JoinType::Cross || type == JoinType::LeftOuter ||
                        type == JoinType::RightOuter);
  if (leftKeys.size() != rightKeys.size())
    throw ExecutionException("hashJoin: " + std::to_string(leftKeys.size()) + " left keys but " +
                             std::to_string(rightKeys.size()) + " right keys.");
  for (std::size_t k = 0; k < leftKeys.size(); ++k)
    if (!sameKeyEncoding(leftKeys[k]->type(), rightKeys[k]->type()))
      throw AnalysisException("Join keys " + leftKeys[k]->toString() + " and " + rightKeys[k]->toString() +
                              " have incompatible types " + leftKeys[k]->type().simpleString() + " and " +
                              rightKeys[k]->type().simpleString() + ".");

  // Build on the right unless the join needs the left as build side (right outer) or may choose the
  // smaller side (inner).
  bool probeIsLeft = true;
  if (type == JoinType::RightOuter) probeIsLeft = false;
  if ((type == JoinType::Inner || type == JoinType::Cross) && totalRows(left) < totalRows(right)) probeIsLeft = false;
  const Partitions& probe = probeIsLeft ? left : right;
  const Partitions& buildParts = probeIsLeft ? right : left;
  const std::vector<DataType>& buildTypes = probeIsLeft ? rightTypes : leftTypes;
  const auto& probeKeys = probeIsLeft ? leftKeys : rightKeys;
  const auto& buildKeys = probeIsLeft ? rightKeys : leftKeys;

  const Batch build = concatBatches(buildParts, buildTypes);
  const JoinShape shape = shapeOf(type, probeIsLeft);
  Joiner joiner(probe, build, leftTypes, rightTypes, shape, residual, ctx);

  std::vector<std::size_t> partRows;
  for (const auto& b : probe) partRows.push_back(b.rows);
  const std::vector<Morsel> morsels = makeMorsels(partRows, defaultMorselRows(totalRows(probe)));
  Partitions out(morsels.size());
  if (limited) joiner.limitMorselRows(rowLimit);
  // Runs run(m) for every morsel; under a limit, a wave of morsels at a time in order, until the rows that
  // came out reach it (the result is the same rows whatever the timing).
  auto forMorsels = [&](auto&& run) {
    if (!limited) {
      parallelFor(morsels.size(), run);
      return;
    }
    const std::size_t wave = static_cast<std::size_t>(std::max(1, ctx.parallelism));
    std::size_t have = 0, ran = 0;
    for (std::size_t from = 0; from < morsels.size() && have < rowLimit; from += wave) {
      const std::size_t to = std::min(morsels.size(), from + wave);
      parallelFor(to - from, [&](std::size_t i) { run(from + i); });
      for (std::size_t m = from; m < to; ++m) have += out[m].rows;
      ran = to;
    }
    out.resize(ran);  // morsels never run keep no batch
  };

  if (leftKeys.empty()) {
    const std::size_t nb = build.rows;
    auto gen = [&](std::size_t, std::size_t begin, std::size_t end, std::vector<std::int64_t>& pp,
                   std::vector<std::int64_t>& pb) {
      std::size_t rowsPerChunk = std::max<std::size_t>(1, kPairBatch / std::max<std::size_t>(1, nb));
      std::size_t stop = std::min(end, begin + rowsPerChunk);
      for (std::size_t r = begin; r < stop; ++r)
        for (std::size_t b = 0; b < nb; ++b) {
          pp.push_back(static_cast<std::int64_t>(r));
          pb.push_back(static_cast<std::int64_t>(b));
        }
      return stop;
    };
    forMorsels([&](std::size_t m) { out[m] = joiner.runMorsel(morsels[m], gen); });
  } else {
    std::vector<DataType> keyTypes;
    for (const auto& k : buildKeys) keyTypes.push_back(k->type());
    const KeyEncoder enc(keyTypes);

    // Index the build side; rows with a null key can never match and stay out.
    const auto buildKeyVals = evalPerPartition({build}, buildKeys, ctx);
    std::vector<const Vector*> bk = columnPtrs(buildKeyVals[0]);
    BuildIndex index;
    index.table = std::make_unique<GroupTable>(enc);
    std::vector<std::int64_t> rowGroup(build.rows, -1);
    {
      EncodedKeys ek;
      std::vector<std::uint32_t> gids(kProbeChunk);
      std::vector<std::int64_t> found(kProbeChunk);
      for (std::size_t at = 0; at < build.rows; at += kProbeChunk) {
        std::size_t n = std::min(kProbeChunk, build.rows - at);
        enc.encode(bk, at, n, ek, /*withNullFlags=*/true);
        index.table->findOrInsert(ek, gids.data());
        for (std::size_t i = 0; i < n; ++i) rowGroup[at + i] = ek.nulls[i] ? -1 : static_cast<std::int64_t>(gids[i]);
      }
    }
    const std::size_t groups = index.table->size();
    index.start.assign(groups + 1, 0);
    for (std::int64_t g : rowGroup)
      if (g >= 0) ++index.start[static_cast<std::size_t>(g) + 1];
    for (std::size_t g = 0; g < groups; ++g) index.start[g + 1] += index.start[g];
    index.rows.resize(static_cast<std::size_t>(index.start[groups]));
    {
      std::vector<std::int64_t> cursor(index.start.begin(), index.start.end() - 1);
      for (std::size_t r = 0; r < build.rows; ++r)
        if (rowGroup[r] >= 0) index.rows[static_cast<std::size_t>(cursor[static_cast<std::size_t>(rowGroup[r])]++)] = static_cast<std::int64_t>(r);
    }
    rowGroup.clear();
    rowGroup.shrink_to_fit();

    const auto probeKeyVals = evalPerPartition(probe, probeKeys, ctx);
    forMorsels([&](std::size_t m) {
      EncodedKeys ek;
      std::vector<std::int64_t> found;
      std::vector<const Vector*> pk = columnPtrs(probeKeyVals[morsels[m].part]);
      auto gen = [&](std::size_t, std::size_t begin, std::size_t end, std::vector<std::int64_t>& pp,
                     std::vector<std::int64_t>& pb) {
        std::size_t n = std::min(kProbeChunk, end - begin);
        enc.encode(pk, begin, n, ek, /*withNullFlags=*/true);
        found.resize(n);
        index.table->find(ek, found.data(), /*nullsMatch=*/false);
        for (std::size_t i = 0; i < n; ++i) {
          if (found[i] < 0) continue;
          auto g = static_cast<std::size_t>(found[i]);
          for (std::int64_t j = index.start[g]; j < index.start[g + 1]; ++j) {
            pp.push_back(static_cast<std::int64_t>(begin + i));
            pb.push_back(index.rows[static_cast<std::size_t>(j)]);
          }
        }
        return begin + n;
      };
      out[m] = joiner.runMorsel(morsels[m], gen);
    });
  }

  if (shape.keepUnmatchedBuild) out.push_back(joiner.unmatchedBuild());
  if (out.empty()) {
    Batch empty;
    auto addEmpty = [&](const std::vector<DataType>& types) {
      for (const auto& t : types) empty.columns.push_back(Vector::make(t, 0));
    };
    addEmpty(leftTypes);
    if (!shape.semi && !shape.anti) addEmpty(rightTypes);
    out.push_back(std::move(empty));
  }
  return out;
}

}  // namespace engine::local
