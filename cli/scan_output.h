// Renderings of a scan report (see scan_run.h): the terminal summary and the self-contained HTML report,
// and the atomic writing of report files.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace cli {

// Aligned summary tables; ANSI colours only when `colour` is true (standard output is a terminal).
std::string renderSummary(const nlohmann::json& report, bool colour);

// One HTML file with inline CSS and SVG charts: no scripts, fonts or other files are fetched.
std::string renderHtml(const nlohmann::json& report);

// A number as a reader expects it: integers and amounts with thousands separators (50,000), fractions with
// four significant digits, no exponent below a trillion. "-" for NaN and infinities.
std::string readableNumber(double v);

// A p-value as a number a reader can compare: "0.042", "3.3e-213", "< 1e-300" for one that underflows to 0.
std::string pvalueText(const nlohmann::json& p);

// One readable line for a crossed limit of the report's "thresholds_crossed" (check, feature, value, limit).
std::string crossedText(const nlohmann::json& t);

// The report's drift rows, drifted first, then moderate, then stable; by PSI within each verdict.
std::vector<const nlohmann::json*> driftRowsByVerdict(const nlohmann::json& report);

// A date column's bound (seconds since the epoch) as a date ("2022-01-31", with the time when it has one);
// empty for other columns, whose bounds are numbers.
std::string dateBound(const nlohmann::json& profileRow, const char* key);

// Writes `text` to `path` through a temporary file in the same directory and a rename, so that a failed run
// never leaves a partial report behind. CliError naming the path when it cannot be written.
void writeFileAtomically(const std::string& path, const std::string& text);

}  // namespace cli
