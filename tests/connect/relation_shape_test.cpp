// The Spark Connect messages built from the engine's plans, checked field by field without a server: what
// pyspark's Connect client sends for the same DataFrame calls (operator rewrites, sort directions and null
// orderings, literal kinds, quoted names, frame boundaries, join and set-operation flags, reader options),
// plan ids for frame-bound columns, and the plans that must be refused before anything is sent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "engine/connect/plan_translation.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/udf.h"
#include "engine/window.h"

namespace {

using namespace engine;
namespace F = engine::functions;
namespace pb = spark::connect;

class RelationShape : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    session_ = SparkSession::builder().master("local[1]").config("spark.sql.session.timeZone", "UTC").create();
  }
  static void TearDownTestSuite() { session_.reset(); }

  static DataFrame frame() {
    StructType schema({{"a", IntegerType(), true}, {"b", StringType(), true}, {"x", DoubleType(), true}});
    return session_->createDataFrame({Row{1, "u", 0.5}, Row{2, Value(), 1.5}}, schema);
  }

  static pb::Relation relation(const DataFrame& df) {
    connect::TranslationContext ctx(*session_);
    return connect::toRelation(df.plan(), ctx);
  }
  static pb::Expression expression(const Column& c) {
    connect::TranslationContext ctx(*session_);
    return connect::toExpression(c.expr(), ctx);
  }
  // The message of the AnalysisException translating `df` raises ("" when none).
  static std::string refusal(const DataFrame& df) {
    try {
      relation(df);
    } catch (const AnalysisException& e) {
      return e.what();
    }
    return "";
  }

  static std::shared_ptr<SparkSession> session_;
};

std::shared_ptr<SparkSession> RelationShape::session_;

// The function name and argument count of an unresolved function.
std::string call(const pb::Expression& e) {
  if (!e.has_unresolved_function()) return "<" + e.ShortDebugString() + ">";
  return e.unresolved_function().function_name() + "/" + std::to_string(e.unresolved_function().arguments_size());
}
const pb::Expression& arg(const pb::Expression& e, int i) { return e.unresolved_function().arguments(i); }

TEST_F(RelationShape, OperatorsArriveAsPysparksClientSendsThem) {
  // a != 1 is not(a == 1); BETWEEN is two comparisons joined by and; a unary minus is negative().
  const pb::Expression ne = expression(F::col("a") != F::lit(1));
  EXPECT_EQ(call(ne), "not/1");
  EXPECT_EQ(call(arg(ne, 0)), "==/2");
  EXPECT_EQ(arg(arg(ne, 0), 0).unresolved_attribute().unparsed_identifier(), "a");
  EXPECT_EQ(arg(arg(ne, 0), 1).literal().integer(), 1);

  const pb::Expression between = expression(F::col("a").between(F::lit(2), F::lit(5)));
  ASSERT_EQ(call(between), "and/2");
  EXPECT_EQ(call(arg(between, 0)), ">=/2");
  EXPECT_EQ(arg(arg(between, 0), 1).literal().integer(), 2);
  EXPECT_EQ(call(arg(between, 1)), "<=/2");
  EXPECT_EQ(arg(arg(between, 1), 1).literal().integer(), 5);

  // SQL text's unary operators (a binary minus stays "-").
  const pb::Relation r = relation(frame().selectExpr("-a AS n", "+a AS p", "a - 1 AS d"));
  ASSERT_TRUE(r.has_project());
  ASSERT_EQ(r.project().expressions_size(), 3);
  EXPECT_EQ(call(r.project().expressions(0).alias().expr()), "negative/1");
  EXPECT_EQ(call(r.project().expressions(1).alias().expr()), "positive/1");
  EXPECT_EQ(call(r.project().expressions(2).alias().expr()), "-/2");
  // DISTINCT in an aggregate call is kept.
  const pb::Expression distinct = expression(F::countDistinct({F::col("b")}));
  EXPECT_TRUE(distinct.unresolved_function().is_distinct()) << distinct.ShortDebugString();
}

