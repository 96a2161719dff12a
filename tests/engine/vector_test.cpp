// Columnar vectors, boxed values and types: the shared representation every operator relies on.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/errors.h"
#include "engine/local_table.h"
#include "engine/types.h"
#include "engine/value.h"
#include "engine/vector.h"

using namespace engine;

TEST(Types, SparkNamesAndParsing) {
  EXPECT_EQ(IntegerType().typeName(), "integer");
  EXPECT_EQ(LongType().simpleString(), "bigint");
  EXPECT_EQ(DecimalType(12, 2).typeName(), "decimal");
  EXPECT_EQ(DecimalType(12, 2).simpleString(), "decimal(12,2)");
  EXPECT_EQ(ArrayType(DoubleType()).simpleString(), "array<double>");
  EXPECT_EQ(NullType().typeName(), "void");
  EXPECT_EQ(*DataType::parse(" BIGINT "), LongType());
  EXPECT_EQ(*DataType::parse("decimal(38, 10)"), DecimalType(38, 10));
  EXPECT_EQ(*DataType::parse("decimal"), DecimalType(10, 0));
  EXPECT_EQ(*DataType::parse("array<int>"), ArrayType(IntegerType()));
  EXPECT_FALSE(DataType::parse("decimal(39,0)"));
  EXPECT_FALSE(DataType::parse("decimal(5,6)"));
  EXPECT_FALSE(DataType::parse("nonsense"));
  EXPECT_THROW(DecimalType(0, 0), AnalysisException);
  EXPECT_NE(DecimalType(10, 2), DecimalType(10, 3));
}

TEST(Values, JavaStyleRendering) {
  EXPECT_EQ(Value(1.0).toString(), "1.0");
  EXPECT_EQ(Value(0.1).toString(), "0.1");
  EXPECT_EQ(Value(1e20).toString(), "1.0E20");
  EXPECT_EQ(Value(1e7).toString(), "1.0E7");
  EXPECT_EQ(Value(9999999.0).toString(), "9999999.0");
  EXPECT_EQ(Value(0.001).toString(), "0.001");
  EXPECT_EQ(Value(0.0001).toString(), "1.0E-4");
  EXPECT_EQ(Value(-0.0).toString(), "-0.0");
  EXPECT_EQ(Value(std::nan("")).toString(), "NaN");
  EXPECT_EQ(Value(-std::numeric_limits<double>::infinity()).toString(), "-Infinity");
  EXPECT_EQ(Value(123.456).toString(), "123.456");
  EXPECT_EQ(Value(1.5f).toString(), "1.5");
  EXPECT_EQ(Value(Date{0}).toString(), "1970-01-01");
  EXPECT_EQ(Value(Date{-1}).toString(), "1969-12-31");
  EXPECT_EQ(Value(Timestamp{1500000}).toString(), "1970-01-01 00:00:01.5");
  EXPECT_EQ(Value(Timestamp{-1}).toString(), "1969-12-31 23:59:59.999999");
  EXPECT_EQ(Value().toString(), "null");
}

TEST(Values, DecimalParsingAndText) {
  auto d = Decimal::parse("-1.50");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->toString(), "-1.50");
  EXPECT_EQ(d->precision, 3);
  EXPECT_EQ(d->scale, 2);
  auto small = Decimal::parse("0.01");
  ASSERT_TRUE(small);
  EXPECT_EQ(small->precision, 2);  // precision is at least the scale
  auto sci = Decimal::parse("1e3");
  ASSERT_TRUE(sci);
  EXPECT_EQ(sci->toString(), "1000");
  EXPECT_FALSE(Decimal::parse("1.2.3"));
  EXPECT_FALSE(Decimal::parse("abc"));
  EXPECT_FALSE(Decimal::parse("123456789012345678901234567890123456789"));  // 39 digits
  EXPECT_EQ(Decimal::parse("99999999999999999999999999999999999999")->precision, 38);
}

TEST(Values, EqualityTreatsNaNAsEqualButKeepsSignOfZero) {
  EXPECT_EQ(Value(std::nan("")), Value(std::nan("")));
  EXPECT_NE(Value(0.0), Value(-0.0));
  EXPECT_NE(Value(1), Value(1L));  // int and long are different types
  EXPECT_EQ(Value::array(IntegerType(), {1, Value()}), Value::array(IntegerType(), {1, Value()}));
}

TEST(Vectors, FromValuesConvertsAndRejectsLossyValues) {
  auto v = Vector::fromValues(LongType(), {Value(1), Value(), Value(3L)});
  EXPECT_EQ(v->get(0), Value(1L));
  EXPECT_TRUE(v->isNull(1));
  EXPECT_EQ(v->validity().countNulls(3), 1u);
  EXPECT_THROW(Vector::fromValues(IntegerType(), {Value(1.5)}), AnalysisException);
  EXPECT_THROW(Vector::fromValues(IntegerType(), {Value(5000000000L)}), AnalysisException);
  auto dec = Vector::fromValues(DecimalType(5, 2), {Value(*Decimal::parse("1.5")), Value(2)});
  EXPECT_EQ(dec->get(0).toString(), "1.50");
  EXPECT_EQ(dec->get(1).toString(), "2.00");
  EXPECT_THROW(Vector::fromValues(DecimalType(5, 0), {Value(*Decimal::parse("1.5"))}), AnalysisException);
  EXPECT_THROW(Vector::fromValues(DecimalType(3, 2), {Value(100)}), AnalysisException);
}

