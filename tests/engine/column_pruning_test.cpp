// Column pruning through the operators of the local backend: which columns each node of a resolved plan
// fills for its consumer (windows, sorts, joins, aggregates, set operations, de-duplication, samples and
// persisted frames), and that queries whose inputs arrive pruned still give every row and value.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/engine.h"
#include "engine/local/plan/planner.h"

using namespace engine;
namespace F = engine::functions;

namespace {

class ColumnPruningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    spark = SparkSession::builder().master("local[2]").getOrCreate();
    spark->setConf("spark.master", "local[2]");
  }

  // Five columns, a..e, with nulls in c and e; three partitions.
  DataFrame wide() {
    StructType s({{"a", IntegerType(), true},
                  {"b", StringType(), true},
                  {"c", DoubleType(), true},
                  {"d", LongType(), true},
                  {"e", StringType(), true}});
    std::vector<Row> rows;
    for (int i = 0; i < 12; ++i) {
      rows.push_back(Row{i % 4, "b" + std::to_string(i % 3), i % 5 == 0 ? Value() : Value(i * 0.5),
                         static_cast<std::int64_t>(100 - i), i % 2 ? Value() : Value("e" + std::to_string(i))});
    }
    return spark->createDataFrame(rows, s).repartition(3);
  }

  // The column flow of a frame's plan as resolved by the local planner, one line per node.
  std::vector<std::string> flow(const DataFrame& df) {
    std::unordered_map<std::int64_t, local::NodePtr> memo;
    std::function<local::NodePtr(const PlanPtr&)> resolve = [&](const PlanPtr& p) {
      auto it = memo.find(p->id);
      if (it != memo.end()) return it->second;
      local::Planner planner(resolve, 2);
      local::NodePtr n = planner.analyze(p);
      memo.emplace(p->id, n);
      return n;
    };
    std::istringstream in(local::describeColumnFlow(*resolve(df.plan())));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // The lines of the flow naming the given node kind, without indentation.
  std::vector<std::string> nodes(const DataFrame& df, const std::string& kind) {
    std::vector<std::string> out;
    for (const std::string& l : flow(df)) {
      std::string t = l.substr(l.find_first_not_of(' '));
      if (t.rfind(kind + " [", 0) == 0) out.push_back(t);
    }
    return out;
  }

  std::shared_ptr<SparkSession> spark;
};

std::string joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

TEST_F(ColumnPruningTest, OperatorsPassOnlyTheColumnsTheirConsumersRead) {
  DataFrame w = wide();
  // A window reads its order and partition keys and its arguments, and carries what the output keeps.
  DataFrame win = w.select(F::col("a"), F::cume_dist().over(Window::partitionBy({F::col("d")}).orderBy({F::col("c")}))
                                            .alias("cd"));
  EXPECT_EQ(nodes(win, "LocalRelation"), std::vector<std::string>{"LocalRelation [a, c, d]"}) << joined(flow(win));

  // A window whose values nothing reads is not computed and reads nothing of its own.
  DataFrame unused = w.withColumn("r", F::row_number().over(Window::orderBy({F::col("e")}))).select("b");
  EXPECT_EQ(nodes(unused, "LocalRelation"), std::vector<std::string>{"LocalRelation [b]"}) << joined(flow(unused));
  EXPECT_EQ(nodes(unused, "Window"), std::vector<std::string>{"Window [b]"});

  // A sort reads its keys and the columns above it read, and hands up only the latter.
  DataFrame sorted = w.orderBy(F::col("c")).select("a");
  EXPECT_EQ(nodes(sorted, "Sort"), std::vector<std::string>{"Sort [a]"}) << joined(flow(sorted));
  EXPECT_EQ(nodes(sorted, "Repartition"), std::vector<std::string>{"Repartition [a, c]"});
  EXPECT_EQ(nodes(sorted, "LocalRelation"), std::vector<std::string>{"LocalRelation [a, c]"});

  // An aggregate reads its keys and arguments only, whatever its consumer reads.
  DataFrame agg = w.groupBy("a").agg(F::sum(F::col("d")).alias("s")).select("a");
  EXPECT_EQ(nodes(agg, "LocalRelation"), std::vector<std::string>{"LocalRelation [a, d]"}) << joined(flow(agg));

  // A join reads its keys on both sides, its condition's columns and what its consumer reads.
  DataFrame right = w.select(F::col("a").alias("k"), F::col("b").alias("rb"), F::col("e").alias("re"));
  DataFrame j = w.join(right, (w["a"] == right["k"]) & (w["d"] > F::lit(90)), "left").select(w["b"], right["rb"]);
  EXPECT_EQ(nodes(j, "Join"), std::vector<std::string>{"Join [b, rb]"}) << joined(flow(j));
  EXPECT_EQ(nodes(j, "LocalRelation"), (std::vector<std::string>{"LocalRelation [a, b, d]", "LocalRelation [a, b]"}))
      << joined(flow(j));
  DataFrame semi = w.join(right, w["a"] == right["k"], "left_semi").select("c");
  EXPECT_EQ(nodes(semi, "LocalRelation"), (std::vector<std::string>{"LocalRelation [a, c]", "LocalRelation [a]"}))
      << joined(flow(semi));

  // A union of all rows passes the consumer's columns to both sides; a distinct union compares whole rows.
  DataFrame u = w.union_(w.select("a", "b", "c", "d", "e")).select("d");
  EXPECT_EQ(nodes(u, "LocalRelation"), (std::vector<std::string>{"LocalRelation [d]", "LocalRelation [d]"}))
      << joined(flow(u));
  DataFrame ud = w.union_(w).distinct().select("d");
  EXPECT_EQ(nodes(ud, "LocalRelation"),
            (std::vector<std::string>{"LocalRelation [a, b, c, d, e]", "LocalRelation [a, b, c, d, e]"}))
      << joined(flow(ud));
  DataFrame ex = w.subtract(w.limit(3)).select("a");
  EXPECT_EQ(nodes(ex, "LocalRelation").front(), "LocalRelation [a, b, c, d, e]") << joined(flow(ex));

  // De-duplication keeps its keys; na.drop the columns it inspects; limits, offsets and repartitions pass on.
  DataFrame dd = w.dropDuplicates(std::vector<std::string>{"b"}).select("e");
  EXPECT_EQ(nodes(dd, "LocalRelation"), std::vector<std::string>{"LocalRelation [b, e]"}) << joined(flow(dd));
  DataFrame na = w.dropna("any", std::nullopt, {"c"}).limit(5).offset(1).coalesce(1).select("a");
  EXPECT_EQ(nodes(na, "LocalRelation"), std::vector<std::string>{"LocalRelation [a, c]"}) << joined(flow(na));
}

