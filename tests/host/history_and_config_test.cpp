// The event history's file handling (layouts it refuses, damaged entries, what it records) and configuration
// values turned into the engine's values.
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "host/config.h"
#include "host/datasets.h"
#include "host/errors.h"
#include "host/events.h"

using namespace norq;

namespace {

namespace fs = std::filesystem;

class NamedDataset : public AbstractDataset {
 public:
  explicit NamedDataset(std::string name) : name_(std::move(name)) {
    sums_.set("validation_data", "0000000000000002");  // kept in the dataset's order, not sorted
    sums_.set("training_data", "0000000000000001");
  }
  DataBackend data_backend() const override { return DataBackend::SPARK; }
  std::string name() const override { return name_; }
  std::string id() const override { return "id-" + name_; }
  std::string overall_checksum() const override { return "abcdef0123456789"; }
  const OrderedStringMap& checksum() const override { return sums_; }
  std::int64_t number_of_samples() const override { return 1; }
  std::string target_name() const override { return "y"; }
  std::vector<std::string> feature_names() const override { return {"a"}; }
  std::vector<std::string> all_feature_names() const override { return {"a"}; }

 private:
  std::string name_;
  OrderedStringMap sums_;
};

class EventFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("norq_event_file_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  static void sql(const std::string& file, const std::string& statements) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    const int rc = sqlite3_exec(db, statements.c_str(), nullptr, nullptr, &err);
    const std::string message = err ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << message;
  }
  // The message of the Exception opening the history at `file` raises ("" when it opens).
  static std::string openError(const std::string& file) {
    try {
      EventHistory h(file);
    } catch (const Exception& e) {
      return e.what();
    }
    return "";
  }

  fs::path dir_;
};

TEST_F(EventFile, RecordsWhatTheDatasetSays) {
  EventHistory h(path("h.sqlite"));
  const EventRecord r = h.record(Events::DATASET_UPDATED, NamedDataset("loans"));
  EXPECT_EQ(r.event, "DATASET_UPDATED");
  EXPECT_EQ(r.dataset_id, "id-loans");
  // UTC, to the microsecond.
  EXPECT_TRUE(std::regex_match(r.time, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)"))) << r.time;
  const auto back = h.last("loans", Events::DATASET_UPDATED);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->id, r.id);
  EXPECT_EQ(back->time, r.time);
  ASSERT_EQ(back->checksums.size(), 2u);
  EXPECT_EQ(back->checksums.items()[0].first, "validation_data");
  EXPECT_EQ(back->checksums.items()[1], (std::pair<std::string, std::string>{"training_data", "0000000000000001"}));
  EXPECT_FALSE(h.last("loans", Events::DATASET_SCANNED));
  // Names are compared exactly: another case is another dataset.
  EXPECT_TRUE(h.events("Loans").empty());
  // A name holding quotes is data, not SQL.
  h.record(Events::DATASET_CREATED, NamedDataset("x' OR '1'='1"));
  EXPECT_EQ(h.events("x' OR '1'='1").size(), 1u);
  EXPECT_TRUE(h.events("nobody' OR '1'='1").empty());
}

TEST_F(EventFile, OtherLayoutsAreRefusedAndLeftAsTheyWere) {
  const std::string older = path("older.sqlite");
  sql(older, "CREATE TABLE events (id INTEGER PRIMARY KEY, event TEXT, dataset_name TEXT, dataset_id TEXT, "
             "overall_checksum TEXT, time TEXT); INSERT INTO events (event) VALUES ('kept')");
  const std::string message = openError(older);
  EXPECT_NE(message.find("its events table has another layout (no column checksums)"), std::string::npos) << message;
  EXPECT_NE(message.find(older), std::string::npos) << message;
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(older.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE name = 'events_by_name'", -1, &s, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(s, 0), 0);  // nothing was added to it
  sqlite3_finalize(s);
  sqlite3_close(db);

  // A file that is not a database is refused, and left in place.
  const std::string text = path("notes.sqlite");
  std::ofstream(text) << std::string(2048, 'n');
  EXPECT_NE(openError(text), "");
  EXPECT_EQ(fs::file_size(text), 2048u);
  // A history that cannot be created leaves nothing behind.
  EXPECT_NE(openError(path("missing/h.sqlite")), "");
  EXPECT_FALSE(fs::exists(path("missing")));
  // An empty database file becomes a history.
  sql(path("empty.sqlite"), "");
  EXPECT_EQ(openError(path("empty.sqlite")), "");
}

TEST_F(EventFile, DamagedEntriesKeepTheirOtherFields) {
  const std::string file = path("h.sqlite");
  {
    EventHistory h(file);
    h.record(Events::DATASET_CREATED, NamedDataset("loans"));
  }
  sql(file,
      "INSERT INTO events (event, dataset_name, dataset_id, overall_checksum, checksums, time) VALUES "
      "('DATASET_SCANNED', 'loans', 'id-2', 'c2', '{not json', 't2'), "
      "('DATASET_SCANNED', 'loans', 'id-3', 'c3', '[[1, \"x\"], [\"training_data\", \"ab\"], [\"only\"]]', 't3')");
  EventHistory h(file);
  const auto all = h.events("loans");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].overall_checksum, "c2");
  EXPECT_TRUE(all[1].checksums.empty());
  EXPECT_EQ(all[2].time, "t3");
  ASSERT_EQ(all[2].checksums.size(), 1u);  // only the well-formed pair
  EXPECT_EQ(all[2].checksums.get("training_data"), "ab");
  EXPECT_EQ(h.last("loans")->dataset_id, "id-3");
}

