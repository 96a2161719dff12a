// Physical operators over hand-built partitions (several, some empty, with nulls, NaN, -0.0, strings and
// decimals) and randomized checks against simple reference implementations.
#include <limits>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/local/expr/bound_expr.h"
#include "engine/local/ops/operators.h"
#include "engine/local/plan/planner.h"
#include "engine/window.h"

namespace engine::local {
namespace {

using Row = std::vector<Value>;

ExecContext testCtx(int parallelism = 4) {
  ExecContext c;
  c.parallelism = parallelism;
  return c;
}

Batch makeBatch(const std::vector<DataType>& types, const std::vector<Row>& rows) {
  Batch b;
  b.rows = rows.size();
  for (std::size_t c = 0; c < types.size(); ++c) {
    std::vector<Value> col;
    for (const auto& r : rows) col.push_back(r[c]);
    b.columns.push_back(Vector::fromValues(types[c], col));
  }
  return b;
}

// Rows split over partitions of the given sizes (0 = an empty partition).
Partitions makeParts(const std::vector<DataType>& types, const std::vector<Row>& rows,
                     const std::vector<std::size_t>& sizes) {
  Partitions out;
  std::size_t at = 0;
  for (std::size_t s : sizes) {
    std::vector<Row> part(rows.begin() + static_cast<std::ptrdiff_t>(at),
                          rows.begin() + static_cast<std::ptrdiff_t>(at + s));
    out.push_back(makeBatch(types, part));
    at += s;
  }
  EXPECT_EQ(at, rows.size());
  return out;
}

std::vector<Row> rowsOf(const Partitions& parts) {
  std::vector<Row> out;
  for (const auto& b : parts)
    for (std::size_t i = 0; i < b.rows; ++i) {
      Row r;
      for (const auto& c : b.columns) {
        EXPECT_EQ(c->size(), b.rows);
        r.push_back(c->get(i));
      }
      out.push_back(std::move(r));
    }
  return out;
}

std::string rowText(const Row& r) {
  std::string s;
  for (const auto& v : r) s += (s.empty() ? "" : "|") + v.toString();
  return s;
}

std::vector<std::string> sortedTexts(const std::vector<Row>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(rowText(r));
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> texts(const std::vector<Row>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(rowText(r));
  return out;
}

AggregateCall agg(const std::string& name, std::vector<BoundExprPtr> args, bool distinct = false,
                  bool ignoreNulls = false) {
  AggregateCall c;
  c.name = name;
  std::vector<DataType> types;
  for (const auto& a : args) types.push_back(a->type());
  c.args = std::move(args);
  c.distinct = distinct;
  c.ignoreNulls = ignoreNulls;
  c.resultType = aggregateResultType(name, types);
  return c;
}

BoundExprPtr col(std::size_t i, const DataType& t) { return boundColumn(i, t); }
BoundExprPtr one() { return boundLiteral(Value(1)); }

const double kNaN = std::nan("");

// ---- Aggregation ----------------------------------------------------------------------------------

TEST(HashAggregate, GroupsFollowSparkKeyEquality) {
  // NaN groups with NaN, -0.0 with 0.0, nulls form one group; partitions include empty ones.
  std::vector<DataType> types{DoubleType(), LongType()};
  std::vector<Row> rows{{0.0, 1L},  {kNaN, 2L}, {Value(), 3L}, {-0.0, 4L}, {kNaN, Value()},
                        {1.5, 6L},  {Value(), 7L}, {1.5, 8L}};
  auto input = makeParts(types, rows, {3, 0, 4, 1, 0});
  auto out = hashAggregate(input, {col(0, DoubleType())},
                           {agg("count", {one()}), agg("count", {col(1, LongType())}), agg("sum", {col(1, LongType())})},
                           testCtx());
  EXPECT_EQ(sortedTexts(rowsOf(out)),
            (std::vector<std::string>{"0.0|2|2|5", "1.5|2|2|14", "NaN|2|1|2", "null|2|2|10"}));
}

TEST(HashAggregate, GlobalAggregateAlwaysHasOneRow) {
  std::vector<DataType> types{IntegerType(), StringType()};
  auto empty = makeParts(types, {}, {0, 0});
  std::vector<AggregateCall> calls{agg("count", {one()}),          agg("sum", {col(0, IntegerType())}),
                                   agg("avg", {col(0, IntegerType())}), agg("min", {col(1, StringType())}),
                                   agg("collect_list", {col(0, IntegerType())}), agg("stddev", {col(0, IntegerType())})};
  EXPECT_EQ(texts(rowsOf(hashAggregate(empty, {}, calls, testCtx()))),
            (std::vector<std::string>{"0|null|null|null|[]|null"}));
  EXPECT_EQ(texts(rowsOf(hashAggregate({}, {}, calls, testCtx()))),
            (std::vector<std::string>{"0|null|null|null|[]|null"}));
  // Keyed aggregation of nothing is empty but typed.
  auto keyed = hashAggregate(empty, {col(1, StringType())}, calls, testCtx());
  EXPECT_EQ(totalRows(keyed), 0u);
  ASSERT_FALSE(keyed.empty());
  EXPECT_EQ(keyed[0].columns.size(), 7u);
}

TEST(HashAggregate, SumAndAvgResultTypes) {
  EXPECT_EQ(aggregateResultType("sum", {IntegerType()}), LongType());
  EXPECT_EQ(aggregateResultType("sum", {FloatType()}), DoubleType());
  EXPECT_EQ(aggregateResultType("sum", {DecimalType(10, 2)}), DecimalType(20, 2));
  EXPECT_EQ(aggregateResultType("sum", {DecimalType(35, 2)}), DecimalType(38, 2));
  EXPECT_EQ(aggregateResultType("avg", {DecimalType(10, 2)}), DecimalType(14, 6));
  EXPECT_EQ(aggregateResultType("avg", {DecimalType(38, 36)}), DecimalType(38, 38));
  EXPECT_EQ(aggregateResultType("avg", {LongType()}), DoubleType());
  EXPECT_EQ(aggregateResultType("collect_set", {StringType()}), ArrayType(StringType(), false));
  EXPECT_THROW(aggregateResultType("sum", {StringType()}), AnalysisException);
  EXPECT_THROW(aggregateResultType("no_such_agg", {LongType()}), AnalysisException);
  EXPECT_TRUE(isAggregateFunction("STDDEV_POP"));
  EXPECT_FALSE(isAggregateFunction("row_number"));
}

TEST(HashAggregate, IntegralSumWrapsAndDecimalsRoundHalfUp) {
  std::vector<DataType> types{LongType(), DecimalType(5, 2)};
  auto d = [](const char* s) { return Value(*Decimal::parse(s)); };
  std::vector<Row> rows{{std::numeric_limits<std::int64_t>::max(), d("1.00")}, {1L, d("2.00")}, {1L, d("2.00")}};
  auto input = makeParts(types, rows, {1, 2});
  auto out = hashAggregate(input, {},
                           {agg("sum", {col(0, LongType())}), agg("sum", {col(1, types[1])}),
                            agg("avg", {col(1, types[1])}), agg("avg", {col(0, LongType())})},
                           testCtx());
  // 1.666666.. rounds half up at scale 6; the long sum wraps modulo 2^64.
  EXPECT_EQ(texts(rowsOf(out)), (std::vector<std::string>{"-9223372036854775807|5.00|1.666667|3.0744573456182584E18"}));
  auto neg = makeParts(types, {{0L, d("-0.01")}, {0L, d("-0.02")}}, {2});
  out = hashAggregate(neg, {}, {agg("avg", {col(1, types[1])})}, testCtx());
  EXPECT_EQ(texts(rowsOf(out)), (std::vector<std::string>{"-0.015000"}));
}

TEST(HashAggregate, StatisticalAggregates) {
  std::vector<DataType> types{StringType(), DoubleType()};
  std::vector<Row> rows{{"a", 1.0}, {"a", 2.0}, {"b", 5.0}, {"a", 4.0}, {"b", Value()}, {"c", Value()}, {"a", 7.0}};
  auto input = makeParts(types, rows, {2, 3, 0, 2});
  auto x = col(1, DoubleType());
  auto out = hashAggregate(input, {col(0, StringType())},
                           {agg("stddev", {x}), agg("stddev_pop", {x}), agg("var_samp", {x}), agg("var_pop", {x}),
                            agg("avg", {x})},
                           testCtx());
  std::map<std::string, Row> byKey;
  for (auto& r : rowsOf(out)) byKey[r[0].str()] = r;
  ASSERT_EQ(byKey.size(), 3u);
  // a: 1, 2, 4, 7 -> mean 3.5, m2 = 6.25 + 2.25 + 0.25 + 12.25 = 21
  EXPECT_NEAR(byKey["a"][1].get<double>(), std::sqrt(21.0 / 3), 1e-12);
  EXPECT_NEAR(byKey["a"][2].get<double>(), std::sqrt(21.0 / 4), 1e-12);
  EXPECT_NEAR(byKey["a"][3].get<double>(), 7.0, 1e-12);
  EXPECT_NEAR(byKey["a"][4].get<double>(), 5.25, 1e-12);
  EXPECT_DOUBLE_EQ(byKey["a"][5].get<double>(), 3.5);
  // One value: sample statistics are null, population ones zero; no value: all null.
  EXPECT_EQ(rowText(byKey["b"]), "b|null|0.0|null|0.0|5.0");
  EXPECT_EQ(rowText(byKey["c"]), "c|null|null|null|null|null");
}

TEST(HashAggregate, OrderSensitiveAndCollectingAggregates) {
  std::vector<DataType> types{IntegerType(), StringType(), DoubleType(), BooleanType()};
  std::vector<Row> rows{{1, Value(), 1.0, true}, {1, "x", kNaN, false}, {2, "b", 3.0, Value()},
                        {1, "a", -1.0, true}, {1, Value(), 2.0, Value()}, {2, "b", 3.0, true},
                        {2, "a", Value(), true}};
  auto input = makeParts(types, rows, {2, 0, 3, 2});
  auto s = col(1, StringType());
  auto x = col(2, DoubleType());
  auto b = col(3, BooleanType());
  auto out = hashAggregate(input, {col(0, IntegerType())},
                           {agg("first", {s}), agg("first", {s}, false, true), agg("last", {s}),
                            agg("last", {s}, false, true), agg("min", {s}), agg("max", {s}), agg("max", {x}),
                            agg("min", {x}), agg("collect_list", {s}), agg("collect_set", {s}), agg("bool_and", {b}),
                            agg("bool_or", {b}), agg("count_if", {b}), agg("count", {s, x})},
                           testCtx());
  EXPECT_EQ(sortedTexts(rowsOf(out)),
            (std::vector<std::string>{
                "1|null|x|null|a|a|x|NaN|-1.0|[x, a]|[x, a]|false|true|2|2",
                "2|b|b|a|a|a|b|3.0|3.0|[b, b, a]|[b, a]|true|true|2|2"}));
}

TEST(HashAggregate, DistinctAggregates) {
  std::vector<DataType> types{StringType(), IntegerType()};
  std::vector<Row> rows{{"k", 1}, {"k", 1}, {"k", Value()}, {"k", 2}, {Value(), 5}, {Value(), 5}, {"j", Value()}};
  auto input = makeParts(types, rows, {3, 0, 4});
  auto v = col(1, IntegerType());
  auto out = hashAggregate(input, {col(0, StringType())},
                           {agg("count", {v}, true), agg("sum", {v}, true), agg("count", {v}), agg("max", {v}, true)},
                           testCtx());
  EXPECT_EQ(sortedTexts(rowsOf(out)), (std::vector<std::string>{"j|0|null|0|null", "k|2|3|3|2", "null|1|5|2|5"}));
  auto global = hashAggregate(input, {}, {agg("count", {v}, true), agg("count", {one()})}, testCtx());
  EXPECT_EQ(texts(rowsOf(global)), (std::vector<std::string>{"3|7"}));
}

// Large random input with many groups, so partial tables of several morsels are merged by several threads.
TEST(HashAggregate, RandomizedAgainstMapReference) {
  std::mt19937_64 rng(7);
  const std::size_t n = 300000;
  std::vector<Row> rows;
  rows.reserve(n);
  std::map<std::string, std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t>> ref;  // count, sum, min, max
  for (std::size_t i = 0; i < n; ++i) {
    bool nullKey = rng() % 50 == 0;
    std::int64_t k = static_cast<std::int64_t>(rng() % 120000);
    std::string s = "s" + std::to_string(k % 7);
    std::int64_t v = static_cast<std::int64_t>(rng() % 1000) - 500;
    rows.push_back({nullKey ? Value() : Value(k), s, v});
    std::string key = (nullKey ? std::string("null") : std::to_string(k)) + "|" + s;
    auto it = ref.find(key);
    if (it == ref.end())
      ref[key] = {1, v, v, v};
    else {
      auto& [c, sum, mn, mx] = it->second;
      ++c;
      sum += v;
      mn = std::min(mn, v);
      mx = std::max(mx, v);
    }
  }
  std::vector<DataType> types{LongType(), StringType(), LongType()};
  auto input = makeParts(types, rows, {100000, 0, 150000, 50000});
  auto v = col(2, LongType());
  for (bool stringKey : {false, true}) {
    std::vector<BoundExprPtr> keys{col(0, LongType())};
    if (stringKey) keys.push_back(col(1, StringType()));
    auto out = hashAggregate(input, keys, {agg("count", {one()}), agg("sum", {v}), agg("min", {v}), agg("max", {v})},
                             testCtx());
    std::map<std::string, std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t>> expect;
    if (stringKey) {
      expect = ref;
    } else {
      for (auto& [key, t] : ref) {
        std::string k = key.substr(0, key.find('|'));
        auto it = expect.find(k);
        if (it == expect.end()) {
          expect[k] = t;
        } else {
          auto& [c, sum, mn, mx] = it->second;
          c += std::get<0>(t);
          sum += std::get<1>(t);
          mn = std::min(mn, std::get<2>(t));
          mx = std::max(mx, std::get<3>(t));
        }
      }
    }
    auto got = rowsOf(out);
    ASSERT_EQ(got.size(), expect.size()) << "stringKey=" << stringKey;
    std::size_t nk = keys.size();
    for (const auto& r : got) {
      std::string key = r[0].toString() + (stringKey ? "|" + r[1].toString() : "");
      auto it = expect.find(key);
      ASSERT_NE(it, expect.end()) << key;
      auto [c, sum, mn, mx] = it->second;
      EXPECT_EQ(r[nk].get<std::int64_t>(), c) << key;
      EXPECT_EQ(r[nk + 1].get<std::int64_t>(), sum) << key;
      EXPECT_EQ(r[nk + 2].get<std::int64_t>(), mn) << key;
      EXPECT_EQ(r[nk + 3].get<std::int64_t>(), mx) << key;
    }
  }
}

// Keys that barely repeat (identifiers, whole rows) take another path through the aggregation than keys that
// repeat often; a partition may also switch between the two. Counts and distinct counts must not tell.
TEST(HashAggregate, KeysThatBarelyRepeatCountAsAnyOthers) {
  std::mt19937_64 rng(11);
  std::vector<Row> rows;
  std::map<std::string, std::int64_t> byId, byPair, byText;
  std::map<std::string, std::set<std::int64_t>> distinctV;
  auto add = [&](Value id, std::int64_t v) {
    const std::string idText = id.isNull() ? "null" : id.toString();
    const std::string text = "t" + idText;
    rows.push_back({id, Value(static_cast<std::int32_t>(v % 3)), text, v});
    ++byId[idText];
    ++byPair[idText + "|" + std::to_string(v % 3)];
    ++byText[text];
    distinctV[std::to_string(v % 3)].insert(idText == "null" ? -1 : id.get<std::int64_t>());
  };
  // Unique keys, then one partition whose first rows are all new and later rows repeat them, then few keys.
  for (std::int64_t i = 0; i < 60000; ++i) add(Value(i), static_cast<std::int64_t>(rng() % 1000));
  for (std::int64_t i = 0; i < 90000; ++i) add(i % 50 == 0 ? Value() : Value(100000 + (i < 20000 ? i : i % 20000)), i);
  for (std::int64_t i = 0; i < 50000; ++i) add(Value(i % 37), i);
  const std::vector<DataType> types{LongType(), IntegerType(), StringType(), LongType()};
  const auto input = makeParts(types, rows, {60000, 0, 90000, 50000});

  auto counted = [&](const std::vector<BoundExprPtr>& keys, const std::vector<AggregateCall>& aggs) {
    std::map<std::string, std::int64_t> got;
    for (const Row& r : rowsOf(hashAggregate(input, keys, aggs, testCtx()))) {
      std::string key;
      for (std::size_t k = 0; k < keys.size(); ++k) key += (k ? "|" : "") + (r[k].isNull() ? std::string("null") : r[k].toString());
      EXPECT_TRUE(got.emplace(key, aggs.empty() ? 1 : r[keys.size()].get<std::int64_t>()).second) << "group twice: " << key;
    }
    return got;
  };
  EXPECT_EQ(counted({col(0, LongType())}, {agg("count", {one()})}), byId);                         // one fixed-width key
  EXPECT_EQ(counted({col(0, LongType()), col(1, IntegerType())}, {agg("count", {one()})}), byPair);  // packed keys
  EXPECT_EQ(counted({col(2, StringType())}, {agg("count", {one()})}), byText);                       // serialised keys
  std::map<std::string, std::int64_t> ones;
  for (const auto& [k, c] : byId) ones[k] = 1;
  EXPECT_EQ(counted({col(0, LongType())}, {}), ones);  // grouping alone, as DISTINCT runs it
  // count(DISTINCT id) per v % 3 de-duplicates (v % 3, id) first: nearly one group per row.
  std::map<std::string, std::int64_t> distinctCounts;
  for (const auto& [k, ids] : distinctV) distinctCounts[k] = static_cast<std::int64_t>(ids.size() - ids.count(-1));
  EXPECT_EQ(counted({col(1, IntegerType())}, {agg("count", {col(0, LongType())}, true)}), distinctCounts);
}

// ---- Sampling -------------------------------------------------------------------------------------

TEST(Sample, DrawsDoNotDependOnRowOrderOrOnWhatWasDrawnBefore) {
  std::mt19937_64 rng(5);
  std::vector<Row> rows;
  for (int i = 0; i < 30000; ++i) {
    const std::int64_t k = static_cast<std::int64_t>(rng() % 500);
    rows.push_back({k % 3 == 0 ? Value() : Value(k), i % 4 == 0 ? Value(kNaN) : Value(static_cast<double>(k) / 7.0),
                    "s" + std::to_string(k % 11)});
  }
  const std::vector<DataType> types{LongType(), DoubleType(), StringType()};
  const Partitions input = makeParts(types, rows, {12000, 0, 18000});
  std::vector<Row> shuffledRows = rows;
  std::shuffle(shuffledRows.begin(), shuffledRows.begin() + 12000, rng);
  std::shuffle(shuffledRows.begin() + 12000, shuffledRows.end(), rng);
  const Partitions shuffled = makeParts(types, shuffledRows, {12000, 0, 18000});

  const std::vector<double> bounds{0.0, 0.25, 0.7, 1.0};
  std::vector<std::string> all;
  for (std::size_t s = 0; s + 1 < bounds.size(); ++s) {
    const auto first = texts(rowsOf(samplePartitions(input, types, bounds[s], bounds[s + 1], 42, false, true, testCtx())));
    // The same partitions drawn again, and the same rows in another order within each partition.
    EXPECT_EQ(texts(rowsOf(samplePartitions(input, types, bounds[s], bounds[s + 1], 42, false, true, testCtx()))), first);
    EXPECT_EQ(texts(rowsOf(samplePartitions(shuffled, types, bounds[s], bounds[s + 1], 42, false, true, testCtx()))),
              first);
    all.insert(all.end(), first.begin(), first.end());
  }
  // The segments together hold every row once.
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, sortedTexts(rows));
  // With replacement, too, the draw is the same whatever the order of the rows.
  EXPECT_EQ(texts(rowsOf(samplePartitions(input, types, 0.0, 1.5, 3, true, true, testCtx()))),
            texts(rowsOf(samplePartitions(shuffled, types, 0.0, 1.5, 3, true, true, testCtx()))));
}

// ---- Joins ----------------------------------------------------------------------------------------

// left.c[li] < right.c[ri] over the joined batch, null when either is null (test-only residual).
class LessThan : public BoundExpr {
 public:
  LessThan(std::size_t a, std::size_t b) : BoundExpr(BooleanType(), true), a_(a), b_(b) {}
  VectorPtr eval(const Batch& in, const EvalContext&) const override {
    auto out = Vector::make(BooleanType(), in.rows);
    const Vector& x = in.column(a_);
    const Vector& y = in.column(b_);
    for (std::size_t i = 0; i < in.rows; ++i) {
      if (x.isNull(i) || y.isNull(i)) {
        out->setNull(i);
        continue;
      }
      out->data<std::uint8_t>()[i] = x.get(i).toInt64() < y.get(i).toInt64();
    }
    return out;
  }
  std::string toString() const override { return "lt"; }

