// Terminal summary of a scan report.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "cli_error.h"
#include "output_table.h"
#include "scan_output.h"

namespace cli {

using json = nlohmann::json;

namespace {

std::string num(const json& v, int digits = 4) {
  if (v.is_null()) return "-";
  if (v.is_number_integer()) return std::to_string(v.get<std::int64_t>());
  if (v.is_number()) return fmt::format("{:.{}g}", v.get<double>(), digits);
  if (v.is_string()) return v.get<std::string>();
  return v.dump();
}

// Columns padded to their widest cell; numbers right-aligned.
std::string table(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows,
                  const std::vector<bool>& rightAligned) {
  std::vector<std::size_t> width(header.size());
  for (std::size_t c = 0; c < header.size(); ++c) width[c] = displayWidth(header[c]);
  for (const auto& r : rows)
    for (std::size_t c = 0; c < r.size() && c < width.size(); ++c) width[c] = std::max(width[c], displayWidth(r[c]));
  auto line = [&](const std::vector<std::string>& cells) {
    std::string s = " ";
    for (std::size_t c = 0; c < cells.size(); ++c) {
      const std::size_t pad = width[c] - std::min(width[c], displayWidth(cells[c]));
      const bool right = c < rightAligned.size() && rightAligned[c];
      s += "  " + (right ? std::string(pad, ' ') + cells[c] : cells[c] + std::string(pad, ' '));
    }
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s + "\n";
  };
  std::string out = line(header);
  for (const auto& r : rows) out += line(r);
  return out;
}

struct Style {
  bool on;
  std::string bold(const std::string& s) const { return on ? "\033[1m" + s + "\033[0m" : s; }
  std::string good(const std::string& s) const { return on ? "\033[32m" + s + "\033[0m" : s; }
  std::string bad(const std::string& s) const { return on ? "\033[31m" + s + "\033[0m" : s; }
};

}  // namespace

std::string renderSummary(const json& r, bool colour) {
  const Style st{colour};
  std::ostringstream out;
  const json& d = r["dataset"];
  out << st.bold("Dataset " + d["name"].get<std::string>()) << "  " << d["rows"].get<std::int64_t>() << " rows ("
      << d["training_rows"].get<std::int64_t>() << " training, " << d["validation_rows"].get<std::int64_t>()
      << " validation, " << d["testing_rows"].get<std::int64_t>() << " testing)\n";
  out << "  id " << d["id"].get<std::string>() << ", checksum " << d["overall_checksum"].get<std::string>();
  const json& h = r["history"];
  if (h["checksums_match"].is_null())
    out << " (first scan of this name)\n";
  else if (h["checksums_match"].get<bool>())
    out << " " << st.good("(unchanged since the last scan, " + h["previous_scan"].get<std::string>() + ")") << "\n";
  else
    out << " " << st.bad("(changed since the last scan, " + h["previous_scan"].get<std::string>() + ")") << "\n";
  out << "  target " << d["target"].get<std::string>();
  if (!d["prediction"].is_null()) out << ", prediction " << d["prediction"].get<std::string>();
  if (!d["protected"].is_null()) out << ", protected " << d["protected"].get<std::string>();
  out << "\n";

  if (r.contains("profile")) {
    out << "\n" << st.bold("Profile") << "\n";
    std::vector<std::vector<std::string>> rows;
    for (const json& f : r["profile"]) {
      const json& mf = f["missing_fraction"];
      rows.push_back({f["feature"].get<std::string>(), f["type"].get<std::string>(), num(f["minimum"]),
                      num(f["maximum"]), num(f["distinct_values"]), num(f["missing_values"]),
                      mf.is_null() ? "-" : fmt::format("{:.1f}%", mf.get<double>() * 100)});
    }
    out << table({"feature", "type", "minimum", "maximum", "distinct", "missing", "missing %"}, rows,
                 {false, false, true, true, true, true, true});
  }
  if (r.contains("quality")) {
    out << "\n" << st.bold("Data quality") << "\n";
    std::vector<std::vector<std::string>> rows;
    const json& q = r["quality"];
    auto add = [&](const std::string& what, const json& v) {
      const auto n = v["count"].get<std::int64_t>();
      rows.push_back({what, n == 0 ? st.good("0") : st.bad(std::to_string(n))});
    };
    if (q.contains("duplicates")) add("duplicate rows", q["duplicates"]);
    for (const json& o : q["ordering"]) add(o["gt"].get<std::string>() + " >= " + o["lt"].get<std::string>(), o);
    for (const json& m : q["missing_ids"]) add("missing " + m["id"].get<std::string>(), m);
    out << (rows.empty() ? "   no checks asked for\n" : table({"check", "violating rows"}, rows, {false, true}));
  }
  if (r.contains("metrics")) {
    const json& m = r["metrics"];
    out << "\n" << st.bold("Model metrics") << " (" << m["segment"].get<std::string>() << " segment, "
        << m["rows"].get<std::int64_t>() << " rows)\n";
    std::vector<std::vector<std::string>> rows;
    const json& f = m["fairness"];
    for (const auto& [name, v] : m["values"].items()) {
      std::vector<std::string> row{name, num(v)};
      if (!f.is_null())
        for (const char* k : {"privileged_values", "unprivileged_values", "metric_diff"}) row.push_back(num(f[k][name]));
      rows.push_back(row);
    }
    if (f.is_null()) {
      out << table({"metric", "value"}, rows, {false, true});
    } else {
      out << "  groups of " << f["protected"].get<std::string>() << ": privileged " << f["privileged"].dump() << " ("
          << f["privileged_rows"].get<std::int64_t>() << " rows), unprivileged " << f["unprivileged"].dump() << " ("
          << f["unprivileged_rows"].get<std::int64_t>() << " rows)\n";
      out << table({"metric", "value", "privileged", "unprivileged", "difference"}, rows,
                   {false, true, true, true, true});
    }
  }
  if (r.contains("drift")) {
    const json& dr = r["drift"];
    out << "\n" << st.bold("Drift") << " against " << dr["reference"]["source"].get<std::string>() << " ("
        << dr["reference"]["rows"].get<std::int64_t>() << " rows)\n";
    std::vector<std::vector<std::string>> rows;
    for (const json& f : dr["features"]) {
      if (f.contains("error")) {
        rows.push_back({f["feature"].get<std::string>(), f["kind"].get<std::string>(), "-", "-", "-", f["error"].get<std::string>()});
        continue;
      }
      const json& ks = f["ks"];
      rows.push_back({f["feature"].get<std::string>(), f["kind"].get<std::string>(),
                      ks.is_null() ? "-" : num(ks["statistic"]), ks.is_null() ? "-" : num(ks["pvalue"]), num(f["psi"]), ""});
    }
    out << table({"feature", "kind", "KS statistic", "p-value", "PSI", ""}, rows, {false, false, true, true, true, false});
  }
  const json& crossed = r["thresholds_crossed"];
  if (!crossed.empty()) {
    out << "\n" << st.bad("Thresholds crossed:") << "\n";
    for (const json& c : crossed) out << "   " << c.get<std::string>() << "\n";
  }
  return out.str();
}

}  // namespace cli
