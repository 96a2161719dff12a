// Terminal summary of a scan report.
#include <unistd.h>

#include <cmath>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "cli_error.h"
#include "output_table.h"
#include "scan_output.h"
#include "spark/drift_report.h"

namespace cli {

using json = nlohmann::json;

namespace {

std::string num(const json& v) {
  if (v.is_null()) return "-";
  if (v.is_number_integer()) return readableNumber(static_cast<double>(v.get<std::int64_t>()));
  if (v.is_number()) return readableNumber(v.get<double>());
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
  std::string warn(const std::string& s) const { return on ? "\033[33m" + s + "\033[0m" : s; }
  std::string verdict(const std::string& v) const {
    return v == "drifted" || v == "failed" ? bad(v) : v == "moderate" || v == "warnings" ? warn(v) : good(v);
  }
};

int verdictRank(const json& f) {
  const std::string v = f.value("verdict", "stable");
  return v == "drifted" ? 0 : v == "moderate" ? 1 : 2;
}

}  // namespace

std::string readableNumber(double v) {
  if (!std::isfinite(v)) return "-";
  const double a = std::fabs(v);
  if (a >= 1e12) return fmt::format("{:.3g}", v);
  if (a >= 1000 || (a >= 1 && v == std::round(v))) {
    const std::string digits = fmt::format("{:.0f}", std::fabs(std::round(v)));
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
      if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
      out.push_back(digits[i]);
    }
    return (v < 0 ? "-" : "") + out;
  }
  if (a == 0) return "0";
  if (a < 1e-4) return fmt::format("{:.2g}", v);
  return fmt::format("{:.4g}", v);
}

std::string pvalueText(const json& p) {
  if (!p.is_number()) return "-";
  const double v = p.get<double>();
  if (v <= 0) return "< 1e-300";
  if (v < 1e-3) return fmt::format("{:.2g}", v);
  return fmt::format("{:.3g}", v);
}

std::string dateBound(const json& f, const char* key) {
  if (f.value("type", "") != "Date" || !f[key].is_number()) return "";
  const double seconds = f[key].get<double>();
  const auto t = static_cast<std::time_t>(std::floor(seconds));
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, std::fmod(seconds, 86400.0) == 0 ? "%Y-%m-%d" : "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string crossedText(const json& t) {
  spark::ThresholdCrossed c;
  c.check = t.value("check", "");
  c.feature = t.value("feature", "");
  c.value = t["value"].is_number() ? t["value"].get<double>() : std::nan("");
  c.limit = t["limit"].is_number() ? t["limit"].get<double>() : std::nan("");
  if (c.check == "pvalue_below") return "drift of " + c.feature + ": KS p-value " + pvalueText(t["value"]) +
                                        " below " + fmt::format("{:g}", c.limit);
  return spark::describe(c);
}

std::vector<const json*> driftRowsByVerdict(const json& r) {
  std::vector<const json*> rows;
  if (!r.contains("drift")) return rows;
  for (const json& f : r["drift"]["features"]) rows.push_back(&f);
  std::stable_sort(rows.begin(), rows.end(), [](const json* a, const json* b) {
    const int ra = verdictRank(*a), rb = verdictRank(*b);
    if (ra != rb) return ra < rb;
    const double pa = a->contains("psi") && (*a)["psi"].is_number() ? (*a)["psi"].get<double>() : -1;
    const double pb = b->contains("psi") && (*b)["psi"].is_number() ? (*b)["psi"].get<double>() : -1;
    return pa > pb;
  });
  return rows;
}