 private:
  std::size_t a_, b_;
};

struct JoinCase {
  Partitions left, right;
  std::vector<DataType> lt{IntegerType(), StringType()};
  std::vector<DataType> rt{LongType(), IntegerType()};
  JoinCase() {
    left = makeParts(lt, {{1, "a"}, {2, "b"}, {Value(), "n"}, {2, "c"}, {4, "d"}}, {2, 0, 3});
    right = makeParts(rt, {{2L, 20}, {Value(), 0}, {2L, 21}, {3L, 30}, {1L, 5}}, {1, 4, 0});
  }
  std::vector<std::string> run(JoinType type, BoundExprPtr residual = nullptr, bool keys = true) {
    std::vector<BoundExprPtr> lk, rk;
    if (keys) {
      lk = {col(0, IntegerType())};
      rk = {col(0, LongType())};
    }
    return sortedTexts(rowsOf(hashJoin(left, right, lt, rt, lk, rk, type, residual, testCtx())));
  }
};

TEST(HashJoin, EveryJoinTypeWithNullAndDuplicateKeys) {
  JoinCase j;
  using V = std::vector<std::string>;
  EXPECT_EQ(j.run(JoinType::Inner), (V{"1|a|1|5", "2|b|2|20", "2|b|2|21", "2|c|2|20", "2|c|2|21"}));
  EXPECT_EQ(j.run(JoinType::LeftOuter),
            (V{"1|a|1|5", "2|b|2|20", "2|b|2|21", "2|c|2|20", "2|c|2|21", "4|d|null|null", "null|n|null|null"}));
  EXPECT_EQ(j.run(JoinType::RightOuter),
            (V{"1|a|1|5", "2|b|2|20", "2|b|2|21", "2|c|2|20", "2|c|2|21", "null|null|3|30", "null|null|null|0"}));
  EXPECT_EQ(j.run(JoinType::FullOuter),
            (V{"1|a|1|5", "2|b|2|20", "2|b|2|21", "2|c|2|20", "2|c|2|21", "4|d|null|null", "null|null|3|30",
               "null|null|null|0", "null|n|null|null"}));
  EXPECT_EQ(j.run(JoinType::LeftSemi), (V{"1|a", "2|b", "2|c"}));
  EXPECT_EQ(j.run(JoinType::LeftAnti), (V{"4|d", "null|n"}));
}

TEST(HashJoin, ResidualConditionDecidesMatches) {
  JoinCase j;
  using V = std::vector<std::string>;
  // Residual over [left..., right...]: left.c0 < right.c1 - sets matches for every join type.
  auto lt = std::make_shared<LessThan>(0, 3);
  EXPECT_EQ(j.run(JoinType::Inner, lt), (V{"1|a|1|5", "2|b|2|20", "2|b|2|21", "2|c|2|20", "2|c|2|21"}));
  // A residual that fails some pairs: right.c1 (index 3) < left.c0 (index 0) is false for every key match.
  auto never = std::make_shared<LessThan>(3, 0);
  EXPECT_EQ(j.run(JoinType::Inner, never), V{});
  EXPECT_EQ(j.run(JoinType::LeftOuter, never),
            (V{"1|a|null|null", "2|b|null|null", "2|c|null|null", "4|d|null|null", "null|n|null|null"}));
  EXPECT_EQ(j.run(JoinType::LeftSemi, never), V{});
  EXPECT_EQ(j.run(JoinType::LeftAnti, never).size(), 5u);
  EXPECT_EQ(j.run(JoinType::FullOuter, never).size(), 10u);
  EXPECT_EQ(j.run(JoinType::RightOuter, never).size(), 5u);
}

TEST(HashJoin, NestedLoopAndCrossJoin) {
  JoinCase j;
  using V = std::vector<std::string>;
  EXPECT_EQ(j.run(JoinType::Cross, nullptr, false).size(), 25u);
  // Non-equi condition: left.c0 < right.c0 (left idx 0, right idx 2).
  auto cond = std::make_shared<LessThan>(0, 2);
  EXPECT_EQ(j.run(JoinType::Inner, cond, false), (V{"1|a|2|20", "1|a|2|21", "1|a|3|30", "2|b|3|30", "2|c|3|30"}));
  EXPECT_EQ(j.run(JoinType::LeftAnti, cond, false), (V{"4|d", "null|n"}));
  EXPECT_EQ(j.run(JoinType::FullOuter, cond, false).size(), 5u + 2u + 2u);
  // Empty build side.
  Partitions none = makeParts(j.rt, {}, {0});
  auto out = hashJoin(j.left, none, j.lt, j.rt, {col(0, IntegerType())}, {col(0, LongType())}, JoinType::LeftOuter,
                      nullptr, testCtx());
  EXPECT_EQ(totalRows(out), 5u);
  out = hashJoin(j.left, none, j.lt, j.rt, {col(0, IntegerType())}, {col(0, LongType())}, JoinType::Inner, nullptr,
                 testCtx());
  EXPECT_EQ(totalRows(out), 0u);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out[0].columns.size(), 4u);
}

TEST(HashJoin, FloatingAndStringKeys) {
  std::vector<DataType> t{DoubleType(), StringType()};
  auto l = makeParts(t, {{kNaN, "x"}, {-0.0, "y"}, {1.0, "z"}}, {3});
  auto r = makeParts(t, {{kNaN, "x"}, {0.0, "y"}, {1.0, "w"}}, {1, 2});
  auto out = hashJoin(l, r, t, t, {col(0, DoubleType()), col(1, StringType())}, {col(0, DoubleType()), col(1, StringType())},
                      JoinType::Inner, nullptr, testCtx());
  EXPECT_EQ(sortedTexts(rowsOf(out)), (std::vector<std::string>{"-0.0|y|0.0|y", "NaN|x|NaN|x"}));
}

TEST(HashJoin, RandomizedAgainstNestedLoopReference) {
  std::mt19937_64 rng(11);
  std::vector<DataType> t{LongType(), LongType()};
  std::vector<Row> lrows, rrows;
  for (int i = 0; i < 40000; ++i) lrows.push_back({rng() % 30 == 0 ? Value() : Value(static_cast<std::int64_t>(rng() % 5000)), static_cast<std::int64_t>(i)});
  for (int i = 0; i < 9000; ++i) rrows.push_back({static_cast<std::int64_t>(rng() % 6000), static_cast<std::int64_t>(i)});
  auto l = makeParts(t, lrows, {15000, 0, 25000});
  auto r = makeParts(t, rrows, {4000, 5000});
  std::multimap<std::int64_t, std::int64_t> rIndex;
  for (const auto& rr : rrows) rIndex.emplace(rr[0].get<std::int64_t>(), rr[1].get<std::int64_t>());
  std::size_t inner = 0, leftOuter = 0, semi = 0;
  std::set<std::int64_t> matchedRight;
  for (const auto& lr : lrows) {
    if (lr[0].isNull()) {
      ++leftOuter;
      continue;
    }
    auto [a, b] = rIndex.equal_range(lr[0].get<std::int64_t>());
    std::size_t m = static_cast<std::size_t>(std::distance(a, b));
    inner += m;
    leftOuter += std::max<std::size_t>(m, 1);
    semi += m > 0;
    for (auto it = a; it != b; ++it) matchedRight.insert(it->second);
  }
  std::vector<BoundExprPtr> k{col(0, LongType())};
  auto ctx = testCtx();
  EXPECT_EQ(totalRows(hashJoin(l, r, t, t, k, k, JoinType::Inner, nullptr, ctx)), inner);
  EXPECT_EQ(totalRows(hashJoin(l, r, t, t, k, k, JoinType::LeftOuter, nullptr, ctx)), leftOuter);
  EXPECT_EQ(totalRows(hashJoin(l, r, t, t, k, k, JoinType::LeftSemi, nullptr, ctx)), semi);
  EXPECT_EQ(totalRows(hashJoin(l, r, t, t, k, k, JoinType::LeftAnti, nullptr, ctx)), lrows.size() - semi);
  EXPECT_EQ(totalRows(hashJoin(l, r, t, t, k, k, JoinType::FullOuter, nullptr, ctx)),
            leftOuter + rrows.size() - matchedRight.size());
  // Pairs are exactly right: the inner join's (left id, right id) set equals the reference.
  auto joined = rowsOf(hashJoin(l, r, t, t, k, k, JoinType::Inner, nullptr, ctx));
  std::int64_t checksum = 0, expect = 0;
  for (const auto& row : joined) {
    EXPECT_EQ(row[0].get<std::int64_t>(), row[2].get<std::int64_t>());
    checksum += row[1].get<std::int64_t>() * 7919 + row[3].get<std::int64_t>();
  }
  for (const auto& lr : lrows) {
    if (lr[0].isNull()) continue;
    auto [a, b] = rIndex.equal_range(lr[0].get<std::int64_t>());
    for (auto it = a; it != b; ++it) expect += lr[1].get<std::int64_t>() * 7919 + it->second;
  }
  EXPECT_EQ(checksum, expect);
}

// ---- Sorting --------------------------------------------------------------------------------------

TEST(SortPartitions, SparkOrderingWithNullsNaNAndStability) {
  std::vector<DataType> t{DoubleType(), StringType(), IntegerType()};
  std::vector<Row> rows{{1.0, "b", 0},  {kNaN, "a", 1},    {Value(), "c", 2}, {-0.0, "a", 3}, {0.0, "a", 4},
                        {-5.0, Value(), 5}, {kNaN, "b", 6}, {1.0, "a", 7},   {Value(), "a", 8}};
  auto input = makeParts(t, rows, {4, 0, 5});
  auto ids = [&](const std::vector<SortKey>& keys) {
    std::vector<int> out;
    for (const auto& r : rowsOf(sortPartitions(input, t, keys, testCtx()))) out.push_back(r[2].get<std::int32_t>());
    return out;
  };
  auto d = col(0, DoubleType());
  auto s = col(1, StringType());
  // Ascending, nulls first; -0.0 and 0.0 tie and keep input order; NaN last.
  EXPECT_EQ(ids({{d, true, true}}), (std::vector<int>{2, 8, 5, 3, 4, 0, 7, 1, 6}));
  // Descending, nulls last.
  EXPECT_EQ(ids({{d, false, false}}), (std::vector<int>{1, 6, 0, 7, 3, 4, 5, 2, 8}));
  // Two keys: string desc nulls first, then double asc nulls last.
  EXPECT_EQ(ids({{s, false, true}, {d, true, false}}), (std::vector<int>{5, 2, 0, 6, 3, 4, 7, 1, 8}));
}

TEST(SortPartitions, RandomizedAgainstStableSort) {
  std::mt19937_64 rng(3);
  std::vector<DataType> t{IntegerType(), DecimalType(20, 2), StringType(), LongType()};
  std::vector<Row> rows;
  for (std::int64_t i = 0; i < 50000; ++i) {
    Value a = rng() % 20 == 0 ? Value() : Value(static_cast<int>(rng() % 50) - 25);
    Decimal dec;
    dec.precision = 20;
    dec.scale = 2;
    dec.unscaled = static_cast<int128_t>(static_cast<std::int64_t>(rng() % 2000) - 1000) * 1000000000000LL;
    Value s = std::string(1, static_cast<char>('a' + rng() % 3)) + std::to_string(rng() % 3);
    rows.push_back({a, dec, s, i});
  }
  auto input = makeParts(t, rows, {20000, 0, 30000});
  // Reference: std::stable_sort with an explicit comparator (int asc nulls last, decimal desc, string asc).
  std::vector<Row> expect = rows;
  std::stable_sort(expect.begin(), expect.end(), [](const Row& x, const Row& y) {
    if (x[0].isNull() != y[0].isNull()) return y[0].isNull();
    if (!x[0].isNull() && x[0].get<std::int32_t>() != y[0].get<std::int32_t>())
      return x[0].get<std::int32_t>() < y[0].get<std::int32_t>();
    if (x[1].get<Decimal>().unscaled != y[1].get<Decimal>().unscaled)
      return x[1].get<Decimal>().unscaled > y[1].get<Decimal>().unscaled;
    return x[2].str() < y[2].str();
  });
  auto out = sortPartitions(input, t,
                            {{col(0, t[0]), true, false}, {col(1, t[1]), false, false}, {col(2, t[2]), true, true}},
                            testCtx());
  auto got = rowsOf(out);
  ASSERT_EQ(got.size(), expect.size());
  for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i][3], expect[i][3]) << "position " << i;
}