TEST_F(RelationShape, SortOrdersFollowSparksDefaults) {
  const pb::Relation r = relation(frame().orderBy(F::col("a"), F::col("b").desc(), F::col("x").asc_nulls_last(),
                                                  F::col("a").desc_nulls_first()));
  ASSERT_TRUE(r.has_sort());
  const auto& order = r.sort().order();
  ASSERT_EQ(order.size(), 4);
  using SO = pb::Expression::SortOrder;
  // A bare column is ascending with nulls first; desc() puts nulls last.
  EXPECT_EQ(order[0].direction(), SO::SORT_DIRECTION_ASCENDING);
  EXPECT_EQ(order[0].null_ordering(), SO::SORT_NULLS_FIRST);
  EXPECT_EQ(order[1].direction(), SO::SORT_DIRECTION_DESCENDING);
  EXPECT_EQ(order[1].null_ordering(), SO::SORT_NULLS_LAST);
  EXPECT_EQ(order[2].direction(), SO::SORT_DIRECTION_ASCENDING);
  EXPECT_EQ(order[2].null_ordering(), SO::SORT_NULLS_LAST);
  EXPECT_EQ(order[3].direction(), SO::SORT_DIRECTION_DESCENDING);
  EXPECT_EQ(order[3].null_ordering(), SO::SORT_NULLS_FIRST);
  EXPECT_EQ(order[1].child().unresolved_attribute().unparsed_identifier(), "b");
  EXPECT_TRUE(r.sort().is_global());
}

