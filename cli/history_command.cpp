// `norq-spark history [NAME]`: the scans recorded in the history, and with a dataset name how its key
// figures moved over them.
#include <iostream>
#include <map>

#include <fmt/format.h>

#include "cli_error.h"
#include "command.h"
#include "output_table.h"
#include "scan_history.h"
#include "suggest.h"

namespace cli {

namespace {

using json = nlohmann::json;

std::string cell(const json& v) {
  if (v.is_null()) return "-";
  if (v.is_number_integer()) return std::to_string(v.get<std::int64_t>());
  if (v.is_number()) return fmt::format("{:.4g}", v.get<double>());
  if (v.is_string()) return v.get<std::string>();
  return v.dump();
}

std::string padded(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> width;
  for (const auto& r : rows)
    for (std::size_t c = 0; c < r.size(); ++c) {
      if (width.size() <= c) width.push_back(0);
      width[c] = std::max(width[c], displayWidth(r[c]));
    }
  std::string out;
  for (const auto& r : rows) {
    std::string line = " ";
    for (std::size_t c = 0; c < r.size(); ++c)
      line += "  " + r[c] + std::string(width[c] - std::min(width[c], displayWidth(r[c])), ' ');
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

class HistoryCommand final : public Command {
 public:
  void configure(CLI::App& sub) override {
    sub.add_option("name", name_, "Dataset name: its scans and the trends of its key figures");
    sub.add_option("--history", history_, "Event history database (default: NORQ_EVENT_DB or ~/.local/share/norq-spark)")
        ->type_name("FILE");
    sub.add_option("--last", last_, "Scans shown (default 10)")->type_name("N");
    sub.add_flag("--json", json_, "Print the scans as JSON");
  }

  int run(std::ostream& out, std::ostream& err) override {
    try {
      if (last_ < 1) throw CliError("--last must be at least 1");
      const std::string path = historyFile(history_);
      const std::vector<ScanRecord> scans = scanRecords(path, name_, static_cast<std::size_t>(last_));
      if (scans.empty() && name_) {
        std::vector<std::string> names;
        for (const ScanRecord& r : scanRecords(path, std::nullopt, 1000)) names.push_back(r.name);
        throw CliError("no scan of a dataset named " + *name_ + " in " + path + nearestHint(*name_, names));
      }
      if (json_) {
        json a = json::array();
        for (const ScanRecord& r : scans)
          a.push_back({{"time", r.time}, {"name", r.name}, {"command", r.command},
                       {"input_checksum", r.input_checksum}, {"figures", r.figures}});
        out << a.dump(2) << "\n";
        return 0;
      }
      if (scans.empty()) {
        out << "no scans recorded in " << path << "\n";
        return 0;
      }
      std::vector<std::vector<std::string>> rows{{"time", "dataset", "command", "rows", "status", "data checksum"}};
      for (const ScanRecord& r : scans)
        rows.push_back({r.time.substr(0, 19), r.name, r.command, cell(r.figures.value("rows", json())),
                        cell(r.figures.value("status", json())), r.input_checksum});
      out << padded(rows);
      if (name_) out << "\nTrends of " << *name_ << " (oldest first)\n" << trends(scans);
      return 0;
    } catch (const std::exception& e) {
      err << "error: " << e.what() << "\n";
      return kUsageErrorStatus;
    }
  }

 private:
  // One row per figure, one column per scan; a figure's change from the first to the last scan at the end.
  static std::string trends(const std::vector<ScanRecord>& scans) {
    std::map<std::string, std::vector<json>> series;
    std::vector<std::string> order;
    auto add = [&](const std::string& label, std::size_t i, const json& v) {
      auto [it, fresh] = series.try_emplace(label, std::vector<json>(scans.size()));
      if (fresh) order.push_back(label);
      it->second[i] = v;
    };
    for (std::size_t i = 0; i < scans.size(); ++i) {
      const json& f = scans[i].figures;
      add("rows", i, f.value("rows", json()));
      if (f.contains("metrics"))
        for (const auto& [k, v] : f["metrics"].items()) add(k, i, v);
      if (f.contains("columns"))
        for (const auto& [c, figures] : f["columns"].items())
          for (const auto& [k, v] : figures.items()) add(k + " " + c, i, v);
    }
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> header{"figure"};
    for (std::size_t i = 0; i < scans.size(); ++i) header.push_back("#" + std::to_string(i + 1));
    header.push_back("change");
    rows.push_back(header);
    for (const std::string& label : order) {
      const std::vector<json>& s = series[label];
      std::vector<std::string> row{label};
      const json* first = nullptr;
      const json* lastV = nullptr;
      for (const json& v : s) {
        row.push_back(cell(v));
        if (v.is_number()) {
          if (!first) first = &v;
          lastV = &v;
        }
      }
      row.push_back(first && lastV && first != lastV ? fmt::format("{:+.4g}", lastV->get<double>() - first->get<double>()) : "");
      rows.push_back(row);
    }
    return padded(rows);
  }

  std::optional<std::string> name_, history_;
  std::int64_t last_ = 10;
  bool json_ = false;
};

}  // namespace

std::unique_ptr<Command> makeHistoryCommand() { return std::make_unique<HistoryCommand>(); }

}  // namespace cli