TEST(SortPartitions, FixedWidthKeysAgainstStableSort) {
  // Keys held in inline words (numbers, dates), sorted by radix passes when few of their bits vary and by
  // comparison otherwise: both must give Spark's order with ties in input order.
  std::mt19937_64 rng(11);
  std::vector<DataType> t{DoubleType(), LongType(), DateType(), LongType()};
  const double specials[] = {kNaN, -0.0, 0.0, 1.5, -1.5, std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()};
  std::vector<Row> rows;
  for (std::int64_t i = 0; i < 60000; ++i) {
    Value d = rng() % 25 == 0 ? Value() : rng() % 3 == 0 ? Value(specials[rng() % 7]) : Value(std::ldexp(static_cast<double>(rng() % 4000) - 2000, -3));
    Value few = Value(static_cast<std::int64_t>(rng() % 7) - 3);
    Value date = Value(Date{static_cast<std::int32_t>(rng() % 30000) - 10000});
    rows.push_back({d, few, date, i});
  }
  auto input = makeParts(t, rows, {25000, 0, 35000});
  auto doubleLess = [](const Value& x, const Value& y) {  // non-null: NaN last, -0.0 equal to 0.0
    const double a = x.get<double>(), b = y.get<double>();
    if (std::isnan(a) || std::isnan(b)) return !std::isnan(a) && std::isnan(b);
    return a < b;
  };
  auto check = [&](const std::vector<SortKey>& keys, auto less) {
    std::vector<Row> expect = rows;
    std::stable_sort(expect.begin(), expect.end(), less);
    auto got = rowsOf(sortPartitions(input, t, keys, testCtx()));
    ASSERT_EQ(got.size(), expect.size());
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i][3], expect[i][3]) << "position " << i;
  };
  {
    SCOPED_TRACE("one long key, seven values");
    check({{col(1, t[1]), true, true}},
          [](const Row& x, const Row& y) { return x[1].get<std::int64_t>() < y[1].get<std::int64_t>(); });
  }
  {
    SCOPED_TRACE("double ascending, nulls first");
    check({{col(0, t[0]), true, true}}, [&](const Row& x, const Row& y) {
      if (x[0].isNull() || y[0].isNull()) return x[0].isNull() && !y[0].isNull();
      return doubleLess(x[0], y[0]);
    });
  }
  {
    SCOPED_TRACE("long descending, then double descending nulls last, then date ascending");
    check({{col(1, t[1]), false, true}, {col(0, t[0]), false, false}, {col(2, t[2]), true, true}},
          [&](const Row& x, const Row& y) {
            if (x[1].get<std::int64_t>() != y[1].get<std::int64_t>()) return x[1].get<std::int64_t>() > y[1].get<std::int64_t>();
            if (x[0].isNull() != y[0].isNull()) return y[0].isNull();
            if (!x[0].isNull() && (doubleLess(x[0], y[0]) || doubleLess(y[0], x[0]))) return doubleLess(y[0], x[0]);
            return x[2].get<Date>().days < y[2].get<Date>().days;
          });
  }
}

