// The self-contained HTML report of a scan: inline CSS and SVG, nothing fetched.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>

#include <fmt/format.h>

#include "scan_output.h"
#include "version.h"

namespace cli {

using json = nlohmann::json;

namespace {

std::string esc(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

// A number as a reader expects it: integers and amounts with thousands separators (50,000), fractions with
// four significant digits, no exponent below a billion.
std::string readable(double v) { return std::isfinite(v) ? readableNumber(v) : "&ndash;"; }

std::string text(const json& v) {
  if (v.is_null()) return "&ndash;";
  if (v.is_string()) return esc(v.get<std::string>());
  if (v.is_number_integer()) return readable(static_cast<double>(v.get<std::int64_t>()));
  if (v.is_number()) return readable(v.get<double>());
  return esc(v.dump());
}

// Axis ticks: 0 and round steps (1, 2 or 5 times a power of ten) up to the largest value.
std::vector<double> ticks(double maxV) {
  const double raw = maxV / 4;
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  double step = p;
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * p >= raw) {
      step = m * p;
      break;
    }
  std::vector<double> out;
  for (double t = 0; t <= maxV * 1.0001; t += step) out.push_back(t);
  return out;
}

std::string tickText(double v, bool fraction) {
  if (fraction) return fmt::format("{:g}%", std::round(v * 1000) / 10);
  if (v >= 1e6) return fmt::format("{:g}M", v / 1e6);
  if (v >= 1e4) return fmt::format("{:g}k", v / 1e3);
  return readable(v);
}

// A bar chart of one or two series over the same labels (the second drawn beside the first). `fraction`
// marks proportions (ticks in percent). Bars past `highlightFrom` (the "missing" bar) are drawn grey.
std::string bars(const std::vector<std::string>& labels, const std::vector<std::vector<double>>& series,
                 const std::string& title, bool fraction = false, std::size_t highlightFrom = SIZE_MAX) {
  const double W = 440, H = 220, left = 52, bottom = 58, top = 10;
  const double plotW = W - left - 8, plotH = H - bottom - top;
  double maxV = 0;
  for (const auto& s : series)
    for (double v : s) maxV = std::max(maxV, v);
  if (maxV <= 0) maxV = 1;
  const std::vector<double> ts = ticks(maxV);
  const double axisMax = std::max(maxV, ts.back());
  const std::size_t n = std::max<std::size_t>(labels.size(), 1);
  const double slot = plotW / static_cast<double>(n);
  const double barW = std::max(1.0, slot * 0.8 / static_cast<double>(std::max<std::size_t>(series.size(), 1)));
  static const char* colours[] = {"#4e79a7", "#f28e2b"};
  std::ostringstream o;
  o << fmt::format(R"(<svg class="chart" role="img" aria-label="{}" viewBox="0 0 {} {}" preserveAspectRatio="xMinYMin meet">)",
                   esc(title), W, H);
  for (double t : ts) {
    const double y = top + plotH - t / axisMax * plotH;
    o << fmt::format(R"(<line x1="{}" y1="{:.2f}" x2="{}" y2="{:.2f}" stroke="#e4e4e4"/>)", left, y, W - 8, y);
    o << fmt::format(R"(<text x="{}" y="{:.2f}" class="axis tick" text-anchor="end">{}</text>)", left - 4, y + 3,
                     tickText(t, fraction));
  }
  o << fmt::format(R"(<line x1="{}" y1="{}" x2="{}" y2="{}" stroke="#999"/>)", left, top + plotH, W - 8, top + plotH);
  for (std::size_t s = 0; s < series.size(); ++s) {
    for (std::size_t i = 0; i < series[s].size() && i < n; ++i) {
      const double h = series[s][i] / axisMax * plotH;
      const double x = left + static_cast<double>(i) * slot + slot * 0.1 + static_cast<double>(s) * barW;
      const char* fill = i >= highlightFrom ? "#9e9e9e" : colours[s % 2];
      o << fmt::format(R"(<rect x="{:.2f}" y="{:.2f}" width="{:.2f}" height="{:.2f}" fill="{}"><title>{}: {}</title></rect>)",
                       x, top + plotH - h, barW, h, fill, esc(i < labels.size() ? labels[i] : ""),
                       fraction ? fmt::format("{:.2f}%", series[s][i] * 100) : readable(series[s][i]));
    }
  }
  // Label every bar when they fit, otherwise a few.
  const std::size_t every = std::max<std::size_t>(1, (n + 11) / 12);
  for (std::size_t i = 0; i < labels.size(); i += every) {
    std::string l = labels[i].size() > 16 ? labels[i].substr(0, 15) + "…" : labels[i];
    const double x = left + (static_cast<double>(i) + 0.5) * slot;
    o << fmt::format(R"svg(<text x="{:.2f}" y="{:.2f}" class="axis label" text-anchor="end" transform="rotate(-35 {:.2f} {:.2f})">{}</text>)svg",
                     x, top + plotH + 12, x, top + plotH + 12, esc(l));
  }
  o << "</svg>";
  return o.str();
}

// Labels that all read as numbers are put in numeric order; others by their total count, largest first.
// Returns the permutation.
std::vector<std::size_t> axisOrder(const std::vector<std::string>& labels, const std::vector<double>& a,
                                   const std::vector<double>& b) {
  std::vector<std::size_t> idx(labels.size());
  for (std::size_t i = 0; i < idx.size(); ++i) idx[i] = i;
  std::vector<double> num(labels.size());
  bool numeric = !labels.empty();
  for (std::size_t i = 0; i < labels.size() && numeric; ++i) {
    char* end = nullptr;
    num[i] = std::strtod(labels[i].c_str(), &end);
    numeric = end && *end == '\0' && !labels[i].empty();
  }
  if (numeric) {
    std::stable_sort(idx.begin(), idx.end(), [&](std::size_t x, std::size_t y) { return num[x] < num[y]; });
  } else {
    auto total = [&](std::size_t i) { return (i < a.size() ? a[i] : 0) + (i < b.size() ? b[i] : 0); };
    std::stable_sort(idx.begin(), idx.end(), [&](std::size_t x, std::size_t y) { return total(x) > total(y); });
  }
  return idx;
}

template <typename T>
std::vector<T> permuted(const std::vector<T>& v, const std::vector<std::size_t>& idx) {
  std::vector<T> out;
  for (std::size_t i : idx)
    if (i < v.size()) out.push_back(v[i]);
  return out;
}

std::vector<double> doubles(const json& a) {
  std::vector<double> v;
  for (const json& x : a) v.push_back(x.is_null() ? 0.0 : x.get<double>());
  return v;
}

std::vector<std::string> strings(const json& a) {
  std::vector<std::string> v;
  for (const json& x : a) v.push_back(x.get<std::string>());
  return v;
}

std::string sampleTable(const json& sample) {
  if (sample.empty()) return "";
  std::ostringstream o;
  o << "<table class=\"sample\"><tr>";
  for (const auto& [k, v] : sample[0].items()) o << "<th>" << esc(k) << "</th>";
  o << "</tr>";
  for (const json& row : sample) {
    o << "<tr>";
    for (const auto& [k, v] : row.items()) o << "<td>" << text(v) << "</td>";
    o << "</tr>";
  }
  o << "</table>";
  return o.str();
}

const char* kStyle = R"(
*{box-sizing:border-box}
body{font-family:system-ui,-apple-system,"Segoe UI",sans-serif;margin:0 auto;padding:1.5rem;max-width:1600px;color:#222;background:#fafafa}
h1{font-size:1.5rem}h2{font-size:1.2rem;margin-top:2rem;border-bottom:1px solid #ddd;padding-bottom:.3rem}
.scroll{overflow-x:auto;max-width:100%}
table{border-collapse:collapse;margin:.5rem 0;background:#fff}td,th{border:1px solid #ddd;padding:.25rem .6rem;text-align:right}
th{background:#f0f0f0}td:first-child,th:first-child{text-align:left}
.cards{display:grid;grid-template-columns:repeat(auto-fill,minmax(330px,1fr));gap:1rem}
.card{background:#fff;border:1px solid #ddd;padding:.5rem;border-radius:4px;min-width:0}
.card.wide{grid-column:1/-1;max-width:900px}
.chart{width:100%;height:auto;display:block}
.card h3{font-size:.95rem;margin:.2rem 0}.axis{font-size:9px;fill:#555}.meta{color:#555}
.bad{color:#b00020;font-weight:600}.good{color:#137333}.warn{color:#a05a00;font-weight:600}
.badge{display:inline-block;border-radius:3px;padding:0 .4rem;font-size:.8rem;color:#fff}
.badge.drifted,.badge.failed{background:#b00020}.badge.moderate,.badge.warnings{background:#c77700}.badge.stable,.badge.passed{background:#137333}
.verdict{border-radius:6px;padding:.8rem 1rem;margin:1rem 0;border:2px solid}
.verdict.passed{border-color:#137333;background:#eef7f0}.verdict.warnings{border-color:#c77700;background:#fdf4e6}
.verdict.failed{border-color:#b00020;background:#fcebee}
.verdict .status{font-size:1.3rem;font-weight:700;text-transform:uppercase}
.counts{display:flex;flex-wrap:wrap;gap:1.5rem;margin:.4rem 0}.counts b{font-size:1.2rem}
.legend span{display:inline-block;width:.8rem;height:.8rem;margin:0 .3rem}
table.sample td{font-size:.85rem}
p,h1,h2,h3,li{overflow-wrap:anywhere}
footer{margin-top:2rem;border-top:1px solid #ddd;padding-top:.5rem}
@media (max-width:600px){body{padding:.6rem}.cards{grid-template-columns:1fr}td,th{padding:.2rem .3rem;font-size:.85rem}}
#profile td{white-space:nowrap}#profile td:first-child{white-space:normal}
@media print{body{background:#fff;max-width:none;padding:0}.card,.verdict,tr{break-inside:avoid}
.cards{grid-template-columns:repeat(2,1fr)}.scroll{overflow:visible}a{color:inherit}}
)";

// The key figures of the last scans of this dataset beside today's: one row per figure, one column per scan.
std::string trendsHtml(const json& r) {
  const json& trend = r["history"]["trend"];
  struct Figure {
    std::string label;
    std::vector<std::string> path;  // keys into a scan's figures
  };
  std::vector<Figure> figures{{"rows", {"rows"}}, {"status", {"status"}}};
  if (r.contains("metrics"))
    for (const auto& [name, v] : r["metrics"]["values"].items()) figures.push_back({name, {"metrics", name}});
  if (r.contains("drift"))
    for (const json& f : r["drift"]["features"])
      if (f.contains("psi")) figures.push_back({"PSI " + f["feature"].get<std::string>(), {"columns", f["feature"].get<std::string>(), "psi"}});
  if (r.contains("profile"))
    for (const json& p : r["profile"])
      if (p["missing_fraction"].is_number() && p["missing_fraction"].get<double>() > 0)
        figures.push_back({"missing " + p["feature"].get<std::string>(), {"columns", p["feature"].get<std::string>(), "missing_fraction"}});
  auto lookup = [](const json& scan, const std::vector<std::string>& path) {
    const json* at = &scan;
    for (const std::string& k : path) {
      if (!at->is_object() || !at->contains(k)) return json();
      at = &(*at)[k];
    }
    return *at;
  };
  json now = json::object();
  now["rows"] = r["dataset"]["rows"];
  now["status"] = r["status"];
  if (r.contains("metrics")) now["metrics"] = r["metrics"]["values"];
  now["columns"] = json::object();
  if (r.contains("drift"))
    for (const json& f : r["drift"]["features"])
      if (f.contains("psi")) now["columns"][f["feature"].get<std::string>()]["psi"] = f["psi"];
  if (r.contains("profile"))
    for (const json& p : r["profile"]) now["columns"][p["feature"].get<std::string>()]["missing_fraction"] = p["missing_fraction"];
  std::ostringstream o;
  o << "<h2>Trends</h2><p class=\"meta\">The key figures of the last " << trend.size()
    << " scans of this dataset (oldest first) and of this one.</p><div class=\"scroll\"><table id=\"trends\"><tr><th>figure</th>";
  for (const json& t : trend) o << "<th>" << esc(t.value("time", "").substr(0, 16)) << "</th>";
  o << "<th>now</th></tr>";
  for (const Figure& f : figures) {
    o << "<tr><td>" << esc(f.label) << "</td>";
    for (const json& t : trend) o << "<td>" << text(lookup(t, f.path)) << "</td>";
    o << "<td>" << text(lookup(now, f.path)) << "</td></tr>";
  }
  o << "</table></div>";
  return o.str();
}

}  // namespace

std::string renderHtml(const json& r) {
  const json& d = r["dataset"];
  std::ostringstream o;
  o << "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" content=\"width=device-width,initial-scale=1\"><title>norq-spark report: "
    << esc(d["name"].get<std::string>()) << "</title><style>" << kStyle << "</style></head><body>";
  o << "<h1>Data report: " << esc(d["name"].get<std::string>()) << "</h1>";
  o << "<p class=\"meta\">" << text(d["rows"]) << " rows (" << text(d["training_rows"])
    << " training, " << text(d["validation_rows"]) << " validation, " << text(d["testing_rows"])
    << " testing) from " << esc(d["source"].get<std::string>()) << "; target " << text(d["target"]) << ", prediction "
    << text(d["prediction"]) << ", protected " << text(d["protected"]) << ".</p>";
  if (r.contains("summary")) {
    const json& sm = r["summary"];
    const std::string status = r["status"].get<std::string>();
    o << "<section class=\"verdict " << esc(status) << "\" id=\"verdict\"><div class=\"status\">" << esc(status)
      << "</div><div class=\"counts\"><span><b>" << sm["thresholds_crossed"].get<std::size_t>() << "</b> checks failed</span>";
    if (r.contains("drift"))
      o << "<span><b>" << sm["features_drifted"].get<std::size_t>() << "</b> columns drifted</span><span><b>"
        << sm["features_moderate"].get<std::size_t>() << "</b> moderately shifted</span>";
    if (r.contains("quality"))
      o << "<span><b>" << readable(static_cast<double>(sm["violations"].get<std::int64_t>())) << "</b> violating rows</span>";
    if (r.contains("metrics"))
      o << "<span><b>" << sm["metrics_below"].get<std::size_t>() << "</b> metrics below their limits</span>";
    o << "</div>";
    const json& crossed = r["thresholds_crossed"];
    if (!crossed.empty()) {
      o << "<ul id=\"failed-checks\">";
      for (const json& c : crossed) o << "<li class=\"bad\">" << esc(crossedText(c)) << "</li>";
      o << "</ul>";
    } else if (status == "warnings") {
      o << "<p>No limit you set was crossed; the counts above deserve a look.</p>";
    }
    o << "</section>";
  }
  // Then what identifies the data: the dataset's id, its checksums and whether it changed since the last scan.
  o << "<table id=\"checksums\"><tr><th>dataset id</th><td>" << text(d["id"]) << "</td></tr><tr><th>overall checksum</th><td>"
    << text(d["overall_checksum"]) << "</td></tr>";
  for (const auto& [k, v] : d["checksums"].items()) o << "<tr><th>" << esc(k) << "</th><td>" << text(v) << "</td></tr>";
  const json& h = r["history"];
  o << "<tr><th>previous scan</th><td>";
  const json& same = h.contains("data_unchanged") && !h["data_unchanged"].is_null() ? h["data_unchanged"]
                                                                                   : h["checksums_match"];
  if (same.is_null())
    o << "first scan of this name";
  else
    o << text(h["previous_scan"]) << ": "
      << (same.get<bool>() ? "<span class=\"good\">data unchanged</span>" : "<span class=\"bad\">data changed</span>");
  o << "</td></tr></table>";


  if (r.contains("profile")) {
    o << "<h2>Profile</h2><div class=\"scroll\"><table id=\"profile\"><tr><th>feature</th><th>type</th><th>minimum</th><th>maximum</th>"
         "<th>distinct</th><th>missing</th><th>of which NaN</th><th>missing %</th></tr>";
    for (const json& f : r["profile"]) {
      const json& mf = f["missing_fraction"];
      const std::string lo = dateBound(f, "minimum"), hi = dateBound(f, "maximum");
      o << "<tr><td>" << text(f["feature"]) << "</td><td>" << text(f["type"]) << "</td><td>"
        << (lo.empty() ? text(f["minimum"]) : lo) << "</td><td>" << (hi.empty() ? text(f["maximum"]) : hi) << "</td><td>"
        << text(f.contains("distinct_count") ? f["distinct_count"] : f["distinct_values"]) << "</td><td>" << text(f["missing_values"]) << "</td><td>"
        << text(f.value("nan_values", json(0))) << "</td><td>"
        << (mf.is_null() ? std::string("&ndash;") : fmt::format("{:.1f}", mf.get<double>() * 100)) << "</td></tr>";
    }
    o << "</table></div><h2>Histograms</h2><p class=\"meta\">Counts of each value (categories, integer codes) or "
         "of equal-width bins (labelled by their lower edge); missing values (null or NaN) in a grey bar.</p>"
         "<div class=\"cards\" id=\"histograms\">";
    for (const auto& [name, hist] : r["histograms"].items()) {
      std::vector<std::string> labels = strings(hist["labels"]);
      std::vector<double> counts = doubles(hist["counts"]);
      if (hist["binned"].get<bool>() && labels.size() == counts.size() + 1) {
        // Bins are labelled by their lower edge.
        labels.pop_back();
        for (std::string& l : labels) {
          char* end = nullptr;
          const double v = std::strtod(l.c_str(), &end);
          if (end && *end == '\0' && !l.empty()) l = readable(v);
        }
      } else if (!hist["binned"].get<bool>()) {
        const std::vector<std::size_t> idx = axisOrder(labels, counts, {});
        labels = permuted(labels, idx);
        counts = permuted(counts, idx);
      }
      const std::size_t valueBars = labels.size();
      if (hist.contains("missing") && hist["missing"].get<std::int64_t>() > 0) {
        labels.push_back("missing");
        counts.push_back(static_cast<double>(hist["missing"].get<std::int64_t>()));
      }
      o << "<div class=\"card\"><h3>" << esc(name) << "</h3>" << bars(labels, {counts}, name, false, valueBars);
      if (hist["other"].get<std::int64_t>() > 0)
        o << "<div class=\"meta\">other categories: " << hist["other"].get<std::int64_t>() << " rows</div>";
      o << "</div>";
    }
    o << "</div>";
  }

  if (r.contains("quality")) {
    const json& q = r["quality"];
    o << "<h2>Data quality</h2><div class=\"scroll\"><table id=\"quality\"><tr><th>check</th><th>violating rows</th></tr>";
    auto row = [&](const std::string& what, const json& v) {
      const auto n = v["count"].get<std::int64_t>();
      o << "<tr><td>" << esc(what) << "</td><td class=\"" << (n ? "bad" : "good") << "\">" << n << "</td></tr>";
    };
    if (q.contains("duplicates")) row("duplicate rows", q["duplicates"]);
    for (const json& c : q["ordering"]) row(c["gt"].get<std::string>() + " >= " + c["lt"].get<std::string>(), c);
    for (const json& c : q["missing_ids"]) row("missing " + c["id"].get<std::string>(), c);
    o << "</table></div>";
    auto samples = [&](const std::string& what, const json& v) {
      if (!v["sample"].empty())
        o << "<h3>" << esc(what) << ": sample rows</h3><div class=\"scroll\">" << sampleTable(v["sample"]) << "</div>";
    };
    if (q.contains("duplicates")) samples("duplicate rows", q["duplicates"]);
    for (const json& c : q["ordering"]) samples(c["gt"].get<std::string>() + " >= " + c["lt"].get<std::string>(), c);
    for (const json& c : q["missing_ids"]) samples("missing " + c["id"].get<std::string>(), c);
  }

  if (r.contains("metrics")) {
    const json& m = r["metrics"];
    const json& f = m["fairness"];
    o << "<h2>Model metrics</h2><p class=\"meta\">" << text(m["segment"]) << " segment, " << m["rows"].get<std::int64_t>()
      << " rows</p><div class=\"scroll\"><table id=\"metrics\"><tr><th>metric</th><th>value</th>";
    if (!f.is_null()) o << "<th>privileged</th><th>unprivileged</th><th>difference</th>";
    o << "</tr>";
    std::vector<std::string> names;
    std::vector<double> priv, unpriv;
    for (const auto& [name, v] : m["values"].items()) {
      o << "<tr><td>" << esc(name) << "</td><td>" << text(v) << "</td>";
      if (!f.is_null()) {
        // Fairness is computed for the framework's metrics; the others have no group figures.
        const json none;
        const json& pv = f["privileged_values"].contains(name) ? f["privileged_values"][name] : none;
        const json& uv = f["unprivileged_values"].contains(name) ? f["unprivileged_values"][name] : none;
        const json& dv = f["metric_diff"].contains(name) ? f["metric_diff"][name] : none;
        o << "<td>" << text(pv) << "</td><td>" << text(uv) << "</td><td>" << text(dv) << "</td>";
        if (f["privileged_values"].contains(name)) {
          names.push_back(name);
          priv.push_back(pv.is_null() ? 0.0 : pv.get<double>());
          unpriv.push_back(uv.is_null() ? 0.0 : uv.get<double>());
        }
      }
      o << "</tr>";
    }
    o << "</table></div>";
    if (m.contains("confusion_matrix")) {
      const json& cm = m["confusion_matrix"];
      o << "<h3>Confusion matrix</h3><div class=\"scroll\"><table id=\"confusion-matrix\"><tr><th></th><th>predicted "
           "positive</th><th>predicted negative</th></tr><tr><th>actual positive</th><td>"
        << text(cm["true_positive"]) << "</td><td>" << text(cm["false_negative"]) << "</td></tr><tr><th>actual negative</th><td>"
        << text(cm["false_positive"]) << "</td><td>" << text(cm["true_negative"]) << "</td></tr></table></div>";
      if (cm["other"].get<std::int64_t>() > 0)
        o << "<p class=\"meta\">" << text(cm["other"]) << " rows have a missing label or prediction or another value.</p>";
    }
    if (!f.is_null()) {
      o << "<h3>Fairness: " << text(f["protected"]) << "</h3><p class=\"legend\"><span style=\"background:#4e79a7\"></span>privileged "
        << text(json(f["privileged"].dump())) << " (" << f["privileged_rows"].get<std::int64_t>()
        << " rows)<span style=\"background:#f28e2b\"></span>unprivileged " << text(json(f["unprivileged"].dump())) << " ("
        << f["unprivileged_rows"].get<std::int64_t>() << " rows)</p><div class=\"card wide\" id=\"fairness\">"
        << bars(names, {priv, unpriv}, "privileged versus unprivileged") << "</div>";
    }
  }

  if (r.contains("drift")) {
    const json& dr = r["drift"];
    const std::vector<const json*> rows = driftRowsByVerdict(r);
    o << "<h2>Drift</h2><p class=\"meta\">Current data against " << text(dr["reference"]["source"]) << " ("
      << text(dr["reference"]["rows"]) << " rows), compared on non-missing values. Verdict by the population "
      << "stability index (PSI): below 0.1 stable, 0.1 to 0.25 moderate, 0.25 and above drifted, or drifted when "
      << "a limit you set is crossed. The KS p-value says whether a shift is certain, not whether it matters: with "
      << "large samples any shift has a tiny p-value, so judge by the effect sizes, the KS statistic (largest gap "
      << "between the two cumulative distributions, 0 to 1) and the PSI.</p>";
    o << "<div class=\"scroll\"><table id=\"drift-table\"><tr><th>column</th><th>kind</th><th>verdict</th><th>PSI</th>"
         "<th>KS statistic</th><th>p-value</th></tr>";
    for (const json* fp : rows) {
      const json& f = *fp;
      std::string kind = f["kind"].get<std::string>();
      if (f.value("role", "feature") == "target" || f.value("role", "feature") == "protected")
        kind += " (" + f["role"].get<std::string>() + ")";
      o << "<tr class=\"" << esc(f.value("verdict", "stable")) << "\"><td>" << text(f["feature"]) << "</td><td>"
        << esc(kind) << "</td>";
      if (f.contains("error")) {
        o << "<td colspan=\"4\" class=\"bad\">" << text(f["error"]) << "</td></tr>";
        continue;
      }
      o << "<td><span class=\"badge " << esc(f["verdict"].get<std::string>()) << "\">" << esc(f["verdict"].get<std::string>())
        << "</span></td><td>" << text(f["psi"]) << "</td><td>" << (f["ks"].is_null() ? "&ndash;" : text(f["ks"]["statistic"]))
        << "</td><td>" << (f["ks"].is_null() ? "&ndash;" : esc(pvalueText(f["ks"]["pvalue"]))) << "</td></tr>";
    }
    o << "</table></div><p class=\"legend\"><span style=\"background:#4e79a7\"></span>reference"
      << "<span style=\"background:#f28e2b\"></span>current (share of rows)</p><div class=\"cards\" id=\"drift\">";
    for (const json* fp : rows) {
      const json& f = *fp;
      o << "<div class=\"card\"><h3>" << text(f["feature"]) << " <span class=\"meta\">(" << text(f["kind"]) << ")</span> "
        << "<span class=\"badge " << esc(f.value("verdict", "stable")) << "\">" << esc(f.value("verdict", "stable"))
        << "</span></h3>";
      if (f.contains("error")) {
        o << "<p class=\"bad\">" << text(f["error"]) << "</p></div>";
        continue;
      }
      std::vector<std::string> labels = strings(f["labels"]);
      std::vector<double> expected = doubles(f["expected"]), actual = doubles(f["actual"]);
      if (f["kind"] == "categorical") {
        const std::vector<std::size_t> idx = axisOrder(labels, expected, actual);
        labels = permuted(labels, idx);
        expected = permuted(expected, idx);
        actual = permuted(actual, idx);
      }
      o << bars(labels, {expected, actual}, f["feature"].get<std::string>(), true);
      o << "<div class=\"meta\">PSI " << text(f["psi"]);
      if (!f["ks"].is_null())
        o << ", KS statistic " << text(f["ks"]["statistic"]) << ", p-value " << esc(pvalueText(f["ks"]["pvalue"]));
      o << "</div></div>";
    }
    o << "</div>";
  }
  if (h.contains("trend") && !h["trend"].empty()) o << trendsHtml(r);
  o << "<footer class=\"meta\">Generated by norq-spark " << kVersion;
  if (r.contains("generated")) o << " on " << text(r["generated"]);
  o << ". Report format " << r["version"].get<int>() << ".</footer></body></html>\n";
  return o.str();
}

}  // namespace cli
