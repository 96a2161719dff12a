// CSV reading with Apache Spark's rules: quoting, escapes, multi-line quoted fields, empty fields as
// null, permissive handling of malformed rows and Spark's schema inference. Files are parsed in
// parallel chunks and streamed, never holding the raw text twice.
#pragma once

#include <string>
#include <vector>

#include "engine/plan.h"
#include "engine/types.h"
#include "engine/vector.h"
#include "engine/local/plan/exec_context.h"

namespace engine::local {

// The files a path names: the file itself, or every visible file of a directory (names starting with
// "_" or "." are skipped), sorted by name. Throws AnalysisException "[PATH_NOT_FOUND] Path does not
// exist: <path>." when nothing is there.
std::vector<std::string> resolveCsvFiles(const std::string& path);

// The schema Spark infers for these files: header names (or _c0, _c1, ...), and the types per column
// when inferSchema is set (every column a string otherwise).
StructType inferCsvSchema(const std::vector<std::string>& files, const CsvOptions& options);

// Reads every row of the files into partitions typed by `schema`. A value that does not parse as its
// column's type becomes null (permissive mode); rows with too few fields are padded with nulls and
// rows with too many are truncated.
// `columns` names the columns the query reads (empty: all); the others are left as empty column slots.
Partitions readCsv(const std::vector<std::string>& files, const CsvOptions& options, const StructType& schema,
                   const ExecContext& ctx, const std::vector<bool>& columns = {});

}  // namespace engine::local
