// The package entry: loading it registers every engine variant of the framework's calculations (two-sample
// KS test, metrics, predictions) and the drift histogram handler for engine frames, once per process. Each
// module's registration can also be loaded alone (spark::metrics::load(), ...); only this entry registers
// the histogram handler. Nothing else happens at load time: no configuration is read, no session created.
#pragma once

#include <string>
#include <vector>

#include "engine/dataframe.h"
#include "spark/calculation_handlers.h"
#include "spark/datasets/bias_spark_dataset.h"
#include "spark/datasets/builders/bias_dataset_builder.h"
#include "spark/datasets/builders/simple_dataset_builder.h"
#include "spark/datasets/simple_spark_dataset.h"
#include "spark/ks_2samp.h"
#include "spark/metrics.h"
#include "spark/model.h"
#include "spark/utils.h"

namespace spark {

using SparkDataFrame = engine::DataFrame;

// Loads the package (idempotent, thread-safe).
void load();

// The package's exported names, in order.
const std::vector<std::string>& exported_names();

}  // namespace spark
