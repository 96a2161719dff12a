#include "csv_flags.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#include "cli_error.h"

namespace cli {

namespace {

std::string shown(char c) { return c == '\t' ? std::string("\\t") : std::string(1, c); }

// The one character a flag names; "\t" and "tab" name a tab.
char oneChar(const std::string& flag, const std::string& text) {
  if (text == "\\t" || text == "tab") return '\t';
  if (text.size() != 1)
    throw CliError(flag + " must be one character (\\t or tab for a tab), got '" + text + "'");
  if (text[0] == '\n' || text[0] == '\r') throw CliError(flag + " cannot be a line break");
  return text[0];
}

}  // namespace

void addCsvOptions(CLI::App& sub, CsvFlags& f, const std::string& dateHelp) {
  sub.add_option("--delimiter", f.delimiter, "Field separator of the CSV files (default ','; \\t or tab for a tab)")
      ->type_name("CHAR");
  sub.add_option("--quote", f.quote, "Quote character of the CSV files (default '\"'; '' for none)")->type_name("CHAR");
  sub.add_option("--escape", f.escape, "Escape character inside quoted CSV fields (default '\\')")->type_name("CHAR");
  sub.add_option("--null-value", f.nullValue, "Text read as a missing value besides the empty field (such as NA)")
      ->type_name("TEXT");
  sub.add_option("--date-format", f.dateFormat, dateHelp)->type_name("PATTERN");
  sub.add_option("--timestamp-format", f.timestampFormat,
                 "Datetime pattern of timestamps in the CSV files (Spark's patterns, such as dd/MM/yyyy HH:mm)")
      ->type_name("PATTERN");
  sub.add_option("--encoding", f.encoding, "Character encoding of the CSV files (default UTF-8)")->type_name("NAME");
}

engine::DataFrameReader csvReader(engine::SparkSession& session, const CsvFlags& f) {
  engine::DataFrameReader reader = session.read();
  char sep = ',';
  if (f.delimiter) {
    sep = oneChar("--delimiter", *f.delimiter);
    reader.option("sep", std::string(1, sep));
  }
  if (f.quote) {
    if (f.quote->empty()) {
      reader.option("quote", "");
    } else {
      const char q = oneChar("--quote", *f.quote);
      if (q == sep) throw CliError("--quote and --delimiter cannot both be '" + shown(q) + "'");
      reader.option("quote", std::string(1, q));
    }
  }
  if (f.escape) reader.option("escape", std::string(1, oneChar("--escape", *f.escape)));
  if (f.nullValue) reader.option("nullValue", *f.nullValue);
  if (f.dateFormat) reader.option("dateFormat", *f.dateFormat);
  if (f.timestampFormat) reader.option("timestampFormat", *f.timestampFormat);
  if (f.encoding) {
    // The embedded reader decodes UTF-8 (of which US-ASCII is a part); a Spark server reads every charset
    // the JVM knows.
    std::string e;
    for (char c : *f.encoding) e += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!session.isRemote() && e != "utf-8" && e != "utf8" && e != "us-ascii" && e != "ascii")
      throw CliError("--encoding " + *f.encoding +
                     ": the embedded engine reads UTF-8 (and US-ASCII) files only; convert the file first, for "
                     "example with iconv -f " + *f.encoding + " -t UTF-8, or read it on a Spark server (--remote)");
    reader.option("encoding", *f.encoding);
  }
  return reader;
}

std::optional<std::string> likelyDelimiterWarning(const std::string& path, const std::vector<std::string>& columns,
                                                  const CsvFlags& f) {
  if (columns.size() != 1) return std::nullopt;
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path file = path;
  if (fs::is_directory(file, ec)) {
    std::vector<fs::path> parts;
    for (fs::directory_iterator it(file, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (!name.empty() && name[0] != '.' && name[0] != '_' && it->is_regular_file(ec)) parts.push_back(it->path());
    }
    if (parts.empty()) return std::nullopt;
    file = *std::min_element(parts.begin(), parts.end());
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string head(64 * 1024, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  // The first lines (up to 20), the last one dropped when the read cut it short.
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < head.size() && lines.size() < 20;) {
    std::size_t end = head.find('\n', at);
    if (end == std::string::npos) {
      if (in.gcount() == static_cast<std::streamsize>(64 * 1024)) break;
      end = head.size();
    }
    std::string line = head.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(std::move(line));
    at = end + 1;
  }
  if (lines.empty()) return std::nullopt;
  const char used = f.delimiter ? (*f.delimiter == "\\t" || *f.delimiter == "tab" ? '\t' : (*f.delimiter)[0]) : ',';
  char best = 0;
  std::size_t bestFields = 1;
  for (char c : {';', '\t', '|', ','}) {
    if (c == used) continue;
    const auto fields = [&](const std::string& l) { return static_cast<std::size_t>(std::count(l.begin(), l.end(), c)) + 1; };
    const std::size_t n = fields(lines[0]);
    if (n < 2) continue;
    // The same number of fields on most lines: a separator, not a character of the values.
    std::size_t agree = 0;
    for (const std::string& l : lines) agree += fields(l) == n;
    if (agree * 4 >= lines.size() * 3 && n > bestFields) {
      best = c;
      bestFields = n;
    }
  }
  if (!best) return std::nullopt;
  const std::string name = best == '\t' ? "a tab" : "'" + std::string(1, best) + "'";
  const std::string flag = best == '\t' ? "--delimiter '\\t'" : "--delimiter '" + std::string(1, best) + "'";
  return path + " reads as a single column, but " + name + " splits its first lines into " +
         std::to_string(bestFields) + " fields: give " + flag + " (or \"delimiter\" in the configuration file)";
}

}  // namespace cli