// ---- Set operations -------------------------------------------------------------------------------

TEST(SetOperations, DeduplicateKeepsFirstRowPerKey) {
  std::vector<DataType> t{StringType(), DoubleType(), IntegerType()};
  std::vector<Row> rows{{"a", 0.0, 1}, {"a", -0.0, 2}, {Value(), kNaN, 3}, {"b", 1.0, 4}, {Value(), kNaN, 5},
                        {"a", 0.0, 6}};
  auto input = makeParts(t, rows, {2, 0, 4});
  EXPECT_EQ(sortedTexts(rowsOf(deduplicate(input, t, {0, 1}, testCtx()))),
            (std::vector<std::string>{"a|0.0|1", "b|1.0|4", "null|NaN|3"}));
  EXPECT_EQ(sortedTexts(rowsOf(deduplicate(input, t, {0}, testCtx()))),
            (std::vector<std::string>{"a|0.0|1", "b|1.0|4", "null|NaN|3"}));
  EXPECT_EQ(sortedTexts(rowsOf(deduplicate(input, t, {0, 1, 2}, testCtx()))).size(), 6u);
}

TEST(SetOperations, ExceptAllExceptAndIntersect) {
  std::vector<DataType> t{IntegerType(), StringType()};
  auto l = makeParts(t, {{1, "a"}, {1, "a"}, {1, "a"}, {Value(), Value()}, {Value(), Value()}, {2, "b"}, {3, "c"}},
                     {3, 0, 4});
  auto r = makeParts(t, {{1, "a"}, {Value(), Value()}, {3, "c"}, {3, "c"}, {9, "z"}}, {2, 3});
  using V = std::vector<std::string>;
  EXPECT_EQ(sortedTexts(rowsOf(exceptAll(l, r, t, testCtx()))), (V{"1|a", "1|a", "2|b", "null|null"}));
  EXPECT_EQ(sortedTexts(rowsOf(exceptDistinct(l, r, t, testCtx()))), (V{"2|b"}));
  EXPECT_EQ(sortedTexts(rowsOf(intersectDistinct(l, r, t, testCtx()))), (V{"1|a", "3|c", "null|null"}));
  EXPECT_EQ(totalRows(exceptAll(makeParts(t, {}, {0}), r, t, testCtx())), 0u);
}

