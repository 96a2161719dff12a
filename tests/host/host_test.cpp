// The framework layer: calculation routing, the shared memo, kind-list exclusion, configuration defaults and
// the event history.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/calculations.h"
#include "host/config.h"
#include "host/datasets.h"
#include "host/errors.h"
#include "host/events.h"
#include "host/lru_memo.h"
#include "host/utils.h"

using namespace norq;

namespace {

struct FrameA {
  int rows = 0;
};
struct FrameB {};

class FakeDataset : public AbstractDataset {
 public:
  FakeDataset(std::string name, std::string overall) : name_(std::move(name)), overall_(std::move(overall)) {
    sums_.set("training_data", "0000000000000001");
    sums_.set("validation_data", "ffffffffffffffff");
  }
  DataBackend data_backend() const override { return DataBackend::SPARK; }
  std::string name() const override { return name_; }
  std::string id() const override { return "id-" + name_; }
  std::string overall_checksum() const override { return overall_; }
  const OrderedStringMap& checksum() const override { return sums_; }
  std::int64_t number_of_samples() const override { return 3; }
  std::string target_name() const override { return "y"; }
  std::vector<std::string> feature_names() const override { return {"a"}; }
  std::vector<std::string> all_feature_names() const override { return {"a"}; }

 private:
  std::string name_, overall_;
  OrderedStringMap sums_;
};

}  // namespace

