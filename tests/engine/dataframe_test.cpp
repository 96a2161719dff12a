// End-to-end behaviour of the DataFrame API on the local backend: name resolution and its errors, the
// relational operators with nulls/NaN/empty inputs, partitioning, persistence and sampling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "engine/local/plan/persist_cache.h"
#include "engine/local/plan/planner.h"
#include "engine/engine.h"
#include "engine/udf.h"

using namespace engine;
namespace F = engine::functions;

namespace {

class DataFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    spark = SparkSession::builder().master("local[4]").getOrCreate();
    spark->setConf("spark.master", "local[4]");
  }

  DataFrame people() {
    StructType s({{"id", IntegerType(), false}, {"name", StringType(), true}, {"score", DoubleType(), true}});
    return spark->createDataFrame({Row{1, "ann", 3.5}, Row{2, "bob", Value()}, Row{3, Value(), std::nan("")},
                                   Row{4, "dan", 1.0}, Row{5, "ann", 2.0}},
                                  s);
  }

  DataFrame kv(const std::vector<std::pair<Value, Value>>& rows, const std::string& k = "k",
               const std::string& v = "v") {
    std::vector<Row> r;
    for (const auto& [a, b] : rows) r.push_back(Row{a, b});
    return spark->createDataFrame(r, StructType({{k, IntegerType(), true}, {v, StringType(), true}}));
  }

  std::shared_ptr<SparkSession> spark;
};