std::string renderSummary(const json& r, bool colour) {
  const Style st{colour};
  std::ostringstream out;
  const json& d = r["dataset"];
  if (r.contains("summary")) {
    const json& sm = r["summary"];
    const std::string status = r["status"].get<std::string>();
    out << st.bold("Status: ") << st.verdict(status == "passed" ? "passed" : status) << "  ("
        << sm["thresholds_crossed"].get<std::size_t>() << " checks failed";
    if (r.contains("drift"))
      out << ", " << sm["features_drifted"].get<std::size_t>() << " columns drifted, "
          << sm["features_moderate"].get<std::size_t>() << " moderately shifted";
    if (r.contains("quality")) out << ", " << sm["violations"].get<std::int64_t>() << " violating rows";
    if (r.contains("metrics")) out << ", " << sm["metrics_below"].get<std::size_t>() << " metrics below their limits";
    out << ")\n";
    for (const json& c : r["thresholds_crossed"]) out << "  " << st.bad("FAILED") << " " << crossedText(c) << "\n";
    out << "\n";
  }
  out << st.bold("Dataset " + d["name"].get<std::string>()) << "  " << num(d["rows"]) << " rows ("
      << num(d["training_rows"]) << " training, " << num(d["validation_rows"])
      << " validation, " << num(d["testing_rows"]) << " testing)\n";
  out << "  id " << d["id"].get<std::string>() << ", checksum " << d["overall_checksum"].get<std::string>();
  const json& h = r["history"];
  // The rows as read decide whether the data changed (other --id or --date options change the dataset's
  // own checksum, not the data).
  const json& same = h.contains("data_unchanged") && !h["data_unchanged"].is_null() ? h["data_unchanged"]
                                                                                   : h["checksums_match"];
  if (same.is_null())
    out << " (first scan of this name)\n";
  else if (same.get<bool>())
    out << " " << st.good("(unchanged since the last scan, " + h["previous_scan"].get<std::string>() + ")") << "\n";
  else
    out << " " << st.bad("(changed since the last scan, " + h["previous_scan"].get<std::string>() + ")") << "\n";
  out << "  target " << d["target"].get<std::string>();
  if (!d["prediction"].is_null()) out << ", prediction " << d["prediction"].get<std::string>();
  if (!d["protected"].is_null()) out << ", protected " << d["protected"].get<std::string>();
  out << "\n";
  if (d.contains("kinds") && !d["kinds"].empty()) {
    // Which columns got which kind, and from where: a guess can be overridden.
    bool anyGuess = false;
    for (const char* kind : {"categorical", "continuous"})
      for (const char* source : {"given", "rest", "guessed"}) {
        std::string names;
        for (const json& k : d["kinds"])
          if (k["kind"] == kind && k["source"] == source) names += (names.empty() ? "" : ", ") + k["column"].get<std::string>();
        if (names.empty()) continue;
        anyGuess = anyGuess || std::string(source) == "guessed";
        const char* how = std::string(source) == "given" ? "given" : std::string(source) == "rest" ? "the others" : "guessed";
        out << "  " << kind << " (" << how << "): " << names << "\n";
      }
    if (anyGuess) out << "  Guessed kinds follow the row count; set them with --categorical COLS or --continuous COLS.\n";
    for (const json& k : d["kinds"])
      if (k.value("near_limit", false)) {
        const std::string column = k["column"].get<std::string>();
        const bool categorical = k["kind"] == "categorical";
        out << "  " << st.warn("note:") << " " << column << " is guessed " << k["kind"].get<std::string>() << " from "
            << num(k["distinct"]) << " distinct values in " << num(k["rows"]) << " rows; "
            << (categorical ? "below " : "above ") << num(k["rows_at_limit"]) << " rows it would be guessed "
            << (categorical ? "continuous" : "categorical") << ": give --" << k["kind"].get<std::string>() << " "
            << column << " to keep it\n";
      }
  }

  if (r.contains("profile")) {
    out << "\n" << st.bold("Profile") << "\n";
    std::vector<std::vector<std::string>> rows;
    for (const json& f : r["profile"]) {
      const json& mf = f["missing_fraction"];
      const std::string lo = dateBound(f, "minimum"), hi = dateBound(f, "maximum");
      rows.push_back({f["feature"].get<std::string>(), f["type"].get<std::string>(), lo.empty() ? num(f["minimum"]) : lo,
                      hi.empty() ? num(f["maximum"]) : hi,
                      num(f.contains("distinct_count") ? f["distinct_count"] : f["distinct_values"]), num(f["missing_values"]),
                      num(f.value("nan_values", json(0))), mf.is_null() ? "-" : fmt::format("{:.1f}%", mf.get<double>() * 100)});
    }
    out << table({"feature", "type", "minimum", "maximum", "distinct", "missing", "of which NaN", "missing %"}, rows,
                 {false, false, true, true, true, true, true, true});
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
        << num(m["rows"]) << " rows)\n";
    std::vector<std::vector<std::string>> rows;
    const json& f = m["fairness"];
    for (const auto& [name, v] : m["values"].items()) {
      std::vector<std::string> row{name, num(v)};
      if (!f.is_null())
        for (const char* k : {"privileged_values", "unprivileged_values", "metric_diff"})
          row.push_back(f[k].contains(name) ? num(f[k][name]) : "-");
      rows.push_back(row);
    }
    if (f.is_null()) {
      out << table({"metric", "value"}, rows, {false, true});
    } else {
      out << "  groups of " << f["protected"].get<std::string>() << ": privileged " << f["privileged"].dump() << " ("
          << num(f["privileged_rows"]) << " rows), unprivileged " << f["unprivileged"].dump() << " ("
          << num(f["unprivileged_rows"]) << " rows)\n";
      out << table({"metric", "value", "privileged", "unprivileged", "difference"}, rows,
                   {false, true, true, true, true});
    }
    if (m.contains("confusion_matrix")) {
      const json& cm = m["confusion_matrix"];
      out << "  confusion matrix: " << num(cm["true_positive"]) << " true positive, " << num(cm["false_positive"])
          << " false positive, " << num(cm["true_negative"]) << " true negative, " << num(cm["false_negative"])
          << " false negative";
      if (cm["other"].get<std::int64_t>() > 0) out << ", " << num(cm["other"]) << " other";
      out << "\n";
    }
  }
  if (r.contains("drift")) {
    const json& dr = r["drift"];
    out << "\n" << st.bold("Drift") << " against " << dr["reference"]["source"].get<std::string>() << " ("
        << num(dr["reference"]["rows"]) << " rows)\n";
    std::vector<std::vector<std::string>> rows;
    for (const json* fp : driftRowsByVerdict(r)) {
      const json& f = *fp;
      std::string kind = f["kind"].get<std::string>();
      if (f.value("role", "feature") != "feature" && f.value("role", "feature") != "date") kind += " (" + f["role"].get<std::string>() + ")";
      if (f.contains("error")) {
        rows.push_back({f["feature"].get<std::string>(), kind, "-", "-", "-", "-", f["error"].get<std::string>()});
        continue;
      }
      const json& ks = f["ks"];
      rows.push_back({f["feature"].get<std::string>(), kind, st.verdict(f["verdict"].get<std::string>()), num(f["psi"]),
                      ks.is_null() ? "-" : num(ks["statistic"]), ks.is_null() ? "-" : pvalueText(ks["pvalue"]), ""});
    }
    out << table({"feature", "kind", "verdict", "PSI", "KS statistic", "p-value", ""}, rows,
                 {false, false, false, true, true, true, false});
    out << "  PSI below 0.1 stable, 0.1 to 0.25 moderate, 0.25 and above drifted. With large samples any shift has a\n"
           "  tiny p-value: judge by the effect size (PSI, KS statistic).\n";
  }
  return out.str();
}

}  // namespace cli