// ---- Windows --------------------------------------------------------------------------------------

WindowCall wcall(const std::string& name, std::vector<BoundExprPtr> args = {}, bool ignoreNulls = false) {
  WindowCall c;
  c.name = name;
  std::vector<DataType> types;
  for (const auto& a : args) types.push_back(a->type());
  c.resultType = isWindowFunction(name) ? windowResultType(name, types) : aggregateResultType(name, types);
  c.args = std::move(args);
  c.ignoreNulls = ignoreNulls;
  return c;
}

TEST(WindowOp, RankingAndDistributionFunctions) {
  std::vector<DataType> t{StringType(), DoubleType()};
  std::vector<Row> rows{{"g", 3.0}, {"h", 1.0}, {"g", 1.0}, {"g", kNaN}, {"g", 1.0}, {"g", Value()}, {"h", 2.0}};
  auto input = makeParts(t, rows, {3, 0, 4});
  auto out = windowOp(input, t, {col(0, StringType())}, {{col(1, DoubleType()), true, true}}, WindowFrame{},
                      {wcall("row_number"), wcall("rank"), wcall("dense_rank"), wcall("cume_dist"),
                       wcall("percent_rank"), wcall("sum", {col(1, DoubleType())})},
                      testCtx());
  EXPECT_EQ(texts(rowsOf(out)), (std::vector<std::string>{
                                    "g|null|1|1|1|0.2|0.0|null",
                                    "g|1.0|2|2|2|0.6|0.25|2.0",
                                    "g|1.0|3|2|2|0.6|0.25|2.0",
                                    "g|3.0|4|4|3|0.8|0.75|5.0",
                                    "g|NaN|5|5|4|1.0|1.0|NaN",
                                    "h|1.0|1|1|1|0.5|0.0|1.0",
                                    "h|2.0|2|2|2|1.0|1.0|3.0",
                                }));
  EXPECT_EQ(windowResultType("rank", {}), IntegerType());
  EXPECT_THROW(windowOp(input, t, {}, {}, WindowFrame{}, {wcall("rank")}, testCtx()), AnalysisException);
}

