// The model whose predictions are already a column of the data.
#include <regex>

#include "host/errors.h"
#include "spark/model.h"
#include "spark_test_support.h"

namespace {

using namespace spark_test;
using spark::SparkPrecalculatedModel;
using Strings = std::vector<std::string>;

DataFrame stored() {
  return session()->createDataFrame({Row{1, "a", 1}, Row{2, "b", 0}, Row{2, "b", 1}, Row{3, "c", 0}},
                                    StructType({{"id", IntegerType(), true}, {"s", StringType(), true}, {"p", IntegerType(), true}}));
}

TEST(PrecalculatedModelTest, LabelsAndFit) {
  SparkPrecalculatedModel a(stored(), "p");
  SparkPrecalculatedModel b(stored(), "p");
  static const std::regex shape("^SparkPrecalculated_[0-9a-f]{8}-[0-9a-f]{4}-1[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
  EXPECT_TRUE(std::regex_match(a.model_label, shape)) << a.model_label;
  EXPECT_NE(a.model_label, b.model_label);
  EXPECT_EQ(SparkPrecalculatedModel(stored(), "p", "mine").name(), "mine");
  EXPECT_TRUE(a.features.isPersisted());
  EXPECT_EQ(a.model_fitted, &a);
  a.fit(std::any(stored()), std::any());
  EXPECT_EQ(a.prediction_label, "p");
}

TEST(PrecalculatedModelTest, PredictLooksUpOnSharedColumns) {
  SparkPrecalculatedModel m(stored(), "p");
  DataFrame x = session()->createDataFrame({Row{1, 9.5}, Row{2, 1.5}, Row{4, 0.5}},
                                           StructType({{"id", IntegerType(), true}, {"w", DoubleType(), true}}));
  DataFrame out = m.predict(x);
  EXPECT_EQ(out.columns(), (Strings{"id", "s", "p"}));  // the prediction column once
  auto rows = out.orderBy("id").collect();
  ASSERT_EQ(rows.size(), 3u);  // no row multiplies although id 2 is stored twice
  EXPECT_EQ(rows[0]["p"], Value(1));
  EXPECT_TRUE(rows[1]["p"] == Value(0) || rows[1]["p"] == Value(1));
  EXPECT_TRUE(rows[2]["p"].isNull());  // id 4 is not stored
  EXPECT_EQ(out.select(std::vector<std::string>{"p"}).count(), 3);
  // Through the framework's interface.
  std::any result = m.predict(std::any(x));
  EXPECT_EQ(std::any_cast<DataFrame>(result).columns(), (Strings{"id", "s", "p"}));
  try {
    m.predict(std::any(42));
    FAIL();
  } catch (const norq::ValueError& e) {
    EXPECT_STREQ(e.what(), "SparkPrecalculated can only predict on a spark dataframe");
  }
  DataFrame unrelated = session()->createDataFrame({Row{1.0}}, StructType({{"z", DoubleType(), true}}));
  EXPECT_THROW(m.predict(unrelated), norq::ValueError);
}

}  // namespace