TEST(Vectors, TakeWithNullExtensionAndConcat) {
  auto s = Vector::fromValues(StringType(), {Value("a"), Value(), Value("ccc")});
  auto t = take(*s, std::vector<std::int64_t>{2, -1, 0, 1});
  ASSERT_EQ(t->size(), 4u);
  EXPECT_EQ(t->get(0), Value("ccc"));
  EXPECT_TRUE(t->isNull(1));
  EXPECT_EQ(t->get(2), Value("a"));
  EXPECT_TRUE(t->isNull(3));
  auto c = concat({s.get(), t.get()}, StringType());
  ASSERT_EQ(c->size(), 7u);
  EXPECT_EQ(c->get(6).isNull(), true);
  EXPECT_EQ(c->get(3), Value("ccc"));

  auto arr = Vector::fromValues(ArrayType(IntegerType()),
                                {Value::array(IntegerType(), {1, 2}), Value(), Value::array(IntegerType(), {})});
  auto at = take(*arr, std::vector<std::int64_t>{2, 0});
  EXPECT_EQ(at->get(1), Value::array(IntegerType(), {1, 2}));
  EXPECT_EQ(at->get(0), Value::array(IntegerType(), {}));
}

TEST(Vectors, SlicesKeepValuesAndNullsAtAnyOffset) {
  // Fixed-width slices copy the range and then its nulls; offsets off a 64-row word boundary included.
  std::vector<Value> longs, bools, decimals;
  for (int i = 0; i < 200; ++i) {
    longs.push_back(i % 9 == 4 ? Value() : Value(static_cast<std::int64_t>(i) * 1000003));
    bools.push_back(i % 5 == 0 ? Value() : Value(i % 2 == 0));
    decimals.push_back(i % 7 == 1 ? Value() : Value(*Decimal::parse(std::to_string(i) + ".25")));
  }
  const std::vector<std::pair<DataType, const std::vector<Value>*>> columns = {
      {LongType(), &longs}, {BooleanType(), &bools}, {DecimalType(10, 2), &decimals}};
  for (const auto& [type, values] : columns) {
    auto v = Vector::fromValues(type, *values);
    for (auto [offset, length] : {std::pair<std::size_t, std::size_t>{0, 200}, {63, 70}, {130, 70}, {5, 0}, {199, 1}}) {
      auto s = slice(*v, offset, length);
      ASSERT_EQ(s->size(), length);
      for (std::size_t i = 0; i < length; ++i)
        EXPECT_EQ(s->get(i).toString(), (*values)[offset + i].toString()) << type.simpleString() << " " << i;
    }
    EXPECT_THROW(slice(*v, 150, 51), std::out_of_range);
  }
  // A range without nulls drops the bitmap (kernels take their all-valid path).
  auto v = Vector::fromValues(LongType(), longs);
  EXPECT_TRUE(slice(*v, 5, 8)->validity().allValid());
  EXPECT_FALSE(slice(*v, 4, 8)->validity().allValid());
}

TEST(Vectors, ConstantAndSplit) {
  auto c = Vector::constant(Value("xy"), StringType(), 3);
  EXPECT_EQ(c->get(2), Value("xy"));
  auto n = Vector::constant(Value(), DoubleType(), 2);
  EXPECT_TRUE(n->isNull(0) && n->isNull(1));
  Batch b({Vector::fromValues(IntegerType(), {1, 2, 3, 4, 5})}, 5);
  auto parts = splitBatch(b, 3);
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(totalRows(parts), 5u);
  auto back = concatBatches(parts, {IntegerType()});
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(back.column(0).get(i), Value(static_cast<int>(i + 1)));
  EXPECT_EQ(splitBatch(Batch({Vector::make(IntegerType(), 0)}, 0), 4).size(), 4u);
}

TEST(LocalTables, RowsByNameAndIterrows) {
  StructType schema({{"a", IntegerType()}, {"b", StringType()}});
  auto t = LocalTable::fromRows(schema, {Row{1, "x"}, Row{Value(), "y"}});
  auto range = t.iterrows();
  auto first = range.next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->first, 0u);
  EXPECT_EQ(first->second["b"], Value("x"));
  auto second = range.next();
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->second["a"].isNull());
  EXPECT_FALSE(range.next());
  EXPECT_THROW(first->second["zz"], std::out_of_range);
  EXPECT_THROW(LocalTable::fromRows(schema, {Row{1}}), AnalysisException);
}
