// Queries at the edges of the local operators and planner: empty and all-null inputs, null join keys, NaN and
// -0.0 keys, skewed keys, three-valued logic of subqueries, windows at partition edges, offsets past the end.
// Every expected row was recorded from Apache Spark 4.0.1 (local mode, session time zone UTC) on the same
// queries over the same VALUES tables.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine.h"

namespace engine {
namespace {

using Rows = std::vector<std::string>;

struct Case {
  const char* query;
  Rows expected;
  bool ordered = true;  // false: compared as multisets (no ORDER BY in the query)
};

class SqlEdgeCases : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    spark_ = SparkSession::builder().master("local[3]").config("spark.sql.session.timeZone", "UTC").create();
    // v is decimal(2,1), as Spark types the literal 1.0.
    spark_
        ->sql("SELECT * FROM VALUES (1, 'a', 1.0), (1, 'b', NULL), (2, NULL, 3.0), (NULL, 'c', 4.0), (3, 'd', 2.0), "
              "(2, 'e', 5.0) AS t(k, s, v)")
        .createOrReplaceTempView("t");
    spark_->sql("SELECT * FROM VALUES (1, 'x'), (1, 'y'), (NULL, 'z'), (4, 'w') AS u(k, w)").createOrReplaceTempView("u");
  }
  static void TearDownTestSuite() { spark_.reset(); }

  static Rows rows(const std::string& query) {
    Rows out;
    for (const Row& r : spark_->sql(query).collect()) {
      std::string line;
      for (std::size_t i = 0; i < r.values().size(); ++i) {
        const Value& v = r.values()[i];
        line += (i ? " | " : "") + (v.isNull() ? std::string("NULL") : v.toString());
      }
      out.push_back(line);
    }
    return out;
  }

  static void check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.query);
      Rows got;
      try {
        got = rows(c.query);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "failed: " << e.what();
        continue;
      }
      Rows want = c.expected;
      if (!c.ordered) {
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
      }
      EXPECT_EQ(got, want);
    }
  }

  static std::shared_ptr<SparkSession> spark_;
};

std::shared_ptr<SparkSession> SqlEdgeCases::spark_;

TEST_F(SqlEdgeCases, AggregatesOverEmptyAndNullInput) {
  check({
      // A global aggregate over no rows is one row: counts 0, everything else null.
      {"SELECT count(*), count(v), sum(v), avg(v), min(s), max(v) FROM t WHERE k > 100",
       {"0 | 0 | NULL | NULL | NULL | NULL"}},
      // A grouped one is no rows.
      {"SELECT k, count(*) FROM t WHERE k > 100 GROUP BY k", {}},
      // The null key is a group of its own; count(s) skips the null string.
      {"SELECT k, sum(v), count(s) FROM t GROUP BY k ORDER BY k NULLS FIRST",
       {"NULL | 4.0 | 1", "1 | 1.0 | 2", "2 | 8.0 | 1", "3 | 2.0 | 1"}},
      // One value: the sample deviation divides by zero rows of freedom (null), the population one is 0.
      {"SELECT stddev(v), variance(v), stddev_pop(v) FROM t WHERE k = 3", {"NULL | NULL | 0.0"}},
      {"SELECT k, max_by(s, v), min_by(s, v) FROM t GROUP BY k ORDER BY k NULLS FIRST",
       {"NULL | c | c", "1 | a | a", "2 | e | NULL", "3 | d | d"}},
      {"SELECT count(DISTINCT k), count(DISTINCT k, s), approx_count_distinct(k) FROM t", {"3 | 4 | 3"}},
      {"SELECT collect_list(v), collect_set(k) FROM t WHERE k = 1", {"[1.0] | [1]"}},
  });
}