TEST(ConfigValues, JsonBecomesTheEnginesValues) {
  using engine::Value;
  EXPECT_EQ(json_to_value(nlohmann::json(7)), Value(7));
  EXPECT_EQ(json_to_value(nlohmann::json(-2147483648LL)), Value(static_cast<int>(-2147483647 - 1)));
  EXPECT_EQ(json_to_value(nlohmann::json(3000000000LL)), Value(3000000000L));  // beyond an int: a bigint
  EXPECT_EQ(json_to_value(nlohmann::json(9223372036854775807ULL)), Value(9223372036854775807L));
  EXPECT_EQ(json_to_value(nlohmann::json(0.5)), Value(0.5));
  EXPECT_EQ(json_to_value(nlohmann::json("M")), Value(std::string("M")));
  EXPECT_EQ(json_to_value(nlohmann::json(false)), Value(false));
  EXPECT_TRUE(json_to_value(nlohmann::json()).isNull());
  // Beyond the signed 64-bit range the number would wrap to a negative one: refused.
  EXPECT_THROW(json_to_value(nlohmann::json::parse("18446744073709551615")), ConfigError);
  EXPECT_THROW(json_to_value(nlohmann::json::parse("[1]")), ConfigError);
  EXPECT_THROW(json_to_value(nlohmann::json::parse("{\"a\": 1}")), ConfigError);

  std::optional<std::vector<Value>> values;
  fill_missing(values, nlohmann::json{{"privileged", "M"}}, "privileged");
  ASSERT_TRUE(values);
  EXPECT_EQ(*values, std::vector<Value>{Value(std::string("M"))});  // a single value is a list of one
  std::optional<std::vector<Value>> none;
  fill_missing(none, nlohmann::json{{"privileged", nullptr}}, "privileged");
  EXPECT_FALSE(none);
  std::optional<std::vector<Value>> given = std::vector<Value>{Value(1)};
  fill_missing(given, nlohmann::json{{"privileged", {2, 3}}}, "privileged");
  EXPECT_EQ(*given, std::vector<Value>{Value(1)});
  std::optional<Value> one;
  fill_missing(one, nlohmann::json::array({1}), "privileged");  // not an object: nothing to take
  EXPECT_FALSE(one);
}

TEST(ConfigValues, SectionsMustBeObjects) {
  const fs::path file = fs::temp_directory_path() / ("norq_config_sections_" + std::to_string(::getpid()) + ".json");
  std::ofstream(file) << R"({"dataset": [1, 2], "bias": {"protected": "g"}})";
  set_config_file(file.string());
  EXPECT_THROW(config_section("dataset"), ConfigError);
  EXPECT_EQ(config_section("bias")["protected"], "g");
  EXPECT_TRUE(config_section("absent").empty());
  set_config_file("");
  fs::remove(file);
}

// Integer options (the random seed) take whole numbers within their range only: a fraction was cut, and a
// number like 4e27 was converted to a 64-bit integer it does not fit (undefined behaviour, found by fuzzing).
TEST(ConfigValues, IntegerOptionsTakeWholeNumbersInRange) {
  auto seedFrom = [](const nlohmann::json& value) {
    std::optional<std::int64_t> seed;
    fill_missing(seed, nlohmann::json{{"random_seed", value}}, "random_seed");
    return seed;
  };
  EXPECT_EQ(seedFrom(42), 42);
  EXPECT_EQ(seedFrom(-7), -7);
  EXPECT_EQ(seedFrom(nlohmann::json(INT64_MAX)), INT64_MAX);
  for (const nlohmann::json& bad : {nlohmann::json::parse("4e27"), nlohmann::json(1.5), nlohmann::json(2.0),
                                    nlohmann::json(UINT64_MAX), nlohmann::json(true), nlohmann::json("12")}) {
    try {
      seedFrom(bad);
      ADD_FAILURE() << "accepted " << bad.dump();
    } catch (const ConfigError& e) {
      EXPECT_NE(std::string(e.what()).find("random_seed"), std::string::npos) << e.what();
    }
  }
  std::optional<int> small;
  EXPECT_THROW(fill_missing(small, nlohmann::json{{"bins", 3000000000LL}}, "bins"), ConfigError);
  std::optional<std::uint32_t> unsignedField;
  EXPECT_THROW(fill_missing(unsignedField, nlohmann::json{{"n", -1}}, "n"), ConfigError);
}

}  // namespace