TEST(WindowOp, RowFramesAndIgnoreNulls) {
  std::vector<DataType> t{IntegerType(), LongType()};
  std::vector<Row> rows{{1, 10L}, {2, Value()}, {3, 30L}, {4, Value()}, {5, 50L}, {6, 5L}};
  auto input = makeParts(t, rows, {2, 0, 1, 3});
  auto v = col(1, LongType());
  WindowFrame sliding{true, FrameType::Rows, -1, 1};
  auto out = windowOp(input, t, {}, {{col(0, IntegerType()), true, true}}, sliding,
                      {wcall("sum", {v}), wcall("min", {v}), wcall("max", {v}), wcall("count", {v}),
                       wcall("first", {v}), wcall("last", {v}, true), wcall("avg", {v})},
                      testCtx());
  EXPECT_EQ(texts(rowsOf(out)), (std::vector<std::string>{
                                    "1|10|10|10|10|1|10|10|10.0",
                                    "2|null|40|10|30|2|10|30|20.0",
                                    "3|30|30|30|30|1|null|30|30.0",
                                    "4|null|80|30|50|2|30|50|40.0",
                                    "5|50|55|5|50|2|null|5|27.5",
                                    "6|5|55|5|50|2|50|5|27.5",
                                }));
  // Frames reaching the partition end, and a RANGE frame of the current row's peers.
  WindowFrame toEnd{true, FrameType::Rows, 0, Window::unboundedFollowing};
  out = windowOp(input, t, {}, {{col(0, IntegerType()), false, true}}, toEnd,
                 {wcall("min", {v}), wcall("max", {v}), wcall("sum", {v}), wcall("first", {v}, true)}, testCtx());
  EXPECT_EQ(texts(rowsOf(out)), (std::vector<std::string>{"6|5|5|50|95|5", "5|50|10|50|90|50", "4|null|10|30|40|30",
                                                          "3|30|10|30|40|30", "2|null|10|10|10|10",
                                                          "1|10|10|10|10|10"}));
  // Running last non-null without partition or order keeps the arrival order.
  WindowFrame running{true, FrameType::Rows, Window::unboundedPreceding, Window::currentRow};
  out = windowOp(input, t, {}, {}, running, {wcall("last", {v}, true), wcall("count", {v})}, testCtx());
  EXPECT_EQ(texts(rowsOf(out)), (std::vector<std::string>{"1|10|10|1", "2|null|10|1", "3|30|30|2", "4|null|30|2",
                                                          "5|50|50|3", "6|5|5|4"}));
}