TEST_F(SqlEdgeCases, PercentilesInterpolateAndSkipNulls) {
  check({
      // Five values 1..5 (one null skipped): the exact percentile interpolates at (n - 1) * p.
      {"SELECT percentile(v, 0.5), median(v), percentile(v, 0.25), percentile(v, array(0.0, 1.0)) FROM t",
       {"3.0 | 3.0 | 2.0 | [1.0, 5.0]"}},
      {"SELECT percentile(v, 0.5), median(v) FROM t WHERE k > 100", {"NULL | NULL"}},
      // Group 2 holds 3.0 and 5.0: the median lies between them; group 1's only value is 1.0 (b's is null).
      {"SELECT k, percentile(v, 0.5) FROM t GROUP BY k ORDER BY k NULLS FIRST",
       {"NULL | 4.0", "1 | 1.0", "2 | 4.0", "3 | 2.0"}},
      // The approximate percentile picks values of the input, in the input's type.
      {"SELECT percentile_approx(v, 0.5), percentile_approx(v, array(0.1, 0.9)) FROM t", {"3.0 | [1.0, 5.0]"}},
      {"SELECT percentile_approx(v, 0.5) FROM t WHERE v IS NULL", {"NULL"}},
  });
}

TEST_F(SqlEdgeCases, JoinsNeverMatchNullKeys) {
  check({
      {"SELECT t.k, t.s, u.w FROM t JOIN u ON t.k = u.k ORDER BY t.s, u.w",
       {"1 | a | x", "1 | a | y", "1 | b | x", "1 | b | y"}},
      // Both null keys come out unmatched, each on its own side.
      {"SELECT t.k, t.s, u.k, u.w FROM t FULL OUTER JOIN u ON t.k = u.k ORDER BY t.s NULLS FIRST, u.w NULLS FIRST",
       {"2 | NULL | NULL | NULL", "NULL | NULL | 4 | w", "NULL | NULL | NULL | z", "1 | a | 1 | x", "1 | a | 1 | y",
        "1 | b | 1 | x", "1 | b | 1 | y", "NULL | c | NULL | NULL", "3 | d | NULL | NULL", "2 | e | NULL | NULL"}},
      // A condition on the right side of a left join filters matches, never left rows.
      {"SELECT t.k, t.s, u.w FROM t LEFT JOIN u ON t.k = u.k AND u.w > 'x' ORDER BY t.s NULLS FIRST",
       {"2 | NULL | NULL", "1 | a | y", "1 | b | y", "NULL | c | NULL", "3 | d | NULL", "2 | e | NULL"}},
      {"SELECT t.s FROM t LEFT ANTI JOIN u ON t.k = u.k ORDER BY t.s NULLS FIRST", {"NULL", "c", "d", "e"}},
      {"SELECT t.s FROM t LEFT SEMI JOIN u ON t.k = u.k ORDER BY t.s", {"a", "b"}},
      // The null-safe comparison pairs the null keys.
      {"SELECT t.k, u.w FROM t JOIN u ON t.k <=> u.k ORDER BY t.k NULLS FIRST, u.w",
       {"NULL | z", "1 | x", "1 | x", "1 | y", "1 | y"}},
      // NaN equals NaN and -0.0 equals 0.0 as join keys; the row keeps its own value.
      {"SELECT a.x FROM VALUES (double('NaN')), (-0.0D) AS a(x) JOIN VALUES (double('NaN')), (0.0D) AS b(x) "
       "ON a.x = b.x ORDER BY a.x",
       {"-0.0", "NaN"}},
      // A skewed key: the 1,000 even rows each meet the three right rows of key 0.
      {"SELECT count(*), sum(a.id) FROM (SELECT id % 2 AS k, id FROM range(2000)) a JOIN "
       "(SELECT 0 AS k FROM range(3)) b ON a.k = b.k",
       {"3000 | 2997000"}},
  });
}

