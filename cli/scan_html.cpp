// The self-contained HTML report of a scan: inline CSS and SVG, nothing fetched.
#include <algorithm>
#include <cmath>
#include <sstream>

#include <fmt/format.h>

#include "scan_output.h"

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

std::string text(const json& v) {
  if (v.is_null()) return "&ndash;";
  if (v.is_string()) return esc(v.get<std::string>());
  if (v.is_number_integer()) return std::to_string(v.get<std::int64_t>());
  if (v.is_number()) return fmt::format("{:.4g}", v.get<double>());
  return esc(v.dump());
}

// A bar chart of one or two series over the same labels (the second drawn beside the first).
std::string bars(const std::vector<std::string>& labels, const std::vector<std::vector<double>>& series,
                 const std::string& title) {
  const double W = 420, H = 200, left = 40, bottom = 46, top = 10;
  const double plotW = W - left - 8, plotH = H - bottom - top;
  double maxV = 0;
  for (const auto& s : series)
    for (double v : s) maxV = std::max(maxV, v);
  if (maxV <= 0) maxV = 1;
  const std::size_t n = std::max<std::size_t>(labels.size(), 1);
  const double slot = plotW / static_cast<double>(n);
  const double barW = std::max(1.0, slot * 0.8 / static_cast<double>(std::max<std::size_t>(series.size(), 1)));
  static const char* colours[] = {"#4e79a7", "#f28e2b"};
  std::ostringstream o;
  o << fmt::format(R"(<svg class="chart" role="img" aria-label="{}" width="{}" height="{}" viewBox="0 0 {} {}">)",
                   esc(title), W, H, W, H);
  o << fmt::format(R"(<line x1="{}" y1="{}" x2="{}" y2="{}" stroke="#999"/>)", left, top + plotH, W - 8, top + plotH);
  o << fmt::format(R"(<text x="{}" y="{}" class="axis" text-anchor="end">{}</text>)", left - 4, top + 8,
                   fmt::format("{:.3g}", maxV));
  for (std::size_t s = 0; s < series.size(); ++s) {
    for (std::size_t i = 0; i < series[s].size() && i < n; ++i) {
      const double h = series[s][i] / maxV * plotH;
      const double x = left + static_cast<double>(i) * slot + slot * 0.1 + static_cast<double>(s) * barW;
      o << fmt::format(R"(<rect x="{:.2f}" y="{:.2f}" width="{:.2f}" height="{:.2f}" fill="{}"><title>{}: {:.4g}</title></rect>)",
                       x, top + plotH - h, barW, h, colours[s % 2], esc(i < labels.size() ? labels[i] : ""),
                       series[s][i]);
    }
  }
  // Label every bar when they fit, otherwise a few.
  const std::size_t every = std::max<std::size_t>(1, n / 8);
  for (std::size_t i = 0; i < labels.size(); i += every) {
    std::string l = labels[i].size() > 14 ? labels[i].substr(0, 13) + "…" : labels[i];
    const double x = left + (static_cast<double>(i) + 0.5) * slot;
    o << fmt::format(R"svg(<text x="{:.2f}" y="{:.2f}" class="axis" text-anchor="end" transform="rotate(-35 {:.2f} {:.2f})">{}</text>)svg",
                     x, top + plotH + 12, x, top + plotH + 12, esc(l));
  }
  o << "</svg>";
  return o.str();
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
body{font-family:system-ui,-apple-system,"Segoe UI",sans-serif;margin:2rem;color:#222;background:#fafafa}
h1{font-size:1.5rem}h2{font-size:1.2rem;margin-top:2rem;border-bottom:1px solid #ddd;padding-bottom:.3rem}
table{border-collapse:collapse;margin:.5rem 0;background:#fff}td,th{border:1px solid #ddd;padding:.25rem .6rem;text-align:right}
th{background:#f0f0f0}td:first-child,th:first-child{text-align:left}
.cards{display:flex;flex-wrap:wrap;gap:1rem}.card{background:#fff;border:1px solid #ddd;padding:.5rem;border-radius:4px}
.card h3{font-size:.95rem;margin:.2rem 0}.axis{font-size:9px;fill:#555}.meta{color:#555}
.bad{color:#b00020;font-weight:600}.good{color:#137333}.legend span{display:inline-block;width:.8rem;height:.8rem;margin:0 .3rem}
table.sample td{font-size:.85rem}
)";

}  // namespace

std::string renderHtml(const json& r) {
  const json& d = r["dataset"];
  std::ostringstream o;
  o << "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>norq-spark report: "
    << esc(d["name"].get<std::string>()) << "</title><style>" << kStyle << "</style></head><body>";
  o << "<h1>Data report: " << esc(d["name"].get<std::string>()) << "</h1>";
  o << "<p class=\"meta\">" << d["rows"].get<std::int64_t>() << " rows (" << d["training_rows"].get<std::int64_t>()
    << " training, " << d["validation_rows"].get<std::int64_t>() << " validation, " << d["testing_rows"].get<std::int64_t>()
    << " testing) from " << esc(d["source"].get<std::string>()) << "; target " << text(d["target"]) << ", prediction "
    << text(d["prediction"]) << ", protected " << text(d["protected"]) << ".</p>";
  o << "<table id=\"checksums\"><tr><th>dataset id</th><td>" << text(d["id"]) << "</td></tr><tr><th>overall checksum</th><td>"
    << text(d["overall_checksum"]) << "</td></tr>";
  for (const auto& [k, v] : d["checksums"].items()) o << "<tr><th>" << esc(k) << "</th><td>" << text(v) << "</td></tr>";
  const json& h = r["history"];
  o << "<tr><th>previous scan</th><td>";
  if (h["checksums_match"].is_null())
    o << "first scan of this name";
  else
    o << text(h["previous_scan"]) << ": "
      << (h["checksums_match"].get<bool>() ? "<span class=\"good\">checksums match</span>"
                                            : "<span class=\"bad\">checksums differ</span>");
  o << "</td></tr></table>";

  const json& crossed = r["thresholds_crossed"];
  if (!crossed.empty()) {
    o << "<h2 class=\"bad\">Thresholds crossed</h2><ul>";
    for (const json& c : crossed) o << "<li>" << text(c) << "</li>";
    o << "</ul>";
  }

  if (r.contains("profile")) {
    o << "<h2>Profile</h2><table id=\"profile\"><tr><th>feature</th><th>type</th><th>minimum</th><th>maximum</th>"
         "<th>distinct</th><th>missing</th><th>missing %</th></tr>";
    for (const json& f : r["profile"]) {
      const json& mf = f["missing_fraction"];
      o << "<tr><td>" << text(f["feature"]) << "</td><td>" << text(f["type"]) << "</td><td>" << text(f["minimum"])
        << "</td><td>" << text(f["maximum"]) << "</td><td>" << text(f["distinct_values"]) << "</td><td>"
        << text(f["missing_values"]) << "</td><td>"
        << (mf.is_null() ? std::string("&ndash;") : fmt::format("{:.1f}", mf.get<double>() * 100)) << "</td></tr>";
    }
    o << "</table><h2>Histograms</h2><div class=\"cards\" id=\"histograms\">";
    for (const auto& [name, hist] : r["histograms"].items()) {
      std::vector<std::string> labels = strings(hist["labels"]);
      std::vector<double> counts = doubles(hist["counts"]);
      if (hist["binned"].get<bool>() && labels.size() == counts.size() + 1) {
        // Bins are labelled by their lower edge.
        labels.pop_back();
      }
      o << "<div class=\"card\"><h3>" << esc(name) << "</h3>" << bars(labels, {counts}, name);
      if (hist["other"].get<std::int64_t>() > 0)
        o << "<div class=\"meta\">other categories: " << hist["other"].get<std::int64_t>() << " rows</div>";
      o << "</div>";
    }
    o << "</div>";
  }

  if (r.contains("quality")) {
    const json& q = r["quality"];
    o << "<h2>Data quality</h2><table id=\"quality\"><tr><th>check</th><th>violating rows</th></tr>";
    auto row = [&](const std::string& what, const json& v) {
      const auto n = v["count"].get<std::int64_t>();
      o << "<tr><td>" << esc(what) << "</td><td class=\"" << (n ? "bad" : "good") << "\">" << n << "</td></tr>";
    };
    if (q.contains("duplicates")) row("duplicate rows", q["duplicates"]);
    for (const json& c : q["ordering"]) row(c["gt"].get<std::string>() + " >= " + c["lt"].get<std::string>(), c);
    for (const json& c : q["missing_ids"]) row("missing " + c["id"].get<std::string>(), c);
    o << "</table>";
    auto samples = [&](const std::string& what, const json& v) {
      if (!v["sample"].empty()) o << "<h3>" << esc(what) << ": sample rows</h3>" << sampleTable(v["sample"]);
    };
    if (q.contains("duplicates")) samples("duplicate rows", q["duplicates"]);
    for (const json& c : q["ordering"]) samples(c["gt"].get<std::string>() + " >= " + c["lt"].get<std::string>(), c);
    for (const json& c : q["missing_ids"]) samples("missing " + c["id"].get<std::string>(), c);
  }

  if (r.contains("metrics")) {
    const json& m = r["metrics"];
    const json& f = m["fairness"];
    o << "<h2>Model metrics</h2><p class=\"meta\">" << text(m["segment"]) << " segment, " << m["rows"].get<std::int64_t>()
      << " rows</p><table id=\"metrics\"><tr><th>metric</th><th>value</th>";
    if (!f.is_null()) o << "<th>privileged</th><th>unprivileged</th><th>difference</th>";
    o << "</tr>";
    std::vector<std::string> names;
    std::vector<double> priv, unpriv;
    for (const auto& [name, v] : m["values"].items()) {
      o << "<tr><td>" << esc(name) << "</td><td>" << text(v) << "</td>";
      if (!f.is_null()) {
        o << "<td>" << text(f["privileged_values"][name]) << "</td><td>" << text(f["unprivileged_values"][name])
          << "</td><td>" << text(f["metric_diff"][name]) << "</td>";
        names.push_back(name);
        const json& pv = f["privileged_values"][name];
        const json& uv = f["unprivileged_values"][name];
        priv.push_back(pv.is_null() ? 0.0 : pv.get<double>());
        unpriv.push_back(uv.is_null() ? 0.0 : uv.get<double>());
      }
      o << "</tr>";
    }
    o << "</table>";
    if (!f.is_null()) {
      o << "<h3>Fairness: " << text(f["protected"]) << "</h3><p class=\"legend\"><span style=\"background:#4e79a7\"></span>privileged "
        << text(json(f["privileged"].dump())) << " (" << f["privileged_rows"].get<std::int64_t>()
        << " rows)<span style=\"background:#f28e2b\"></span>unprivileged " << text(json(f["unprivileged"].dump())) << " ("
        << f["unprivileged_rows"].get<std::int64_t>() << " rows)</p><div class=\"card\" id=\"fairness\">"
        << bars(names, {priv, unpriv}, "privileged versus unprivileged") << "</div>";
    }
  }

  if (r.contains("drift")) {
    const json& dr = r["drift"];
    o << "<h2>Drift</h2><p class=\"meta\">against " << text(dr["reference"]["source"]) << " ("
      << dr["reference"]["rows"].get<std::int64_t>() << " rows). Population stability index (PSI): below 0.1 stable, "
      << "0.1 to 0.25 moderate shift, above 0.25 large shift.</p><p class=\"legend\"><span style=\"background:#4e79a7\"></span>reference"
      << "<span style=\"background:#f28e2b\"></span>current</p><div class=\"cards\" id=\"drift\">";
    for (const json& f : dr["features"]) {
      o << "<div class=\"card\"><h3>" << text(f["feature"]) << " <span class=\"meta\">(" << text(f["kind"]) << ")</span></h3>";
      if (f.contains("error")) {
        o << "<p class=\"bad\">" << text(f["error"]) << "</p></div>";
        continue;
      }
      o << bars(strings(f["labels"]), {doubles(f["expected"]), doubles(f["actual"])}, f["feature"].get<std::string>());
      o << "<div class=\"meta\">PSI " << text(f["psi"]);
      if (!f["ks"].is_null())
        o << ", KS statistic " << text(f["ks"]["statistic"]) << ", p-value " << text(f["ks"]["pvalue"]);
      o << "</div></div>";
    }
    o << "</div>";
  }
  o << "<p class=\"meta\">Generated by norq-spark. Report format " << r["version"].get<int>() << ".</p></body></html>\n";
  return o.str();
}

}  // namespace cli
