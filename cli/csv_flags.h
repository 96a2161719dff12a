// How CSV input is read, shared by every subcommand that reads CSV files: the separator, quoting, nulls,
// datetime patterns and encoding, given as flags or in the configuration file under the same names.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "engine/dataframe.h"
#include "engine/session.h"

namespace cli {

struct CsvFlags {
  std::optional<std::string> delimiter, quote, escape, nullValue, dateFormat, timestampFormat, encoding;
};

// Declares --delimiter, --quote, --escape, --null-value, --date-format, --timestamp-format and --encoding.
// `dateHelp` describes --date-format (the data checks also use it to convert their date columns).
void addCsvOptions(CLI::App& sub, CsvFlags& f, const std::string& dateHelp);

// A reader with the flags applied. CliError naming the flag for a separator, quote or escape that is not
// one character ("\t" or "tab" is a tab), or a quote that is also the separator.
engine::DataFrameReader csvReader(engine::SparkSession& session, const CsvFlags& f);

// When `columns` (the frame read from `path`) is a single column while ';', a tab, '|' or ',' (other than the
// separator used) splits the file's first lines into the same number of fields, a warning naming that
// character and the flag to give; nothing otherwise. Reads at most the first 64 KiB of the file (of the
// first part file of a folder).
std::optional<std::string> likelyDelimiterWarning(const std::string& path, const std::vector<std::string>& columns,
                                                  const CsvFlags& f);

}  // namespace cli
