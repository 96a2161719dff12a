// `norq-spark predict`: adds a scikit-learn model's predictions to a data file and writes the result as CSV.
#include <unistd.h>

#include <sstream>

#include "cli_error.h"
#include "command.h"
#include "engine/errors.h"
#include "engine/session.h"
#include "output_files.h"
#include "scan_options.h"
#include "scan_output.h"
#include "spark/predictions.h"
#include "spark/sklearn_model.h"
#include "sql_command.h"

namespace cli {

namespace {

// A CSV field: quoted when it holds the separator, a quote or a line break (quotes doubled); null is empty.
void appendField(std::string& out, const engine::Value& v) {
  if (v.isNull()) return;
  const std::string text = v.is<std::string>() ? v.str() : v.toString();
  if (text.find_first_of(",\"\n\r") == std::string::npos) {
    out += text;
    return;
  }
  out.push_back('"');
  for (char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

std::string toCsv(const engine::LocalTable& table) {
  std::string out;
  const auto names = table.schema().names();
  for (std::size_t c = 0; c < names.size(); ++c) {
    if (c) out.push_back(',');
    appendField(out, engine::Value(names[c]));
  }
  out.push_back('\n');
  for (std::size_t r = 0; r < table.numRows(); ++r) {
    for (std::size_t c = 0; c < table.numColumns(); ++c) {
      if (c) out.push_back(',');
      appendField(out, table.at(r, c));
    }
    out.push_back('\n');
  }
  return out;
}

class PredictCommand final : public Command {
 public:
  void configure(CLI::App& sub) override {
    sub.add_option("data", options_.data, "CSV or Parquet file, or folder of part files, to predict for")->required();
    sub.add_option("--model", model_,
                   "scikit-learn model saved with pickle or joblib (.joblib). Loading it runs code from the file: "
                   "use only files from a trusted source")
        ->required()
        ->type_name("FILE");
    sub.add_option("--output", output_, "CSV file to write the data with its prediction column to ('-' for standard output)")
        ->required()
        ->type_name("FILE");
    sub.add_option("--features", features_, "Feature columns, in the model's order (default: every column but the label)")
        ->type_name("COLS");
    sub.add_option("--label", options_.label, "Target column: left out of the features; predictions take its type");
    sub.add_option("--exclude", exclude_, "Columns that are not features (repeatable or comma-separated)")->type_name("COLS");
    sub.add_option("--prediction-label", predictionLabel_, "Name of the prediction column (default: predictions)");
    sub.add_flag("--no-header", options_.noHeader, "CSV files have no header line");
    addCsvOptions(sub, options_.csv, "Datetime pattern of dates in the CSV file (Spark's patterns, such as dd/MM/yyyy)");
    sub.add_option("--where", options_.where, "Row condition (SQL expression): predict only these rows")->type_name("COND");
  }

  int run(std::ostream& out, std::ostream& err) override {
    try {
      checkOutputPath(output_, "--output");
      auto session = engine::SparkSession::builder().appName("norq-spark").getOrCreate();
      std::vector<std::string> warnings;
      engine::DataFrame data = readInput(*session, options_.data, options_, &warnings);
      for (const std::string& w : warnings) err << "warning: " << singleLine(w) << "\n";
      auto split = [](const std::vector<std::string>& items) {
        std::vector<std::string> v;
        for (const auto& item : items) {
          std::stringstream ss(item);
          std::string part;
          while (std::getline(ss, part, ','))
            if (!part.empty()) v.push_back(part);
        }
        return v;
      };
      spark::PredictionsArgs a;
      a.model = spark::SklearnModel::load(model_);
      a.df = data;
      if (!features_.empty()) a.feature_cols = split(features_);
      a.prediction_label = predictionLabel_;
      a.target_label = options_.label;
      if (!exclude_.empty()) a.exclude_labels = split(exclude_);
      auto [predicted, label] = spark::predictions_from_sklearn(a);
      const std::string csv = toCsv(predicted.toPandas());
      if (output_ == "-") {
        writeStream(out, csv);
      } else {
        writeFileAtomically(output_, csv);
        err << "wrote " << output_ << " with the prediction column " << label << "\n";
      }
      return 0;
    } catch (const engine::ParseException& e) {
      std::string msg = e.what();
      err << "error: " << singleLine(msg.substr(0, msg.find('\n'))) << "\n";
    } catch (const std::exception& e) {
      err << "error: " << singleLine(e.what()) << "\n";
    }
    return kUsageErrorStatus;
  }

 private:
  ScanOptions options_;
  std::string model_, output_;
  std::vector<std::string> features_, exclude_;
  std::optional<std::string> predictionLabel_;
};

}  // namespace

std::unique_ptr<Command> makePredictCommand() { return std::make_unique<PredictCommand>(); }

}  // namespace cli
