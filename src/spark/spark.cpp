#include "spark/spark.h"

#include <mutex>
#include <typeindex>

#include "host/calculations.h"

namespace spark {

void load() {
  static std::once_flag once;
  std::call_once(once, [] {
    calculation_handlers::load();
    metrics::load();
    utils::load();
    norq::register_histogram_handler(typeid(SparkDataFrame),
                                     [](const norq::HistogramRequest& r) { return spark_histogram_handler(r); });
  });
}

const std::vector<std::string>& exported_names() {
  static const std::vector<std::string> names = {"SimpleSparkDataset", "BiasSparkDataset", "SimpleSparkDatasetBuilder",
                                                 "BiasSparkDatasetBuilder", "SparkPrecalculatedModel"};
  return names;
}

}  // namespace spark