TEST_F(RelationShape, LiteralsKeepTheirKindAndNullsTheirType) {
  auto literal = [](const Value& v, const DataType& t = NullType()) { return connect::toLiteral(v, t); };
  EXPECT_EQ(literal(Value(std::int32_t{7})).integer(), 7);
  EXPECT_EQ(literal(Value(std::int64_t{1} << 40)).long_(), std::int64_t{1} << 40);
  EXPECT_TRUE(literal(Value(std::int64_t{7})).has_long_());  // a bigint 7 stays a bigint
  EXPECT_EQ(literal(Value(2.5)).double_(), 2.5);
  EXPECT_TRUE(literal(Value(2.5f)).has_float_());
  EXPECT_EQ(literal(Value(true)).boolean(), true);
  EXPECT_EQ(literal(Value(std::string("h\xc3\xa9"))).string(), "h\xc3\xa9");
  // 2024-02-29 is day 19782 after 1970-01-01; 2023-11-14 22:13:20 UTC is 1,700,000,000 seconds.
  EXPECT_EQ(literal(Value(Date{daysFromCivil(2024, 2, 29)})).date(), 19782);
  EXPECT_EQ(literal(Value(Timestamp{1'700'000'000'000'000LL})).timestamp(), 1'700'000'000'000'000LL);
  const auto dec = literal(Value(Decimal::parse("-12.50").value()));
  ASSERT_TRUE(dec.has_decimal());
  EXPECT_EQ(dec.decimal().value(), "-12.50");
  EXPECT_EQ(dec.decimal().scale(), 2);
  EXPECT_GE(dec.decimal().precision(), 4);
  // A null carries the declared type, so that the server types the column as the engine does.
  const auto nullDate = literal(Value(), DateType());
  ASSERT_TRUE(nullDate.has_null());
  EXPECT_TRUE(nullDate.null().has_date()) << nullDate.ShortDebugString();
  EXPECT_TRUE(literal(Value(), DecimalType(9, 3)).null().has_decimal());
  // Arrays carry their element type, and their null elements it too.
  const auto arr = literal(Value::array(StringType(), {Value(std::string("p")), Value()}));
  ASSERT_TRUE(arr.has_array());
  EXPECT_TRUE(arr.array().element_type().has_string());
  ASSERT_EQ(arr.array().elements_size(), 2);
  EXPECT_EQ(arr.array().elements(0).string(), "p");
  EXPECT_TRUE(arr.array().elements(1).null().has_string());
  // An interval literal goes as SQL text, which keeps its fields (a DAY interval stays a DAY interval).
  const pb::Relation r = relation(frame().selectExpr("INTERVAL '3' DAY AS i"));
  const pb::Expression& i = r.project().expressions(0).alias().expr();
  ASSERT_TRUE(i.has_expression_string()) << i.ShortDebugString();
  EXPECT_NE(i.expression_string().expression().find("DAY"), std::string::npos) << i.expression_string().expression();
}

TEST_F(RelationShape, NamesThatAreNotPlainIdentifiersAreQuoted) {
  auto identifier = [](const Column& c) { return expression(c).unresolved_attribute().unparsed_identifier(); };
  EXPECT_EQ(identifier(F::col("amount_2")), "amount_2");
  EXPECT_EQ(identifier(F::col("`amount.usd`")), "`amount.usd`");
  EXPECT_EQ(identifier(F::col("t.amount")), "t.amount");  // a qualified name stays two parts
  EXPECT_EQ(identifier(F::col("`a b`")), "`a b`");
  EXPECT_EQ(identifier(F::col("`we``ird`")), "`we``ird`");  // a backtick inside is doubled
  // Output names of computed columns are the engine's own, sent as aliases.
  const pb::Relation r = relation(frame().select(F::col("a") + F::lit(1), F::col("b")));
  ASSERT_EQ(r.project().expressions_size(), 2);
  EXPECT_EQ(r.project().expressions(0).alias().name(0), "(a + 1)");
  EXPECT_TRUE(r.project().expressions(1).has_unresolved_attribute());  // a plain column needs no alias
}

TEST_F(RelationShape, WindowFramesMapTheirBoundaries) {
  auto frameOf = [](const WindowSpec& w) {
    const pb::Expression e = expression(F::sum(F::col("x")).over(w));
    EXPECT_TRUE(e.has_window()) << e.ShortDebugString();
    return e.window();
  };
  const auto running = frameOf(Window::partitionBy({"b"}).orderBy({"a"}).rowsBetween(Window::unboundedPreceding,
                                                                                     Window::currentRow));
  ASSERT_EQ(running.partition_spec_size(), 1);
  ASSERT_EQ(running.order_spec_size(), 1);
  EXPECT_EQ(running.order_spec(0).null_ordering(), pb::Expression::SortOrder::SORT_NULLS_FIRST);
  using WF = pb::Expression::Window::WindowFrame;
  EXPECT_EQ(running.frame_spec().frame_type(), WF::FRAME_TYPE_ROW);
  EXPECT_TRUE(running.frame_spec().lower().unbounded());
  EXPECT_TRUE(running.frame_spec().upper().current_row());

  const auto sliding = frameOf(Window::orderBy({"a"}).rowsBetween(-2, 3));
  EXPECT_EQ(sliding.frame_spec().lower().value().literal().integer(), -2);
  EXPECT_EQ(sliding.frame_spec().upper().value().literal().integer(), 3);

  // A range offset beyond 32 bits is a bigint literal; an unbounded end is unbounded, not a huge number.
  const std::int64_t far = std::int64_t{5} << 33;
  const auto ranged = frameOf(Window::orderBy({"a"}).rangeBetween(-far, Window::unboundedFollowing));
  EXPECT_EQ(ranged.frame_spec().frame_type(), WF::FRAME_TYPE_RANGE);
  EXPECT_EQ(ranged.frame_spec().lower().value().literal().long_(), -far);
  EXPECT_TRUE(ranged.frame_spec().upper().unbounded());

  // Without a frame none is sent: the server applies Spark's default.
  EXPECT_FALSE(frameOf(Window::partitionBy({"b"})).has_frame_spec());
}

TEST_F(RelationShape, AggregatesPutTheirGroupingColumnsFirst) {
  // The DataFrame form: the grouping columns lead the output, so only the aggregates are listed.
  const pb::Relation grouped = relation(frame().groupBy("b").agg({F::sum(F::col("x")).alias("total")}));
  ASSERT_TRUE(grouped.has_aggregate());
  EXPECT_EQ(grouped.aggregate().group_type(), pb::Aggregate::GROUP_TYPE_GROUPBY);
  ASSERT_EQ(grouped.aggregate().grouping_expressions_size(), 1);
  ASSERT_EQ(grouped.aggregate().aggregate_expressions_size(), 1);
  EXPECT_EQ(grouped.aggregate().aggregate_expressions(0).alias().name(0), "total");

  // SQL text with the grouping column last: the server's output (grouping column first) is renamed by
  // position and projected back into the query's order and names.
  frame().createOrReplaceTempView("shape_t");
  const pb::Relation sqlForm = relation(session_->sql("SELECT sum(x), count(*) AS n, b FROM shape_t GROUP BY b"));
  std::vector<std::string> names, picks;
  const pb::Relation* r = &sqlForm;
  while (!r->has_project() && r->has_subquery_alias()) r = &r->subquery_alias().input();
  ASSERT_TRUE(r->has_project()) << sqlForm.ShortDebugString();
  for (const auto& e : r->project().expressions()) {
    ASSERT_TRUE(e.has_alias()) << e.ShortDebugString();
    names.push_back(e.alias().name(0));
    picks.push_back(e.alias().expr().unresolved_attribute().unparsed_identifier());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"sum(x)", "n", "b"}));
  EXPECT_EQ(picks, (std::vector<std::string>{"_norq_agg_1", "_norq_agg_2", "_norq_agg_3"}));
  const pb::Relation& renamed = r->project().input();
  ASSERT_TRUE(renamed.has_to_df());
  EXPECT_EQ(renamed.to_df().column_names_size(), 4);  // b, then the three outputs
  EXPECT_EQ(renamed.to_df().input().aggregate().aggregate_expressions_size(), 3);
}

TEST_F(RelationShape, JoinsAndSetOperationsCarryTheirKind) {
  const DataFrame l = frame(), r = frame().select(F::col("a"), F::col("x").alias("y"));
  const std::pair<const char*, pb::Join::JoinType> kinds[] = {
      {"inner", pb::Join::JOIN_TYPE_INNER},          {"left", pb::Join::JOIN_TYPE_LEFT_OUTER},
      {"right_outer", pb::Join::JOIN_TYPE_RIGHT_OUTER}, {"full", pb::Join::JOIN_TYPE_FULL_OUTER},
      {"left_semi", pb::Join::JOIN_TYPE_LEFT_SEMI},   {"anti", pb::Join::JOIN_TYPE_LEFT_ANTI}};
  for (const auto& [how, type] : kinds) {
    const pb::Relation j = relation(l.join(r, JoinOn(std::vector<std::string>{"a"}), how));
    ASSERT_TRUE(j.has_join()) << how;
    EXPECT_EQ(j.join().join_type(), type) << how;
    ASSERT_EQ(j.join().using_columns_size(), 1) << how;
    EXPECT_EQ(j.join().using_columns(0), "a");
    EXPECT_FALSE(j.join().has_join_condition()) << how;
  }
  const pb::Relation cross = relation(l.crossJoin(r));
  EXPECT_EQ(cross.join().join_type(), pb::Join::JOIN_TYPE_CROSS);

  // A condition on frame-bound columns names each side's relation by its plan id.
  const pb::Relation on = relation(l.join(r, JoinOn(l["a"] == r["a"]), "inner"));
  ASSERT_TRUE(on.join().has_join_condition());
  const pb::Expression& cond = on.join().join_condition();
  ASSERT_EQ(call(cond), "==/2");
  EXPECT_EQ(arg(cond, 0).unresolved_attribute().plan_id(), on.join().left().common().plan_id());
  EXPECT_EQ(arg(cond, 1).unresolved_attribute().plan_id(), on.join().right().common().plan_id());
  EXPECT_NE(on.join().left().common().plan_id(), on.join().right().common().plan_id());

  struct SetCase {
    DataFrame df;
    pb::SetOperation::SetOpType type;
    bool all, byName;
  };
  const DataFrame s = l.select("a"), t = r.select("a");
  const SetCase sets[] = {{s.union_(t), pb::SetOperation::SET_OP_TYPE_UNION, true, false},
                          {s.unionByName(t), pb::SetOperation::SET_OP_TYPE_UNION, true, true},
                          {s.exceptAll(t), pb::SetOperation::SET_OP_TYPE_EXCEPT, true, false},
                          {s.subtract(t), pb::SetOperation::SET_OP_TYPE_EXCEPT, false, false},
                          {s.intersect(t), pb::SetOperation::SET_OP_TYPE_INTERSECT, false, false}};
  for (const SetCase& c : sets) {
    const pb::Relation rel = relation(c.df);
    ASSERT_TRUE(rel.has_set_op()) << rel.ShortDebugString();
    EXPECT_EQ(rel.set_op().set_op_type(), c.type);
    EXPECT_EQ(rel.set_op().is_all(), c.all) << rel.ShortDebugString();
    EXPECT_EQ(rel.set_op().by_name(), c.byName);
  }
}

TEST_F(RelationShape, FrameBoundColumnsOutsideThePlanResolveByName) {
  // df2 filtered by a column bound to another frame: that frame is not in the plan, so no plan id is sent
  // (a dangling id would fail on the server); a column of a frame in the plan keeps its id.
  const DataFrame a = frame(), b = frame().select("a", "x");
  const DataFrame filtered = b.filter(a["a"] > F::lit(1));
  const pb::Relation r = relation(filtered);
  ASSERT_TRUE(r.has_filter());
  const pb::Expression& left = arg(r.filter().condition(), 0);
  EXPECT_EQ(left.unresolved_attribute().unparsed_identifier(), "a");
  EXPECT_FALSE(left.unresolved_attribute().has_plan_id());
  const pb::Relation own = relation(b.filter(b["a"] > F::lit(1)));
  EXPECT_EQ(arg(own.filter().condition(), 0).unresolved_attribute().plan_id(), own.filter().input().common().plan_id());
  // Every relation carries the plan id of its node.
  EXPECT_EQ(r.common().plan_id(), filtered.plan()->id);
  EXPECT_EQ(r.filter().input().common().plan_id(), b.plan()->id);
}

TEST_F(RelationShape, FrameOperationsKeepTheirArguments) {
  const DataFrame df = frame();
  const pb::Relation lim = relation(df.limit(0));
  ASSERT_TRUE(lim.has_limit());
  EXPECT_EQ(lim.limit().limit(), 0);
  EXPECT_EQ(relation(df.offset(3)).offset().offset(), 3);
  const pb::Relation dedupAll = relation(df.dropDuplicates());
  EXPECT_TRUE(dedupAll.deduplicate().all_columns_as_keys());
  const pb::Relation dedup = relation(df.dropDuplicates(std::vector<std::string>{"B", "a"}));
  ASSERT_EQ(dedup.deduplicate().column_names_size(), 2);
  EXPECT_EQ(dedup.deduplicate().column_names(0), "B");  // names match ignoring case, as in Spark
  const pb::Relation na = relation(df.dropna("any", 2, {"a", "x"}));
  ASSERT_TRUE(na.has_drop_na());
  EXPECT_EQ(na.drop_na().min_non_nulls(), 2);
  EXPECT_EQ(na.drop_na().cols_size(), 2);
  const pb::Relation rep = relation(df.repartition(4));
  EXPECT_EQ(rep.repartition().num_partitions(), 4);
  EXPECT_TRUE(rep.repartition().shuffle());
  EXPECT_FALSE(relation(df.coalesce(1)).repartition().shuffle());
  const pb::Relation with = relation(df.withColumn("z", F::col("x") * F::lit(2.0)));
  ASSERT_TRUE(with.has_with_columns());
  EXPECT_EQ(with.with_columns().aliases(0).name(0), "z");
  // A persisted frame with no server-side copy is a select of every column over its child.
  const pb::Relation persisted = relation(df.persist());
  ASSERT_TRUE(persisted.has_project());
  ASSERT_EQ(persisted.project().expressions_size(), 1);
  EXPECT_TRUE(persisted.project().expressions(0).has_unresolved_star());
  // A sample keeps its bounds and seed.
  const std::vector<DataFrame> parts = df.randomSplit({1.0, 3.0}, 11);
  const pb::Relation second = relation(parts[1]);
  const pb::Relation* s = &second;
  while (!s->has_sample() && s->has_project()) s = &s->project().input();
  ASSERT_TRUE(s->has_sample()) << second.ShortDebugString();
  EXPECT_DOUBLE_EQ(s->sample().lower_bound(), 0.25);
  EXPECT_DOUBLE_EQ(s->sample().upper_bound(), 1.0);
  EXPECT_EQ(s->sample().seed(), 11);
}

TEST_F(RelationShape, ReadersSendSparksOptionNames) {
  // The embedded session looks at the files when the frame is made: two small ones.
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("norq_relation_shape_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string a = (dir / "a.csv").string(), b = (dir / "b.csv").string();
  std::ofstream(a) << "k;v\n1;NA\n";
  std::ofstream(b) << "k;v\n2;x\n";
  const DataFrame csv = session_->read()
                            .option("header", "true")
                            .option("sep", ";")
                            .option("nullValue", "NA")
                            .option("dateFormat", "dd/MM/yyyy")
                            .csv(std::vector<std::string>{a, b});
  const pb::Relation r = relation(csv);
  ASSERT_TRUE(r.read().has_data_source());
  const auto& ds = r.read().data_source();
  EXPECT_EQ(ds.format(), "csv");
  EXPECT_EQ(ds.paths_size(), 2);
  EXPECT_EQ(ds.paths(1), b);
  const auto& opt = ds.options();
  EXPECT_EQ(opt.at("header"), "true");
  EXPECT_EQ(opt.at("sep"), ";");
  EXPECT_EQ(opt.at("nullValue"), "NA");
  EXPECT_EQ(opt.at("dateFormat"), "dd/MM/yyyy");
  EXPECT_EQ(opt.count("timestampFormat"), 0u);  // not given: the server's default applies
  // A user schema travels as Spark's JSON and replaces inference.
  StructType schema({{"key", IntegerType(), true}, {"value", StringType(), true}});
  const pb::Relation typed = relation(session_->read().schema(schema).csv(std::vector<std::string>{a}));
  const auto& tds = typed.read().data_source();
  ASSERT_TRUE(tds.has_schema());
  EXPECT_NE(tds.schema().find("\"name\":\"key\""), std::string::npos) << tds.schema();
  EXPECT_NE(tds.schema().find("\"name\":\"value\""), std::string::npos) << tds.schema();
  EXPECT_EQ(tds.options().count("inferSchema"), 0u);
  std::filesystem::remove_all(dir);
}

TEST_F(RelationShape, PlansThatCannotRunAreRefusedBeforeSending) {
  const DataFrame df = frame();
  // Spark's limits and offsets are 32-bit.
  const std::string big = refusal(df.limit(std::int64_t{1} << 31));
  EXPECT_NE(big.find("A limit of 2147483648 cannot run on Spark Connect"), std::string::npos) << big;
  EXPECT_EQ(refusal(df.limit(std::numeric_limits<std::int32_t>::max())), "");
  const std::string offset = refusal(df.offset(std::int64_t{1} << 32));
  EXPECT_NE(offset.find("An offset of 4294967296"), std::string::npos) << offset;
  // An unknown key of dropDuplicates is named with the columns there are.
  const std::string dedup = refusal(df.dropDuplicates(std::vector<std::string>{"nope"}));
  EXPECT_NE(dedup.find("Cannot resolve column name \"nope\" among (a, b, x)"), std::string::npos) << dedup;
  // A C++ function has no Python form for Spark's workers.
  auto udf = F::pandas_udf([](const std::vector<VectorPtr>& c, std::size_t) { return c[0]; }, IntegerType(), "cpp_only");
  const std::string u = refusal(df.select(udf(F::col("a")).alias("u")));
  EXPECT_NE(u.find("`cpp_only` is a C++ function"), std::string::npos) << u;
  // Subqueries are rewritten by the embedded planner only.
  df.createOrReplaceTempView("shape_s");
  const std::string sub = refusal(session_->sql("SELECT a FROM shape_s WHERE EXISTS (SELECT 1 FROM shape_s t WHERE t.a > 1)"));
  EXPECT_NE(sub.find("An EXISTS subquery cannot run on Spark Connect"), std::string::npos) << sub;
}

}  // namespace