TEST(WindowOp, RangeValueOffsetsNearTheKeyLimits) {
  // A bound past the key type's range admits every row on that side instead of wrapping around.
  std::vector<DataType> t{IntegerType(), LongType()};
  const std::int32_t mx = std::numeric_limits<std::int32_t>::max(), mn = std::numeric_limits<std::int32_t>::min();
  std::vector<Row> rows{{mn, 1L}, {mn + 1, 2L}, {mx - 1, 4L}, {mx, 8L}, {Value(), 16L}};
  auto input = makeParts(t, rows, {3, 2});
  auto v = col(1, LongType());
  WindowFrame around{true, FrameType::Range, -2, 2};
  auto out = windowOp(input, t, {}, {{col(0, IntegerType()), true, false}}, around, {wcall("sum", {v})}, testCtx());
  EXPECT_EQ(texts(rowsOf(out)),
            (std::vector<std::string>{"-2147483648|1|3", "-2147483647|2|3", "2147483646|4|12", "2147483647|8|12",
                                      "null|16|16"}));
  // Descending: PRECEDING means larger keys.
  WindowFrame before{true, FrameType::Range, -1, Window::currentRow};
  out = windowOp(input, t, {}, {{col(0, IntegerType()), false, true}}, before, {wcall("count", {v})}, testCtx());
  EXPECT_EQ(texts(rowsOf(out)), (std::vector<std::string>{"null|16|1", "2147483647|8|1", "2147483646|4|2",
                                                          "-2147483647|2|1", "-2147483648|1|2"}));
  EXPECT_THROW(windowOp(input, t, {}, {}, around, {wcall("sum", {v})}, testCtx()), AnalysisException);
  EXPECT_THROW(windowOp(input, t, {}, {{col(0, IntegerType()), true, true}, {v, true, true}}, around,
                        {wcall("sum", {v})}, testCtx()),
               AnalysisException);
}