TEST(Calculations, RoutesByNameAndDataType) {
  auto proxy = proxy_calculation_for_type("rows_a", std::type_index(typeid(FrameA)));
  auto fn = proxy([](const CalculationParams& p) { return std::any_cast<FrameA>(p.data).rows * 2.0; });
  EXPECT_EQ(fn(CalculationParams{.data = FrameA{4}}), 8.0);  // the registered function is returned unchanged

  CalculationParams p;
  p.data = FrameA{21};
  EXPECT_EQ(calculate_as<double>("rows_a", p), 42.0);
  Calculation named("rows_a");
  auto result = named(p);
  ASSERT_EQ(result.count("rows_a"), 1u);
  EXPECT_EQ(std::any_cast<double>(result["rows_a"]), 42.0);

  p.data = FrameB{};
  try {
    calculate("rows_a", p);
    FAIL() << "expected CalculationNotFound";
  } catch (const CalculationNotFound& e) {
    EXPECT_NE(std::string(e.what()).find("'rows_a'"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("FrameB"), std::string::npos);
  }
  EXPECT_THROW(calculate("no_such", CalculationParams{}), CalculationNotFound);
}

TEST(Calculations, HistogramHandlersRouteByTheExpectedSample) {
  EXPECT_FALSE(has_histogram_handler(std::type_index(typeid(FrameB))));
  register_histogram_handler(std::type_index(typeid(FrameB)), [](const HistogramRequest& r) {
    return HistogramResult{{r.is_categorical ? 1.0 : 0.5}, {0.5}};
  });
  HistogramRequest req;
  req.expected_dist = FrameB{};
  req.is_categorical = true;
  EXPECT_EQ(histogram(req).first, std::vector<double>{1.0});
  req.expected_dist = FrameA{};
  EXPECT_THROW(histogram(req), CalculationNotFound);
}

TEST(LruMemo, EvictsLeastRecentlyUsedAndKeepsObjectsAlive) {
  LruMemo<FrameA, int, std::string> memo(2);
  auto a = std::make_shared<const FrameA>(FrameA{1});
  auto b = std::make_shared<const FrameA>(FrameA{2});
  int computed = 0;
  auto get = [&](const std::shared_ptr<const FrameA>& o, const std::string& arg) {
    return memo.get(o, arg, [&] {
      ++computed;
      return o->rows * 10 + static_cast<int>(arg.size());
    });
  };
  EXPECT_EQ(get(a, "x"), 11);
  EXPECT_EQ(get(a, "x"), 11);
  EXPECT_EQ(computed, 1);
  EXPECT_EQ(get(b, "x"), 21);
  EXPECT_EQ(get(a, "x"), 11);   // a is now the most recent
  EXPECT_EQ(get(b, "yy"), 22);  // evicts (b, "x")
  EXPECT_EQ(computed, 3);
  EXPECT_EQ(get(a, "x"), 11);
  EXPECT_EQ(computed, 3);
  EXPECT_EQ(get(b, "x"), 21);
  EXPECT_EQ(computed, 4);
  EXPECT_EQ(memo.size(), 2u);

  std::weak_ptr<const FrameA> weak = a;
  a.reset();
  EXPECT_FALSE(weak.expired());  // the memo entry holds it
  memo.clear();
  EXPECT_TRUE(weak.expired());

  // A computation that throws stores nothing.
  auto c = std::make_shared<const FrameA>(FrameA{3});
  EXPECT_THROW(memo.get(c, "z", []() -> int { throw ValueError("boom"); }), ValueError);
  EXPECT_EQ(memo.size(), 0u);
}

TEST(Utils, MutualExclusionAndPythonTextForms) {
  std::vector<std::string> cat{"a", "b"}, cont{"b", "c", "a"}, ids{"d"};
  ensure_mutual_exclusion(cat, {&cont, &ids, &cat});
  EXPECT_EQ(cont, std::vector<std::string>{"c"});
  EXPECT_EQ(ids, std::vector<std::string>{"d"});
  EXPECT_EQ(cat, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(format_list({"a", "b"}), "['a', 'b']");
  EXPECT_EQ(format_set({"z", "a", "z"}), "{'a', 'z'}");
  EXPECT_EQ(format_set({}), "set()");
  EXPECT_EQ(format_list({"it's"}), "[\"it's\"]");
}

namespace {
struct DatasetOptions {
  std::optional<std::string> label;
  std::optional<int> random_seed;
  std::optional<std::vector<std::string>> cat_col;
  void fill_missing_from(const nlohmann::json& j) {
    fill_missing(label, j, "label");
    fill_missing(random_seed, j, "random_seed");
    fill_missing(cat_col, j, "cat_col");
  }
};
std::string writeTemp(const std::string& name, const std::string& text) {
  auto p = std::filesystem::temp_directory_path() / name;
  std::ofstream(p) << text;
  return p.string();
}
}  // namespace

TEST(Config, FillsOnlyWhatTheCallerLeftOut) {
  set_config_file(writeTemp("norq_cfg_test.json",
                            R"({"label": "top", "dataset": {"label": "y", "random_seed": 7, "cat_col": ["a"]}})"));
  DatasetOptions given;
  given.label = "mine";
  auto filled = use_config_section_for_missing_args(given, "dataset");
  EXPECT_EQ(filled.label, "mine");
  EXPECT_EQ(filled.random_seed, 7);
  EXPECT_EQ(filled.cat_col, (std::vector<std::string>{"a"}));
  auto top = use_config_for_missing_args(DatasetOptions{});
  EXPECT_EQ(top.label, "top");
  EXPECT_FALSE(top.random_seed);

  set_config_file(writeTemp("norq_cfg_bad.json", R"({"dataset": {"random_seed": "seven"}})"));
  EXPECT_THROW(use_config_section_for_missing_args(DatasetOptions{}, "dataset"), ConfigError);
  EXPECT_THROW(set_config_file(writeTemp("norq_cfg_broken.json", "{not json")), ConfigError);
  EXPECT_THROW(set_config_file("/nonexistent/norq.json"), ConfigError);
  set_config_file("");
  EXPECT_TRUE(config().empty());
}

TEST(Events, RecordsAndPersistsTheHistory) {
  auto path = (std::filesystem::temp_directory_path() / "norq_events_test.sqlite").string();
  std::filesystem::remove(path);
  set_event_database(path);
  FakeDataset first("loans", "aaaaaaaaaaaaaaaa"), second("loans", "bbbbbbbbbbbbbbbb"), other("hires", "cccccccccccccccc");
  auto r1 = handle_event(Events::DATASET_CREATED, first);
  handle_event(Events::DATASET_SCANNED, second);
  handle_event(Events::DATASET_CREATED, other);
  EXPECT_GT(r1.id, 0);
  EXPECT_EQ(r1.checksums.items().front().first, "training_data");

  set_event_database(path);  // reopen: the history survives
  auto loans = event_history().events("loans");
  ASSERT_EQ(loans.size(), 2u);
  EXPECT_EQ(loans[0].event, "DATASET_CREATED");
  EXPECT_EQ(loans[1].overall_checksum, "bbbbbbbbbbbbbbbb");
  EXPECT_EQ(loans[1].checksums.get("validation_data"), "ffffffffffffffff");
  auto lastCreated = event_history().last("loans", Events::DATASET_CREATED);
  ASSERT_TRUE(lastCreated);
  EXPECT_EQ(lastCreated->overall_checksum, "aaaaaaaaaaaaaaaa");
  EXPECT_FALSE(event_history().last("nobody"));
  EXPECT_EQ(event_history().events().size(), 3u);

  set_event_database(":memory:");
  EXPECT_TRUE(event_history().events().empty());
  EXPECT_THROW(set_event_database("/nonexistent-dir/x/events.sqlite"), Exception);
  std::filesystem::remove(path);
}