TEST_F(SqlEdgeCases, GroupsAndSetOperationsTreatNullsAsEqual) {
  check({
      {"SELECT k FROM t INTERSECT SELECT k FROM u", {"1", "NULL"}, false},
      {"SELECT k FROM t EXCEPT SELECT k FROM u ORDER BY k", {"2", "3"}},
      {"SELECT k FROM t EXCEPT ALL SELECT k FROM u ORDER BY k", {"2", "2", "3"}},
      {"SELECT k FROM t INTERSECT ALL SELECT k FROM t WHERE k = 2 OR k IS NULL ORDER BY k NULLS FIRST",
       {"NULL", "2", "2"}},
      // NaN is one group and -0.0 joins 0.0.
      {"SELECT x, count(*) FROM VALUES (0.0D), (-0.0D), (double('NaN')), (double('NaN')), (NULL) AS n(x) GROUP BY x "
       "ORDER BY x NULLS FIRST",
       {"NULL | 1", "0.0 | 2", "NaN | 2"}},
      // One key holding 990 of 1,000 rows.
      {"SELECT k, count(*) FROM (SELECT CASE WHEN id < 990 THEN 0 ELSE id END AS k FROM range(1000)) GROUP BY k "
       "ORDER BY count(*) DESC, k LIMIT 3",
       {"0 | 990", "990 | 1", "991 | 1"}},
  });
}

TEST_F(SqlEdgeCases, SubqueriesFollowThreeValuedLogic) {
  check({
      // A null among the subquery's keys makes NOT IN unknown for every row.
      {"SELECT s FROM t WHERE k NOT IN (SELECT k FROM u)", {}},
      {"SELECT s FROM t WHERE k NOT IN (SELECT k FROM u WHERE k IS NOT NULL) ORDER BY s NULLS FIRST",
       {"NULL", "d", "e"}},
      {"SELECT s FROM t WHERE k IN (SELECT k FROM u) ORDER BY s", {"a", "b"}},
      // A correlated scalar subquery with no row is null.
      {"SELECT s, (SELECT max(w) FROM u WHERE u.k = t.k) AS m FROM t ORDER BY s NULLS FIRST",
       {"NULL | NULL", "a | y", "b | y", "c | NULL", "d | NULL", "e | NULL"}},
      {"SELECT s FROM t WHERE EXISTS (SELECT 1 FROM u WHERE u.k = t.k) ORDER BY s", {"a", "b"}},
      {"SELECT s FROM t WHERE NOT EXISTS (SELECT 1 FROM u WHERE u.k = t.k) ORDER BY s NULLS FIRST",
       {"NULL", "c", "d", "e"}},
  });
}