TEST_F(ColumnPruningTest, PersistedFramesAndSamples) {
  // A persisted frame is kept whole but hands its consumer only the columns it reads.
  DataFrame p = wide().persist();
  DataFrame q = p.orderBy(F::col("d")).select("b");
  EXPECT_EQ(nodes(q, "Persist"), std::vector<std::string>{"Persist [b, d]"}) << joined(flow(q));
  EXPECT_EQ(nodes(q, "LocalRelation"), std::vector<std::string>{"LocalRelation [a, b, c, d, e]"});

  // randomSplit sorts each partition by every column before drawing: all of them decide the rows.
  std::vector<DataFrame> parts = p.randomSplit({0.5, 0.5}, 7);
  DataFrame s = parts[0].select("a");
  EXPECT_EQ(nodes(s, "Persist"), std::vector<std::string>{"Persist [a, b, c, d, e]"}) << joined(flow(s));

  // The pruned queries give the same rows as the whole frame does.
  std::vector<Row> got = q.collect();
  std::vector<Row> whole = wide().orderBy(F::col("d")).collect();
  ASSERT_EQ(got.size(), whole.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].values()[0], whole[i].values()[1]) << i;
  EXPECT_EQ(parts[0].select("a").count() + parts[1].select("a").count(), 12);
  EXPECT_EQ(parts[0].collect().size(), static_cast<std::size_t>(parts[0].select("a").count()));
}

TEST_F(ColumnPruningTest, PrunedInputsGiveEveryRowAndValue) {
  DataFrame w = wide();
  DataFrame right = w.select(F::col("a").alias("k"), F::col("e").alias("re")).filter(F::col("k") < F::lit(2));

  // Full outer join with two columns read: the same pairs as the whole joined rows projected afterwards,
  // unmatched rows of both sides included.
  DataFrame left = w.select(F::col("a"), F::col("d")).filter(F::col("d") > F::lit(94));
  DataFrame fullJoin = left.join(right.distinct(), F::col("a") == F::col("k"), "full");
  std::vector<std::string> pruned, whole;
  for (const Row& r : fullJoin.select(F::col("d"), F::col("re")).collect()) pruned.push_back(Row(std::vector<Value>{r.values()[0], r.values()[1]}).toString());
  for (const Row& r : fullJoin.collect()) whole.push_back(Row(std::vector<Value>{r.values()[1], r.values()[3]}).toString());
  std::sort(pruned.begin(), pruned.end());
  std::sort(whole.begin(), whole.end());
  EXPECT_EQ(pruned, whole);
  EXPECT_GT(whole.size(), 6u);  // more rows than the left side alone: the right side's unmatched ones

  // A window, a sort and a de-duplication over a wide input, checked against the same work on narrow input.
  auto work = [](const DataFrame& df) {
    return df.withColumn("rank", F::rank().over(Window::partitionBy({F::col("b")}).orderBy({F::col("d")})))
        .dropDuplicates(std::vector<std::string>{"b", "rank"})
        .orderBy(F::col("b"), F::col("rank"))
        .select("b", "rank", "d");
  };
  std::vector<Row> fromWide = work(w).collect();
  std::vector<Row> fromNarrow = work(w.select("b", "d")).collect();
  ASSERT_EQ(fromWide.size(), fromNarrow.size());
  for (std::size_t i = 0; i < fromWide.size(); ++i) EXPECT_EQ(fromWide[i].toString(), fromNarrow[i].toString()) << i;

  // Counting through every operator reads no column at all and still counts every row.
  EXPECT_EQ(w.orderBy(F::col("c")).union_(w).repartition(2).limit(20).count(), 20);
  EXPECT_EQ(w.withColumn("r", F::row_number().over(Window::orderBy({F::col("a")}))).count(), 12);
}

}  // namespace
