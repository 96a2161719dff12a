// Renderings of a scan report (see scan_run.h): the terminal summary and the self-contained HTML report,
// and the atomic writing of report files.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace cli {

// Aligned summary tables; ANSI colours only when `colour` is true (standard output is a terminal).
std::string renderSummary(const nlohmann::json& report, bool colour);

// One HTML file with inline CSS and SVG charts: no scripts, fonts or other files are fetched.
std::string renderHtml(const nlohmann::json& report);

// Writes `text` to `path` through a temporary file in the same directory and a rename, so that a failed run
// never leaves a partial report behind. CliError naming the path when it cannot be written.
void writeFileAtomically(const std::string& path, const std::string& text);

}  // namespace cli