TEST_F(SqlEdgeCases, WindowsAtPartitionEdges) {
  check({
      // lag past the start is null; lead past the end takes its default.
      {"SELECT s, lag(v) OVER (ORDER BY s), lead(v, 2, -1.0) OVER (ORDER BY s) FROM t WHERE s IS NOT NULL ORDER BY s",
       {"a | NULL | 4.0", "b | 1.0 | 2.0", "c | NULL | 5.0", "d | 4.0 | -1.0", "e | 2.0 | -1.0"}},
      // More buckets than rows: one row per bucket.
      {"SELECT s, ntile(4) OVER (ORDER BY s) FROM t WHERE s IN ('a', 'b', 'c') ORDER BY s", {"a | 1", "b | 2", "c | 3"}},
      // Descending order puts the null value last within its partition.
      {"SELECT k, s, row_number() OVER (PARTITION BY k ORDER BY v DESC) FROM t ORDER BY k NULLS FIRST, s NULLS FIRST",
       {"NULL | c | 1", "1 | a | 1", "1 | b | 2", "2 | NULL | 2", "2 | e | 1", "3 | d | 1"}},
      {"SELECT k, v, rank() OVER (ORDER BY k), dense_rank() OVER (ORDER BY k) FROM t "
       "ORDER BY k NULLS FIRST, v NULLS FIRST",
       {"NULL | 4.0 | 1 | 1", "1 | NULL | 2 | 2", "1 | 1.0 | 2 | 2", "2 | 3.0 | 4 | 3", "2 | 5.0 | 4 | 3",
        "3 | 2.0 | 6 | 4"}},
      {"SELECT s, first(v, true) OVER (ORDER BY s ROWS BETWEEN CURRENT ROW AND UNBOUNDED FOLLOWING), "
       "last(v, true) OVER (ORDER BY s ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW) FROM t "
       "WHERE s IS NOT NULL ORDER BY s",
       {"a | 1.0 | 1.0", "b | 4.0 | 1.0", "c | 4.0 | 4.0", "d | 2.0 | 2.0", "e | 5.0 | 5.0"}},
      {"SELECT k, sum(v) OVER (PARTITION BY k) FROM t WHERE k > 100", {}},
      // A value range over a decimal key: the null row's frame holds the null rows only.
      {"SELECT k, v, sum(v) OVER (ORDER BY v RANGE BETWEEN 1 PRECEDING AND 1 FOLLOWING) FROM t "
       "ORDER BY v NULLS FIRST, k",
       {"1 | NULL | NULL", "1 | 1.0 | 3.0", "3 | 2.0 | 6.0", "2 | 3.0 | 9.0", "NULL | 4.0 | 12.0", "2 | 5.0 | 9.0"}},
      // A decimal key: the offset counts whole units of the key (not units of its last digit), descending too.
      {"SELECT s, v, sum(v) OVER (ORDER BY v DESC RANGE BETWEEN 1 PRECEDING AND CURRENT ROW) FROM t "
       "ORDER BY v DESC NULLS LAST, s",
       {"e | 5.0 | 5.0", "c | 4.0 | 9.0", "NULL | 3.0 | 7.0", "d | 2.0 | 5.0", "a | 1.0 | 3.0", "b | NULL | NULL"}},
      // 3.5000000001 - 2 lies just above 1.5: that row's frame holds 2.25 and itself.
      {"SELECT x, count(*) OVER (ORDER BY x RANGE BETWEEN 2 PRECEDING AND CURRENT ROW), "
       "max(x) OVER (ORDER BY x RANGE BETWEEN CURRENT ROW AND 1 FOLLOWING) FROM VALUES "
       "(CAST(1.5 AS DECIMAL(20,10))), (CAST(2.25 AS DECIMAL(20,10))), (CAST(3.5000000001 AS DECIMAL(20,10))), "
       "(CAST(10 AS DECIMAL(20,10))), (CAST(NULL AS DECIMAL(20,10))) AS d(x) ORDER BY x NULLS FIRST",
       {"NULL | 1 | NULL", "1.5000000000 | 1 | 2.2500000000", "2.2500000000 | 2 | 2.2500000000",
        "3.5000000001 | 2 | 3.5000000001", "10.0000000000 | 1 | 10.0000000000"}},
      // The default frame of an ordered window ends at the last peer of the row.
      {"SELECT k, v, count(v) OVER (ORDER BY k) FROM t ORDER BY k NULLS FIRST, v NULLS FIRST",
       {"NULL | 4.0 | 1", "1 | NULL | 2", "1 | 1.0 | 2", "2 | 3.0 | 4", "2 | 5.0 | 4", "3 | 2.0 | 5"}},
  });
}

