// Shared fixtures of the dataset tests: a local session and a small frame with one column of each kind.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "../test_backend.h"

namespace spark_test {

using namespace engine;

// The embedded engine, or a Spark Connect server when the suite runs on that backend (test_backend.h).
inline std::shared_ptr<SparkSession> session() { return test_backend::session("spark-tests"); }

// id (int), age (double), city (string), joined (date), member (boolean), amt (decimal(8,2)), y (int target),
// p (int prediction). Six rows with a null age and a null city.
inline StructType frame_schema() {
  return StructType({{"id", IntegerType(), true},
                     {"age", DoubleType(), true},
                     {"city", StringType(), true},
                     {"joined", DateType(), true},
                     {"member", BooleanType(), true},
                     {"amt", DataType::decimal(8, 2), true},
                     {"y", IntegerType(), true},
                     {"p", IntegerType(), true}});
}

inline Row frame_row(int id, Value age, Value city, int day, bool member, const char* amt, int y, int p) {
  return Row{id, age, city, Date{day}, member, Value(Decimal::parse(amt).value()), y, p};
}

inline std::vector<Row> frame_rows(int first, int n) {
  static const char* cities[] = {"oslo", "rome", "lima"};
  std::vector<Row> rows;
  for (int i = first; i < first + n; ++i) {
    Value age = (i % 7 == 3) ? Value() : Value(20.0 + i);
    Value city = (i % 5 == 4) ? Value() : Value(cities[i % 3]);
    rows.push_back(frame_row(i, age, city, 19000 + i, i % 2 == 0, i % 2 ? "1.50" : "-2.25", i % 3 == 0, i % 2));
  }
  return rows;
}

inline DataFrame frame(int first, int n) { return session()->createDataFrame(frame_rows(first, n), frame_schema()); }

inline std::uint64_t jobs() { return session()->backend().jobCount(); }

}  // namespace spark_test