// Rows as text, sorted, for order-insensitive comparisons.
std::vector<std::string> sortedRows(const DataFrame& df) {
  std::vector<std::string> out;
  for (const auto& r : df.collect()) {
    std::string s;
    for (std::size_t i = 0; i < r.size(); ++i) s += (i ? "," : "") + r[i].toString();
    out.push_back(s);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> orderedRows(const DataFrame& df) {
  std::vector<std::string> out;
  for (const auto& r : df.collect()) {
    std::string s;
    for (std::size_t i = 0; i < r.size(); ++i) s += (i ? "," : "") + r[i].toString();
    out.push_back(s);
  }
  return out;
}

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

using Strings = std::vector<std::string>;

}  // namespace

// ---- names -------------------------------------------------------------------------------------

TEST_F(DataFrameTest, SelectNamesFollowSpark) {
  DataFrame df = people();
  // Case-insensitive resolution keeps the name as written; expressions are named by their text.
  DataFrame s = df.select(F::col("NAME"), F::col("id") + 1, (F::col("score") * 2).alias("double"));
  EXPECT_EQ(s.columns(), (Strings{"NAME", "(id + 1)", "double"}));
  EXPECT_EQ(s.schema()[1].dataType, IntegerType());
  EXPECT_EQ(df.alias("t").select(F::col("t.id") + 1).columns(), Strings{"(id + 1)"});
  EXPECT_EQ(df.select(F::col("*")).columns(), (Strings{"id", "name", "score"}));
  EXPECT_EQ(df.alias("t").select(F::col("t.*")).columns(), (Strings{"id", "name", "score"}));
  EXPECT_EQ(sortedRows(df.select((F::col("id") * 10).alias("x")).filter(F::col("x") > 30)), (Strings{"40", "50"}));
}

TEST_F(DataFrameTest, UnknownColumnListsClosestColumns) {
  std::string err = errorOf([&] { people().select("nam").columns(); });
  EXPECT_NE(err.find("[UNRESOLVED_COLUMN.WITH_SUGGESTION] A column, variable, or function parameter with name `nam` "
                     "cannot be resolved. Did you mean one of the following? [`name`, `id`, `score`]."),
            std::string::npos)
      << err;
  StructType wide({{"alpha", IntegerType()}, {"beta", IntegerType()}, {"gamma", IntegerType()}, {"delta", IntegerType()},
                   {"eps", IntegerType()}, {"zeta", IntegerType()}, {"eta", IntegerType()}});
  DataFrame w = spark->createDataFrame({Row{1, 2, 3, 4, 5, 6, 7}}, wide);
  // Spark's five closest by edit distance from the quoted name (ties in column order).
  err = errorOf([&] { w.filter(F::col("zeta2") > 1).count(); });
  EXPECT_NE(err.find("[`zeta`, `eta`, `beta`, `delta`, `eps`]."), std::string::npos) << err;
  err = errorOf([&] { w.alias("t").select("t.zzz").columns(); });
  EXPECT_NE(err.find("`t`.`zzz` cannot be resolved"), std::string::npos) << err;
  EXPECT_NE(err.find("[`t`.`eps`, `t`.`zeta`, `t`.`eta`, `t`.`beta`, `t`.`alpha`]."), std::string::npos) << err;
}

TEST_F(DataFrameTest, AmbiguousAndFrameBoundColumns) {
  DataFrame a = kv({{1, "a1"}, {2, "a2"}});
  DataFrame b = kv({{1, "b1"}, {3, "b3"}});
  DataFrame j = a.join(b, a["k"] == b["k"]);
  EXPECT_EQ(j.columns(), (Strings{"k", "v", "k", "v"}));
  std::string err = errorOf([&] { j.select("v").columns(); });
  EXPECT_NE(err.find("[AMBIGUOUS_REFERENCE] Reference `v` is ambiguous, could be: [`v`, `v`]."), std::string::npos)
      << err;
  err = errorOf([&] { a.alias("a").join(b.alias("b"), "k").select("v").columns(); });
  EXPECT_NE(err.find("could be: [`a`.`v`, `b`.`v`]."), std::string::npos) << err;
  // Frame-bound columns pick their side.
  EXPECT_EQ(orderedRows(j.select(b["v"], a["v"])), (Strings{"b1,a1"}));
  EXPECT_EQ(orderedRows(a.alias("x").join(b.alias("y"), F::col("x.k") == F::col("y.k")).select("y.v")),
            Strings{"b1"});
  // A column of an unrelated frame is rejected.
  err = errorOf([&] { a.select(b["v"]).columns(); });
  EXPECT_NE(err.find("[CANNOT_RESOLVE_DATAFRAME_COLUMN]"), std::string::npos) << err;
  // Joining a frame with an aggregate of itself: both sides carry the same columns.
  DataFrame counts = a.groupBy("k").count();
  DataFrame self = a.join(counts, a["k"] == counts["k"]);
  EXPECT_EQ(self.columns(), (Strings{"k", "v", "k", "count"}));
  EXPECT_EQ(sortedRows(self.select(counts["k"], a["v"], F::col("count"))), (Strings{"1,a1,1", "2,a2,1"}));
  // Self-joins: by name, and with bound columns that pick a side.
  DataFrame twice = a.join(a, "k");
  EXPECT_EQ(twice.columns(), (Strings{"k", "v", "v"}));
  EXPECT_EQ(sortedRows(twice), (Strings{"1,a1,a1", "2,a2,a2"}));
  DataFrame shifted = a.withColumn("k", F::col("k") + 1);
  EXPECT_EQ(orderedRows(a.join(shifted, a["k"] == shifted["k"]).select(a["v"], shifted["v"])), Strings{"a2,a1"});
  // A frame-bound column of an ancestor still resolves after projections.
  DataFrame p = a.withColumn("w", F::col("k") * 2).filter(a["k"] > 1);
  EXPECT_EQ(orderedRows(p.select(a["v"], F::col("w"))), Strings{"a2,4"});
}

// ---- filter / withColumn / drop ----------------------------------------------------------------

TEST_F(DataFrameTest, FilterKeepsOnlyTrueRows) {
  DataFrame df = people();
  EXPECT_EQ(df.filter(F::col("score") > 1.5).count(), 3);  // 3.5, NaN (above every number), 2.0
  EXPECT_EQ(df.filter(F::col("name") == "ann").count(), 2);
  EXPECT_EQ(df.filter("score IS NULL").count(), 1);
  EXPECT_EQ(df.filter(F::col("id") > 100).count(), 0);
  std::string err = errorOf([&] { df.filter(F::col("id") + 1).count(); });
  EXPECT_NE(err.find("[DATATYPE_MISMATCH.FILTER_NOT_BOOLEAN] Cannot resolve \"(id + 1)\" due to data type mismatch: "
                     "Filter expression \"(id + 1)\" of type \"INT\" is not a boolean."),
            std::string::npos)
      << err;
}

TEST_F(DataFrameTest, WithColumnReplacesInPlaceOrAppends) {
  DataFrame df = people();
  DataFrame r = df.withColumn("ID", F::col("id") * 100);
  EXPECT_EQ(r.columns(), (Strings{"ID", "name", "score"}));
  EXPECT_EQ(r.orderBy("ID").first()->values()[0], Value(100));
  DataFrame a = df.withColumn("flag", F::col("score").isNull());
  EXPECT_EQ(a.columns(), (Strings{"id", "name", "score", "flag"}));
  EXPECT_EQ(a.filter(F::col("flag")).count(), 1);
  EXPECT_EQ(df.drop("missing").columns(), (Strings{"id", "name", "score"}));
  EXPECT_EQ(df.drop(std::vector<std::string>{"NAME", "score"}).columns(), Strings{"id"});
  EXPECT_EQ(df.drop(df["score"]).columns(), (Strings{"id", "name"}));
  EXPECT_EQ(df.withColumnRenamed("name", "who").columns(), (Strings{"id", "who", "score"}));
  EXPECT_EQ(df.drop(std::vector<std::string>{"id", "name", "score"}).count(), 5);
}

// ---- aggregation -------------------------------------------------------------------------------

TEST_F(DataFrameTest, GroupByAndGlobalAggregates) {
  DataFrame df = people();
  DataFrame g = df.groupBy("name").count();
  EXPECT_EQ(g.columns(), (Strings{"name", "count"}));
  EXPECT_EQ(g.schema()[1].dataType, LongType());
  // Null keys form one group.
  EXPECT_EQ(sortedRows(g), (Strings{"ann,2", "bob,1", "dan,1", "null,1"}));
  DataFrame m = df.groupBy(F::col("id") % 2).agg(F::sum("id"), F::max("name"));
  EXPECT_EQ(m.columns(), (Strings{"(id % 2)", "sum(id)", "max(name)"}));
  EXPECT_EQ(sortedRows(m), (Strings{"0,6,dan", "1,9,ann"}));
  // An expression over grouping keys and aggregates.
  DataFrame e = df.groupBy("name").agg((F::count("*") * 10 + F::max("id")).alias("x"));
  EXPECT_EQ(sortedRows(e.select("x")), (Strings{"12", "13", "14", "25"}));
  // Aggregates in a select without groupBy are a global aggregate, one row even on empty input.
  DataFrame avg = df.select(F::avg("id"), F::count("score"));
  EXPECT_EQ(avg.columns(), (Strings{"avg(id)", "count(score)"}));
  EXPECT_EQ(orderedRows(avg), Strings{"3.0,4"});
  DataFrame none = df.filter(F::col("id") < 0);
  EXPECT_EQ(none.count(), 0);
  EXPECT_EQ(orderedRows(none.select(F::sum("id"), F::count("*"))), Strings{"null,0"});
  EXPECT_EQ(none.groupBy("name").count().count(), 0);

  // A filter over an aggregate may use aggregates the select list does not compute.
  DataFrame having = df.groupBy("name").count().filter(F::max("id") > 4);
  EXPECT_EQ(having.columns(), (Strings{"name", "count"}));
  EXPECT_EQ(sortedRows(having), Strings{"ann,2"});

  std::string err = errorOf([&] { df.groupBy("name").agg(F::col("id")).columns(); });
  EXPECT_NE(err.find("[MISSING_AGGREGATION] The non-aggregating expression \"id\" is based on columns which are not "
                     "participating in the GROUP BY clause."),
            std::string::npos)
      << err;
  err = errorOf([&] { df.select(F::avg("id"), F::col("name")).columns(); });
  EXPECT_NE(err.find("[MISSING_GROUP_BY]"), std::string::npos) << err;
}

// ---- joins -------------------------------------------------------------------------------------

TEST_F(DataFrameTest, JoinByNamesOrdersColumnsLikeSpark) {
  StructType ls({{"k", IntegerType()}, {"a", StringType()}});
  StructType rs({{"b", StringType()}, {"k", LongType()}});
  DataFrame l = spark->createDataFrame({Row{1, "l1"}, Row{2, "l2"}, Row{Value(), "lnull"}}, ls);
  DataFrame r = spark->createDataFrame({Row{"r1", 1L}, Row{"r3", 3L}, Row{"rnull", Value()}}, rs);
  DataFrame inner = l.join(r, "k");
  EXPECT_EQ(inner.columns(), (Strings{"k", "a", "b"}));
  EXPECT_EQ(sortedRows(inner), Strings{"1,l1,r1"});  // null keys never match
  EXPECT_EQ(sortedRows(l.join(r, "k", "left")), (Strings{"1,l1,r1", "2,l2,null", "null,lnull,null"}));
  EXPECT_EQ(sortedRows(l.join(r, "k", "right")), (Strings{"1,l1,r1", "3,null,r3", "null,null,rnull"}));
  DataFrame full = l.join(r, "k", "full");
  EXPECT_EQ(full.schema()[0].dataType, LongType());  // int and bigint keys meet at bigint
  EXPECT_EQ(sortedRows(full),
            (Strings{"1,l1,r1", "2,l2,null", "3,null,r3", "null,lnull,null", "null,null,rnull"}));
  EXPECT_EQ(sortedRows(l.join(r, "k", "left_semi")), Strings{"1,l1"});
  EXPECT_EQ(sortedRows(l.join(r, "k", "anti")), (Strings{"2,l2", "null,lnull"}));
  std::string err = errorOf([&] { l.join(r, "zz").columns(); });
  EXPECT_NE(err.find("USING column `zz` cannot be resolved on the left side"), std::string::npos) << err;
}

TEST_F(DataFrameTest, JoinByConditionSplitsKeysAndResidual) {
  DataFrame a = kv({{1, "x"}, {2, "y"}, {3, "z"}, {Value(), "n"}});
  DataFrame b = kv({{1, "x"}, {2, "q"}, {3, "z"}, {Value(), "n"}}, "k2", "v2");
  // Equi-key plus a residual comparing both sides.
  DataFrame j = a.join(b, (a["k"] == b["k2"]) & (a["v"] != b["v2"]));
  EXPECT_EQ(sortedRows(j), Strings{"2,y,2,q"});
  // Non-equi condition only: nested loop.
  EXPECT_EQ(a.join(b, a["k"] < b["k2"]).count(), 3);
  EXPECT_EQ(a.crossJoin(b).count(), 16);
  EXPECT_EQ(sortedRows(a.join(b, a["k"] == b["k2"], "left_anti")), Strings{"null,n"});
  DataFrame full = a.join(b, a["k"] == b["k2"], "full");
  EXPECT_EQ(full.count(), 5);  // the two null keys stay apart, each null-extended
  EXPECT_EQ(sortedRows(full.filter(F::col("k").isNull() | F::col("k2").isNull())),
            (Strings{"null,n,null,null", "null,null,null,n"}));
}

// ---- set operations ----------------------------------------------------------------------------

TEST_F(DataFrameTest, UnionByPositionWidensTypes) {
  DataFrame ints = spark->createDataFrame({Row{1, 10}}, StructType({{"a", IntegerType()}, {"b", IntegerType()}}));
  DataFrame mixed =
      spark->createDataFrame({Row{2.5, "s"}}, StructType({{"x", DoubleType()}, {"y", StringType()}}));
  DataFrame u = ints.union_(mixed);
  EXPECT_EQ(u.columns(), (Strings{"a", "b"}));
  EXPECT_EQ(u.schema()[0].dataType, DoubleType());
  EXPECT_EQ(u.schema()[1].dataType, StringType());
  EXPECT_EQ(sortedRows(u), (Strings{"1.0,10", "2.5,s"}));
  EXPECT_EQ(u.rdd().getNumPartitions(), 8);  // union keeps every input partition
  std::string err = errorOf([&] { ints.union_(ints.select("a")).columns(); });
  EXPECT_NE(err.find("[NUM_COLUMNS_MISMATCH] UNION can only be performed on inputs with the same number of columns, "
                     "but the first input has 2 columns and the second input has 1 columns."),
            std::string::npos)
      << err;
  DataFrame swapped = spark->createDataFrame({Row{20, 2}}, StructType({{"B", IntegerType()}, {"a", IntegerType()}}));
  EXPECT_EQ(sortedRows(ints.unionByName(swapped)), (Strings{"1,10", "2,20"}));
  err = errorOf([&] { ints.unionByName(mixed).columns(); });
  EXPECT_NE(err.find("Cannot resolve column name \"a\" among (x, y)."), std::string::npos) << err;
}

TEST_F(DataFrameTest, ExceptIntersectAndDistinctUseMultisets) {
  DataFrame l = kv({{1, "a"}, {1, "a"}, {1, "a"}, {2, "b"}, {Value(), Value()}, {Value(), Value()}});
  DataFrame r = kv({{1, "a"}, {Value(), Value()}, {3, "c"}});
  EXPECT_EQ(sortedRows(l.exceptAll(r)), (Strings{"1,a", "1,a", "2,b", "null,null"}));
  EXPECT_EQ(sortedRows(l.subtract(r)), Strings{"2,b"});
  EXPECT_EQ(sortedRows(l.intersect(r)), (Strings{"1,a", "null,null"}));
  EXPECT_EQ(sortedRows(l.distinct()), (Strings{"1,a", "2,b", "null,null"}));
  EXPECT_EQ(l.dropDuplicates(Strings{"v"}).count(), 3);
  std::string err = errorOf([&] { l.dropDuplicates(Strings{"zz"}).count(); });
  EXPECT_NE(err.find("Cannot resolve column name \"zz\" among (k, v)."), std::string::npos) << err;
}

// ---- ordering and limits -----------------------------------------------------------------------

TEST_F(DataFrameTest, OrderByPlacesNullsAndNaNLikeSpark) {
  DataFrame df = people();
  EXPECT_EQ(orderedRows(df.orderBy("score").select("id")), (Strings{"2", "4", "5", "1", "3"}));
  EXPECT_EQ(orderedRows(df.orderBy(F::col("score").desc()).select("id")), (Strings{"3", "1", "5", "4", "2"}));
  EXPECT_EQ(orderedRows(df.orderBy(F::col("score").asc_nulls_last()).select("id")),
            (Strings{"4", "5", "1", "3", "2"}));
  EXPECT_EQ(orderedRows(df.orderBy(F::col("name").desc(), F::col("id").desc()).select("id")),
            (Strings{"4", "2", "5", "1", "3"}));
  // Sorting by a column the projection dropped.
  EXPECT_EQ(orderedRows(df.select("id").orderBy(F::col("score").desc_nulls_first())),
            (Strings{"2", "3", "1", "5", "4"}));
  EXPECT_EQ(orderedRows(df.orderBy(F::col("id").desc()).limit(2).select("id")), (Strings{"5", "4"}));
  EXPECT_EQ(df.limit(0).count(), 0);
  EXPECT_EQ(df.limit(100).count(), 5);
  EXPECT_EQ(df.limit(3).rdd().getNumPartitions(), 1);
  EXPECT_EQ(df.orderBy("id").first()->values()[0], Value(1));
  EXPECT_EQ(df.take(2).size(), 2u);
  EXPECT_TRUE(df.filter(F::col("id") > 9).isEmpty());
  EXPECT_FALSE(df.filter(F::col("id") > 4).isEmpty());
}

// ---- partitions, persistence, sampling ---------------------------------------------------------

TEST_F(DataFrameTest, PartitionCountsAndCoalesce) {
  DataFrame df = people();
  EXPECT_EQ(spark->defaultParallelism(), 4);
  EXPECT_EQ(df.rdd().getNumPartitions(), 4);
  DataFrame empty = spark->createDataFrame(std::vector<Row>{}, StructType({{"x", IntegerType()}}));
  EXPECT_EQ(empty.rdd().getNumPartitions(), 4);
  EXPECT_EQ(empty.count(), 0);
  EXPECT_EQ(df.coalesce(2).rdd().getNumPartitions(), 2);
  EXPECT_EQ(df.coalesce(100).rdd().getNumPartitions(), 4);
  EXPECT_EQ(df.coalesce(1).count(), 5);
  EXPECT_EQ(sortedRows(df.coalesce(3)), sortedRows(df));
  EXPECT_EQ(df.repartition(7).rdd().getNumPartitions(), 7);
  EXPECT_EQ(sortedRows(df.repartition(7)), sortedRows(df));
  std::string err = errorOf([&] { df.coalesce(0); });
  EXPECT_NE(err.find("Number of partitions (0) must be positive."), std::string::npos) << err;
  DataFrame r = spark->range(0, 10, 1, 3);
  EXPECT_EQ(r.rdd().getNumPartitions(), 3);
  EXPECT_EQ(r.columns(), Strings{"id"});
  EXPECT_EQ(r.schema()[0].dataType, LongType());
  EXPECT_EQ(orderedRows(r.filter(F::col("id") % 4 == 0)), (Strings{"0", "4", "8"}));
  EXPECT_EQ(spark->range(10, 0, -3).count(), 4);
  EXPECT_EQ(spark->range(5).rdd().getNumPartitions(), 4);
  spark->setConf("spark.master", "local[3]");
  EXPECT_EQ(spark->defaultParallelism(), 3);
  EXPECT_EQ(people().rdd().getNumPartitions(), 3);
}

TEST_F(DataFrameTest, InMemoryTablesAreReadInPlaceAndCutIntoPartitions) {
  // 1,001 rows over 4 partitions: boundaries fall inside validity words.
  std::vector<Value> ids, scores, names;
  for (int i = 0; i < 1001; ++i) {
    ids.push_back(Value(i));
    scores.push_back(i % 3 == 0 ? Value() : Value(i / 2.0));
    names.push_back(i % 10 == 0 ? Value() : Value("n" + std::to_string(i % 4)));
  }
  StructType schema({{"id", IntegerType(), false}, {"score", DoubleType(), true}, {"name", StringType(), true}});
  LocalTable table(schema,
                   {Vector::fromValues(IntegerType(), ids), Vector::fromValues(DoubleType(), scores),
                    Vector::fromValues(StringType(), names)},
                   1001);
  DataFrame df = spark->createDataFrame(table);
  // The table itself comes back, and so do its columns picked or renamed: no copy.
  LocalTable whole = df.toPandas();
  for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(whole.columnPtr(c).get(), table.columnPtr(c).get());
  LocalTable picked = df.selectExpr({"name", "id AS key"}).toPandas();
  EXPECT_EQ(picked.columns(), (Strings{"name", "key"}));
  EXPECT_EQ(picked.columnPtr(0).get(), table.columnPtr(2).get());
  EXPECT_EQ(picked.columnPtr(1).get(), table.columnPtr(0).get());
  // Work on rows runs over the partitions, each holding its slice of every column it reads.
  EXPECT_EQ(df.rdd().getNumPartitions(), 4);
  EXPECT_EQ(df.count(), 1001);
  EXPECT_EQ(df.filter(F::col("score").isNull()).count(), 334);
  EXPECT_EQ(df.filter(F::col("name").isNull()).count(), 101);
  EXPECT_EQ(df.groupBy("name").count().count(), 5);
  LocalTable parts = df.selectExpr({"spark_partition_id() AS p", "id", "score", "name"}).toPandas();
  ASSERT_EQ(parts.numRows(), 1001u);
  for (std::size_t i = 0, p = 0; i < 1001; ++i) {
    while (1001 * (p + 1) / 4 <= i) ++p;  // partition p holds rows [n*p/4, n*(p+1)/4), as Spark cuts them
    ASSERT_EQ(parts.at(i, 0), Value(static_cast<int>(p))) << i;
    ASSERT_EQ(parts.at(i, 1), ids[i]);
    ASSERT_EQ(parts.at(i, 2), scores[i]) << i;
    ASSERT_EQ(parts.at(i, 3), names[i]) << i;
  }
}

TEST_F(DataFrameTest, PersistComputesOnce) {
  DataFrame base = people().withColumn("x", F::col("id") * 2);
  DataFrame cached = base.persist();
  ASSERT_TRUE(cached.isPersisted());
  const auto& slot = static_cast<const PersistPlan&>(*cached.plan()).slot;
  EXPECT_FALSE(slot->filled);
  std::uint64_t jobs = spark->backend().jobCount();
  EXPECT_EQ(cached.count(), 5);
  EXPECT_EQ(spark->backend().jobCount(), jobs + 1);
  EXPECT_TRUE(slot->filled);
  EXPECT_EQ(totalRows(*slot->data), 5u);
  // Later actions read the slot: replace what it holds and the answers follow it, not the source.
  {
    std::lock_guard<std::mutex> lock(slot->mutex);
    slot->data = std::make_shared<const Partitions>(Partitions{sliceRows((*slot->data)[0], 0, 0)});
  }
  EXPECT_EQ(cached.filter(F::col("x") > 0).count(), 0);
  EXPECT_EQ(spark->backend().jobCount(), jobs + 2);
  EXPECT_EQ(base.count(), 5);
  DataFrame again = cached.unpersist();
  EXPECT_EQ(again.count(), 5);
}

TEST_F(DataFrameTest, QueriesOfAWidePersistedFrameCostTheColumnsTheyRead) {
  // Column slots handed between operators by queries reading one or two columns of a persisted frame of
  // `width` columns (c0 = id, ck = id * k, in three partitions), with their answers.
  auto measure = [&](int width) {
    std::vector<std::string> exprs;
    for (int k = 0; k < width; ++k) exprs.push_back("id * " + std::to_string(k) + " AS c" + std::to_string(k));
    DataFrame wide = spark->range(0, 30, 1, 3).selectExpr(exprs).persist();
    EXPECT_EQ(wide.count(), 30);  // fills the cache
    // An aggregate straight over the kept frame still takes a batch with a slot per column of the frame (a
    // pointer each, nothing copied), so it stays out of the count below.
    EXPECT_EQ(wide.select(F::max("c3")).first()->values().at(0), Value(std::int64_t{87}));
    const std::uint64_t before = local::columnSlotsProduced();
    EXPECT_EQ(wide.select("c7").count(), 30);
    EXPECT_EQ(wide.select("c1").distinct().count(), 30);
    // A filter before the projection copies only what the projection reads, and the rows it keeps.
    std::vector<Row> rows = wide.filter(F::col("c1") >= 27).select("c2", "c5").orderBy("c2").collect();
    EXPECT_EQ(rows.size(), 3u);
    if (rows.size() == 3) {
      EXPECT_EQ(rows[2].values(), (std::vector<Value>{Value(std::int64_t{58}), Value(std::int64_t{145})}));
    }
    // A filter that keeps every row hands on the frame's own columns.
    EXPECT_EQ(wide.filter(F::col("c1") >= 0).select("c4").agg({F::sum("c4")}).first()->values().at(0),
              Value(std::int64_t{1740}));
    EXPECT_EQ(wide.select("c6").na().drop().groupBy("c6").count().count(), 30);
    return static_cast<double>(local::columnSlotsProduced() - before);
  };
  const double narrow = measure(100), wide = measure(400);
  ASSERT_GT(narrow, 0);
  // The same queries over four times the columns: the same work when it follows the columns read.
  EXPECT_LT(wide / narrow, 1.5) << narrow << " then " << wide;
}

TEST_F(DataFrameTest, PersistedFramesBeyondTheBudgetAreDroppedAndRecomputed) {
  DataFrame a = spark->range(200000).selectExpr("id", "id * 2 AS x").persist();
  DataFrame b = spark->range(200000).selectExpr("id", "id * 3 AS x").persist();
  const auto& slotA = static_cast<const PersistPlan&>(*a.plan()).slot;
  const auto& slotB = static_cast<const PersistPlan&>(*b.plan()).slot;
  ASSERT_EQ(a.count(), 200000);
  const std::size_t one = local::persistCacheBytes();
  ASSERT_GT(one, 0u);
  // Room for a little more than one of the two frames.
  local::setPersistCacheBudget(local::persistCacheBytes() + one / 2);
  EXPECT_EQ(b.count(), 200000);
  EXPECT_TRUE(slotB->filled);
  EXPECT_FALSE(slotA->filled);  // the least recently used one went
  EXPECT_LE(local::persistCacheBytes(), local::persistCacheBudget());
  // A dropped frame answers as before, computed again from its plan (and kept again, dropping the other).
  EXPECT_EQ(a.agg({F::sum("x")}).first()->values().at(0), Value(std::int64_t{200000} * 199999));
  EXPECT_TRUE(slotA->filled);
  EXPECT_FALSE(slotB->filled);
  local::setPersistCacheBudget(0);
}

TEST_F(DataFrameTest, AnUnpersistedFrameIsNoLongerCountedAsKept) {
  const std::size_t before = local::persistCacheBytes();
  DataFrame a = spark->range(100000).selectExpr("id", "id * 2 AS x").persist();
  ASSERT_EQ(a.count(), 100000);
  ASSERT_GT(local::persistCacheBytes(), before);
  a.unpersist();
  EXPECT_EQ(local::persistCacheBytes(), before);
}

TEST_F(DataFrameTest, RandomSplitIsDisjointCompleteAndDeterministic) {
  DataFrame df = spark->range(0, 1000).withColumn("v", F::col("id") % 7);
  auto parts = df.randomSplit({0.2, 0.3, 0.5}, 42);
  ASSERT_EQ(parts.size(), 3u);
  std::vector<std::string> all;
  std::size_t total = 0;
  for (const auto& p : parts) {
    auto rows = sortedRows(p);
    total += rows.size();
    all.insert(all.end(), rows.begin(), rows.end());
    EXPECT_GT(rows.size(), 100u);
  }
  EXPECT_EQ(total, 1000u);
  std::set<std::string> unique(all.begin(), all.end());
  EXPECT_EQ(unique.size(), 1000u);
  EXPECT_EQ(sortedRows(parts[1]), sortedRows(df.randomSplit({0.2, 0.3, 0.5}, 42)[1]));
  // The split does not depend on the order rows arrive in within a partition.
  auto reversed = df.orderBy(F::col("id").desc()).coalesce(1).randomSplit({0.5, 0.5}, 7);
  auto forward = df.orderBy("id").coalesce(1).randomSplit({0.5, 0.5}, 7);
  EXPECT_EQ(sortedRows(reversed[0]), sortedRows(forward[0]));
}

TEST_F(DataFrameTest, NaDropCountsNaNAsMissing) {
  StructType s({{"x", DoubleType()}, {"y", DoubleType()}, {"z", StringType()}});
  DataFrame df = spark->createDataFrame({Row{1.0, std::nan(""), "a"}, Row{Value(), 2.0, "b"}, Row{3.0, 4.0, "c"},
                                         Row{Value(), std::nan(""), Value()}},
                                        s);
  EXPECT_EQ(sortedRows(df.na().drop()), Strings{"3.0,4.0,c"});
  EXPECT_EQ(df.na().drop("all").count(), 3);
  EXPECT_EQ(df.na().drop("any", 2).count(), 3);
  EXPECT_EQ(df.dropna("any", std::nullopt, {"x"}).count(), 2);
  std::string err = errorOf([&] { df.dropna("any", std::nullopt, {"w"}).count(); });
  EXPECT_NE(err.find("[UNRESOLVED_COLUMN.WITH_SUGGESTION]"), std::string::npos) << err;
}

// ---- windows and SQL ---------------------------------------------------------------------------

TEST_F(DataFrameTest, WindowExpressionsInSelectAndWithColumn) {
  DataFrame df = people().filter(F::col("name").isNotNull());
  WindowSpec byName = Window::partitionBy({"name"}).orderBy({"id"});
  DataFrame w = df.withColumn("rn", F::call_function("row_number", {}).over(byName))
                    .withColumn("total", F::sum("id").over(Window::partitionBy({"name"})));
  EXPECT_EQ(w.columns(), (Strings{"id", "name", "score", "rn", "total"}));
  EXPECT_EQ(sortedRows(w.select("id", "rn", "total")), (Strings{"1,1,6", "2,1,2", "4,1,4", "5,2,6"}));
  DataFrame s = df.select(F::col("id"), F::max("id").over(Window::partitionBy({"name"})).alias("m"),
                          (F::call_function("row_number", {}).over(byName) * 10).alias("r10"));
  EXPECT_EQ(sortedRows(s), (Strings{"1,5,10", "2,2,10", "4,4,10", "5,5,20"}));
}

TEST_F(DataFrameTest, SqlOverViews) {
  people().createOrReplaceTempView("people");
  DataFrame q = spark->sql("SELECT p.name, count(*) AS n FROM people p WHERE p.id > 1 GROUP BY p.name HAVING count(*) >= 1");
  EXPECT_EQ(q.columns(), (Strings{"name", "n"}));
  EXPECT_EQ(sortedRows(q), (Strings{"ann,1", "bob,1", "dan,1", "null,1"}));
  DataFrame h = spark->sql("SELECT name FROM people GROUP BY name HAVING max(id) > 4");
  EXPECT_EQ(sortedRows(h), Strings{"ann"});
  std::string err = errorOf([&] { spark->sql("SELECT nope FROM people").columns(); });
  EXPECT_NE(err.find("`nope` cannot be resolved"), std::string::npos) << err;
}

TEST_F(DataFrameTest, SessionTimeZoneReachesExpressions) {
  // Epoch second 0 rendered as text in the session time zone, read when the action runs.
  DataFrame ts = spark->range(1).select(F::lit(Value(std::int64_t{0})).cast("timestamp").cast("string").alias("s"));
  spark->setConf("spark.sql.session.timeZone", "America/New_York");
  std::string ny = ts.first()->values()[0].toString();
  spark->setConf("spark.sql.session.timeZone", "UTC");
  std::string utc = ts.first()->values()[0].toString();
  EXPECT_EQ(ny, "1969-12-31 19:00:00");
  EXPECT_EQ(utc, "1970-01-01 00:00:00");
}

TEST_F(DataFrameTest, VectorisedUdfRunsPerPartition) {
  auto twice = F::pandas_udf(
      [](const std::vector<VectorPtr>& cols, std::size_t rows) -> VectorPtr {
        auto out = Vector::make(LongType(), rows);
        const auto* in = cols[0]->data<std::int64_t>();
        for (std::size_t i = 0; i < rows; ++i) out->data<std::int64_t>()[i] = in[i] * 2;
        return out;
      },
      LongType(), "twice");
  DataFrame df = spark->range(0, 100);
  DataFrame d = df.withColumn("d", twice(F::col("id"))).filter(F::col("d") % 3 == 0);
  EXPECT_EQ(d.count(), 34);
  EXPECT_EQ(d.agg({F::sum("d")}).first()->values()[0], Value(std::int64_t{3366}));
}