TEST_F(SqlEdgeCases, FiltersStatisticsAndWidening) {
  check({
      {"SELECT DISTINCT x FROM VALUES (0.0D), (-0.0D), (double('NaN')), (double('NaN')), (NULL) AS n(x) "
       "ORDER BY x NULLS FIRST",
       {"NULL", "0.0", "NaN"}},
      {"SELECT count(*) FILTER (WHERE v > 2), sum(v) FILTER (WHERE s IS NOT NULL) FROM t", {"3 | 12.0"}},
      {"SELECT k, count(*) FROM t GROUP BY k HAVING count(*) > 1 ORDER BY k", {"1 | 2", "2 | 2"}},
      {"SELECT first(s, true), last(s, true), first(s) FROM (SELECT * FROM t ORDER BY k NULLS FIRST, s NULLS FIRST)",
       {"c | d | c"}},
      {"SELECT bool_and(v > 0), bool_or(v > 4), every(k > 0) FROM t", {"true | true | true"}},
      {"SELECT k, collect_list(s) FROM (SELECT * FROM t ORDER BY s) GROUP BY k ORDER BY k NULLS FIRST",
       {"NULL | [c]", "1 | [a, b]", "2 | [e]", "3 | [d]"}},
      {"SELECT sum(id), avg(id), min(id), max(id), count(*) FROM range(0, 10, 3)", {"18 | 4.5 | 0 | 9 | 4"}},
      {"SELECT count(*), sum(id) FROM range(10, 0, -4)", {"3 | 18"}},
      {"SELECT id FROM range(5) ORDER BY id DESC LIMIT 0", {}},
      // The average of a decimal(2,1) is a decimal(6,5); one value has no sample deviation.
      {"SELECT k, avg(v), stddev_samp(v) FROM t GROUP BY k ORDER BY k NULLS FIRST",
       {"NULL | 4.00000 | NULL", "1 | 1.00000 | NULL", "2 | 4.00000 | 1.4142135623730951", "3 | 2.00000 | NULL"}},
      // A pair with a null is left out of both sides.
      {"SELECT corr(a, b), covar_pop(a, b), covar_samp(a, b) FROM VALUES (1.0D, 2.0D), (2.0D, 4.0D), (3.0D, 6.5D), "
       "(NULL, 1.0D) AS c(a, b)",
       {"0.9979487157886733 | 1.5 | 2.25"}},
      {"SELECT skewness(x), kurtosis(x) FROM VALUES (1.0D), (2.0D), (3.0D), (10.0D) AS c(x)",
       {"1.0182337649086284 | -0.7696000000000001"}},
      // NaN is above every number for max and min; a sum with NaN is NaN.
      {"SELECT max(x), min(x), sum(x) FROM VALUES (1.0D), (double('NaN')), (double('-Infinity')) AS c(x)",
       {"NaN | -Infinity | NaN"}},
      {"SELECT k, v, row_number() OVER (ORDER BY v NULLS LAST, k) FROM t ORDER BY 3",
       {"1 | 1.0 | 1", "3 | 2.0 | 2", "2 | 3.0 | 3", "NULL | 4.0 | 4", "2 | 5.0 | 5", "1 | NULL | 6"}},
      {"SELECT s, cume_dist() OVER (ORDER BY k), percent_rank() OVER (ORDER BY k) FROM t WHERE s IS NOT NULL ORDER BY s",
       {"a | 0.6 | 0.25", "b | 0.6 | 0.25", "c | 0.2 | 0.0", "d | 1.0 | 1.0", "e | 0.8 | 0.75"}},
      // A join on an inequality only.
      {"SELECT a.k, b.k FROM (SELECT k FROM t WHERE k IS NOT NULL) a JOIN (SELECT k FROM u WHERE k IS NOT NULL) b "
       "ON a.k < b.k ORDER BY 1, 2",
       {"1 | 4", "1 | 4", "2 | 4", "2 | 4", "3 | 4"}},
      // A null in an IN list: IN still finds its matches, NOT IN finds nothing.
      {"SELECT * FROM t WHERE k IN (1, NULL) ORDER BY s", {"1 | a | 1.0", "1 | b | NULL"}},
      {"SELECT * FROM t WHERE k NOT IN (1, NULL)", {}},
      {"SELECT k, s FROM t UNION SELECT k, w FROM u ORDER BY 1 NULLS FIRST, 2 NULLS FIRST",
       {"NULL | c", "NULL | z", "1 | a", "1 | b", "1 | x", "1 | y", "2 | NULL", "2 | e", "3 | d", "4 | w"}},
      // decimal(2,1) and double widen to double.
      {"SELECT v FROM t UNION ALL SELECT CAST(k AS DOUBLE) FROM u ORDER BY 1 NULLS LAST",
       {"1.0", "1.0", "1.0", "2.0", "3.0", "4.0", "4.0", "5.0", "NULL", "NULL"}},
  });
}

TEST_F(SqlEdgeCases, TopRowsAndOffsets) {
  check({
      {"SELECT s FROM t ORDER BY v DESC NULLS LAST LIMIT 2", {"e", "c"}},
      {"SELECT s FROM t ORDER BY v NULLS FIRST LIMIT 2", {"b", "a"}},
      {"SELECT s FROM t ORDER BY s LIMIT 2 OFFSET 4", {"d", "e"}},
      {"SELECT s FROM t ORDER BY s LIMIT 10 OFFSET 10", {}},
  });
}

}  // namespace
}  // namespace engine