TEST(WindowOp, WholePartitionAggregatesAnyFunction) {
  std::vector<DataType> t{StringType(), DoubleType()};
  std::vector<Row> rows{{"a", 1.0}, {"b", 4.0}, {"a", 3.0}, {"b", Value()}};
  auto input = makeParts(t, rows, {1, 3});
  auto x = col(1, DoubleType());
  auto out = windowOp(input, t, {col(0, StringType())}, {}, WindowFrame{},
                      {wcall("stddev", {x}), wcall("collect_list", {x}), wcall("count", {one()})}, testCtx());
  EXPECT_EQ(texts(rowsOf(out)), (std::vector<std::string>{"a|1.0|1.4142135623730951|[1.0, 3.0]|2",
                                                          "a|3.0|1.4142135623730951|[1.0, 3.0]|2",
                                                          "b|4.0|null|[4.0]|2", "b|null|null|[4.0]|2"}));
}

// Many rows and no partition keys: chunked scans must carry values across chunk borders.
TEST(WindowOp, PeersOfManyRowsWithFewKeys) {
  // Enough rows for the sort's radix passes; peers and ranks are read from the sorted key words afterwards.
  std::mt19937_64 rng(5);
  std::vector<DataType> t{LongType(), LongType()};
  std::vector<Row> rows;
  std::map<std::int64_t, std::int64_t> counts;
  for (std::int64_t i = 0; i < 50000; ++i) {
    const auto k = static_cast<std::int64_t>(rng() % 7) - 3;
    ++counts[k];
    rows.push_back({k, i});
  }
  auto input = makeParts(t, rows, {20000, 30000});
  auto out = windowOp(input, t, {}, {{col(0, LongType()), true, true}}, WindowFrame{},
                      {wcall("dense_rank"), wcall("cume_dist")}, testCtx());
  std::map<std::int64_t, std::int64_t> atOrBelow;
  std::int64_t running = 0;
  for (const auto& [k, c] : counts) atOrBelow[k] = running += c;
  const auto got = rowsOf(out);
  ASSERT_EQ(got.size(), rows.size());
  for (const Row& r : got) {
    const std::int64_t k = r[0].get<std::int64_t>();
    ASSERT_EQ(r[2].get<std::int32_t>(), k + 4) << "key " << k;
    ASSERT_DOUBLE_EQ(r[3].get<double>(), static_cast<double>(atOrBelow[k]) / 50000.0) << "key " << k;
  }
}

TEST(WindowOp, RandomizedRunningValuesAcrossChunks) {
  std::mt19937_64 rng(5);
  const std::size_t n = 200000;
  std::vector<Row> rows;
  for (std::size_t i = 0; i < n; ++i) {
    Value key = static_cast<int>(rng() % 4);
    Value ord = static_cast<std::int64_t>(rng() % 50000);
    Value v = rng() % 3 == 0 ? Value() : Value(static_cast<std::int64_t>(rng() % 100));
    rows.push_back({key, ord, v});
  }
  std::vector<DataType> t{IntegerType(), LongType(), LongType()};
  auto input = makeParts(t, rows, {70000, 0, 130000});
  auto v = col(2, LongType());
  for (bool partitioned : {false, true}) {
    std::vector<BoundExprPtr> pk;
    if (partitioned) pk.push_back(col(0, IntegerType()));
    auto out = windowOp(input, t, pk, {{col(1, LongType()), true, true}}, WindowFrame{},
                        {wcall("sum", {v}), wcall("rank"), wcall("dense_rank"), wcall("cume_dist"),
                         wcall("last", {v}, true), wcall("max", {v})},
                        testCtx());
    auto got = rowsOf(out);
    ASSERT_EQ(got.size(), n);
    // Reference over the output order (which must be sorted by (key, ord)).
    std::size_t segStart = 0;
    for (std::size_t i = 0; i <= n; ++i) {
      bool newSeg = i == n || (partitioned && got[i][0] != got[segStart][0]);
      if (!newSeg) {
        if (i > segStart) {
          ASSERT_LE(got[i - 1][1].get<std::int64_t>(), got[i][1].get<std::int64_t>());
        }
        continue;
      }
      std::size_t size = i - segStart;
      std::int64_t sum = 0, rank = 1, dense = 0, maxv = -1;
      bool any = false;
      Value lastNonNull;
      for (std::size_t a = segStart; a < i;) {
        std::size_t b = a;
        while (b < i && got[b][1] == got[a][1]) {
          if (!got[b][2].isNull()) {
            lastNonNull = got[b][2];
            sum += got[b][2].get<std::int64_t>();
            maxv = std::max(maxv, got[b][2].get<std::int64_t>());
            any = true;
          }
          ++b;
        }
        ++dense;
        for (std::size_t r = a; r < b; ++r) {
          const Row& row = got[r];
          ASSERT_EQ(row[3], any ? Value(sum) : Value()) << r;
          ASSERT_EQ(row[4].get<std::int32_t>(), rank) << r;
          ASSERT_EQ(row[5].get<std::int32_t>(), dense) << r;
          ASSERT_DOUBLE_EQ(row[6].get<double>(), static_cast<double>(b - segStart) / static_cast<double>(size)) << r;
          ASSERT_EQ(row[7], lastNonNull) << r;
          ASSERT_EQ(row[8], any ? Value(maxv) : Value()) << r;
        }
        rank += static_cast<std::int64_t>(b - a);
        a = b;
      }
      segStart = i;
    }
  }
}

}  // namespace
}  // namespace engine::local
