#!/usr/bin/env python3
"""Catalogue of malformed, hostile and unusual inputs given to every norq-spark subcommand.

Each case must end with exit status 2 and exactly one line on standard error ("error: ..."), printable (no
control characters or invalid bytes), leave no output file behind and no record in the event history, and
finish within a time and memory bound (no signal: no crash, no abort, no out-of-memory kill).

Usage: bad_inputs.py NORQ_SPARK [--filter TEXT] [--keep] [--sanitized] [--verbose]
(--sanitized: the program is built with AddressSanitizer, which needs a large address space: memory is then
bounded by the query budget alone, and the time limit is longer)
Grow the catalogue with every fix: add a case to CASES (or a generator below) that failed before it.
"""
import os
import resource
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

TIME_LIMIT_S = 60
SANITIZED = "--sanitized" in sys.argv
VERBOSE = "--verbose" in sys.argv
if SANITIZED:
    TIME_LIMIT_S = 300
MEMORY_LIMIT = 4 << 30  # address space per run; the engine's query budget stays well below it

DEEP = 100_000
# One command-line argument holds at most 128 KiB (Linux's MAX_ARG_STRLEN): nesting given as an argument
# stays below that, still far beyond any nesting bound.
DEEP_ARG = 20_000


def write(path, data, mode="w"):
    with open(path, mode) as f:
        f.write(data)
    return path


def make_fixtures(d):
    f = {}
    f["good"] = write(os.path.join(d, "good.csv"),
                      "id,amount,age,group,y,p\n" + "".join(
                          f"{i},{100 + i * 3 % 17},{20 + i % 40},{'AB'[i % 2]},{i % 2},{(i // 2) % 2}\n"
                          for i in range(200)))
    f["ref"] = write(os.path.join(d, "ref.csv"),
                     "id,amount,age,group,y,p\n" + "".join(
                         f"{i},{90 + i * 5 % 13},{25 + i % 30},{'AB'[i % 2]},{i % 2},{i % 2}\n" for i in range(150)))
    f["ref_strings"] = write(os.path.join(d, "ref_strings.csv"),
                             "id,amount,age,group,y,p\n" + "".join(
                                 f"{i},x{i},{25 + i % 30},A,{i % 2},{i % 2}\n" for i in range(50)))
    f["ref_missing_col"] = write(os.path.join(d, "ref_missing.csv"), "id,amount\n1,2\n3,4\n")
    f["empty"] = write(os.path.join(d, "empty.csv"), "")
    f["header_only"] = write(os.path.join(d, "header_only.csv"), "a,b,y\n")
    f["ragged_short"] = write(os.path.join(d, "ragged_short.csv"), "a,b,c\n1,2,3\n4,5\n")
    f["ragged_long"] = write(os.path.join(d, "ragged_long.csv"), "a,b,c\n1,2,3\n4,5,6,7\n")
    f["hostile"] = write(os.path.join(d, "hostile.csv"),
                         "a,b,c\n1,2,3\n\x1b]0;owned\x07\x1b[2J,5\n", "w")
    f["bad_utf8_ragged"] = write(os.path.join(d, "bad_utf8.csv"), b"a,b\n1,2\n\xff\xfe,3,4\n", "wb")
    f["unclosed_quote"] = write(os.path.join(d, "unclosed.csv"), 'a,b\n1,"2\n3,4\n')
    f["binary"] = write(os.path.join(d, "binary.csv"), bytes(range(256)) * 8, "wb")
    os.makedirs(os.path.join(d, "empty_dir"))
    f["empty_dir"] = os.path.join(d, "empty_dir")
    os.makedirs(os.path.join(d, "a_folder"))
    f["a_folder"] = os.path.join(d, "a_folder")
    # Parquet inputs that are not Parquet, or whose footer is garbage.
    f["pq_text"] = write(os.path.join(d, "text.parquet"), "id,amount\n1,2\n")
    f["pq_magic_only"] = write(os.path.join(d, "magic_only.parquet"), b"PAR1", "wb")
    f["pq_garbage_footer"] = write(os.path.join(d, "garbage_footer.parquet"),
                                   b"PAR1" + bytes((i * 37 + 11) % 256 for i in range(2000)) +
                                   (600).to_bytes(4, "little") + b"PAR1", "wb")
    f["pq_huge_footer"] = write(os.path.join(d, "huge_footer.parquet"),
                                b"PAR1" + b"\0" * 16 + (0xFFFFFFF0).to_bytes(4, "little") + b"PAR1", "wb")
    f["one_col"] = write(os.path.join(d, "one_col.csv"), "y\n1\n0\n1\n")
    f["labels_null"] = write(os.path.join(d, "labels_null.csv"), "a,y,p\n1,,1\n2,,0\n3,,1\n")
    # Inline tables and configuration files.
    f["t_good"] = write(os.path.join(d, "t_good.json"), '{"schema": [["a", "int"]], "rows": [[1], [2]]}')
    f["t_deep_value"] = write(os.path.join(d, "t_deep_value.json"),
                              '{"schema": [["a", "string"]], "rows": [[' + "[" * DEEP + "]" * DEEP + ']]}')
    f["t_deep_doc"] = write(os.path.join(d, "t_deep_doc.json"), "[" * DEEP + "]" * DEEP)
    f["t_deep_type"] = write(os.path.join(d, "t_deep_type.json"),
                             '{"schema": [["a", "' + "array<" * 20000 + "int" + ">" * 20000 + '"]], "rows": []}')
    f["t_mid_type"] = write(os.path.join(d, "t_mid_type.json"),
                            '{"schema": [["a", "' + "array<" * 3000 + "int" + ">" * 3000 + '"]], "rows": [[null]]}')
    f["t_not_json"] = write(os.path.join(d, "t_not_json.json"), "{schema: nope")
    f["t_bad_utf8"] = write(os.path.join(d, "t_bad_utf8.json"), b'{"schema": [["a", "str\xff"]], "rows": []}', "wb")
    f["t_array"] = write(os.path.join(d, "t_array.json"), "[1, 2, 3]")
    f["t_no_rows"] = write(os.path.join(d, "t_no_rows.json"), '{"schema": [["a", "int"]]}')
    f["t_empty_schema"] = write(os.path.join(d, "t_empty_schema.json"), '{"schema": [], "rows": []}')
    f["t_bad_type"] = write(os.path.join(d, "t_bad_type.json"), '{"schema": [["a", "integr"]], "rows": []}')
    f["t_bad_entry"] = write(os.path.join(d, "t_bad_entry.json"), '{"schema": [["a"]], "rows": []}')
    f["t_short_row"] = write(os.path.join(d, "t_short_row.json"),
                             '{"schema": [["a", "int"], ["b", "int"]], "rows": [[1]]}')
    f["t_overflow"] = write(os.path.join(d, "t_overflow.json"), '{"schema": [["a", "int"]], "rows": [[3000000000]]}')
    f["t_bad_date"] = write(os.path.join(d, "t_bad_date.json"), '{"schema": [["a", "date"]], "rows": [["2021-02-30"]]}')
    f["t_bad_decimal"] = write(os.path.join(d, "t_bad_decimal.json"),
                               '{"schema": [["a", "decimal(3,1)"]], "rows": [["12345.6"]]}')
    f["t_huge_decimal"] = write(os.path.join(d, "t_huge_decimal.json"),
                                '{"schema": [["a", "decimal(99,1)"]], "rows": []}')
    f["t_nan_int"] = write(os.path.join(d, "t_nan_int.json"), '{"schema": [["a", "int"]], "rows": [["NaN"]]}')
    f["t_float_int"] = write(os.path.join(d, "t_float_int.json"), '{"schema": [["a", "int"]], "rows": [[1.5]]}')
    f["t_hostile_name"] = write(os.path.join(d, "t_hostile.json"),
                                '{"schema": [["a", "\\u001b[2J"]], "rows": []}')
    f["cfg_good"] = write(os.path.join(d, "cfg_good.json"), '{"label": "y"}')
    f["cfg_not_json"] = write(os.path.join(d, "cfg_not_json.json"), "{label: y")
    f["cfg_array"] = write(os.path.join(d, "cfg_array.json"), "[1]")
    f["cfg_deep"] = write(os.path.join(d, "cfg_deep.json"), '{"dataset": ' + "[" * DEEP + "]" * DEEP + "}")
    f["cfg_wrong_type"] = write(os.path.join(d, "cfg_wrong_type.json"), '{"label": 7}')
    f["history_not_sqlite"] = write(os.path.join(d, "history_not_sqlite"), "this is not a database\n" * 100)
    hist_other = os.path.join(d, "history_other.sqlite")
    con = sqlite3.connect(hist_other)
    con.execute("CREATE TABLE something_else (x INTEGER)")
    con.commit()
    con.close()
    f["history_other"] = hist_other
    # A history in use: its events table exists, and a case holds an exclusive lock on it while it runs.
    hist_locked = os.path.join(d, "history_locked.sqlite")
    con = sqlite3.connect(hist_locked)
    con.execute("CREATE TABLE events (id INTEGER PRIMARY KEY AUTOINCREMENT, event TEXT NOT NULL, "
                "dataset_name TEXT NOT NULL, dataset_id TEXT NOT NULL, overall_checksum TEXT NOT NULL, "
                "checksums TEXT NOT NULL, time TEXT NOT NULL)")
    con.commit()
    con.close()
    f["history_locked"] = hist_locked
    # A real scikit-learn model of the good file, for predict's own output failures (no case without it).
    try:
        import pickle
        from sklearn.dummy import DummyClassifier
        rows = [line.split(",") for line in open(f["good"]).read().splitlines()[1:]]
        model = DummyClassifier(strategy="most_frequent").fit([[0]] * len(rows), [int(r[4]) for r in rows])
        with open(os.path.join(d, "model.pkl"), "wb") as m:
            pickle.dump(model, m)
        f["model"] = os.path.join(d, "model.pkl")
    except ImportError:
        f["model"] = None
    return f


def cases(f, d):
    """(name, argv) pairs; "{OUT}" is replaced by an output path that must not exist afterwards."""
    good, ref = f["good"], f["ref"]
    deep_sql = "SELECT " + "(" * DEEP_ARG + "1" + ")" * DEEP_ARG
    deep_not = "SELECT " + "NOT " * DEEP_ARG + "true"
    deep_case = "SELECT " + "CASE WHEN true THEN " * 5000 + "1" + " END" * 5000
    deep_where = "(" * DEEP_ARG + "age > 1" + ")" * DEEP_ARG
    c = []
    checks = ["scan", "profile", "quality", "drift", "metrics"]

    def scan_like(cmd, *args):
        base = [cmd]
        if cmd == "drift" and "--reference" not in args:
            base += [args[0], "--reference", ref] + list(args[1:])
            return base
        if cmd == "metrics" and "--prediction" not in args and args and not args[0].startswith("-"):
            return base + [args[0], "--label", "y", "--prediction", "p"] + list(args[1:])
        return base + list(args)

    # Inputs every check subcommand reads.
    for cmd in checks:
        c += [
            (f"{cmd}: missing file", scan_like(cmd, os.path.join(d, "missing.csv"))),
            (f"{cmd}: empty file", scan_like(cmd, f["empty"])),
            (f"{cmd}: header only", scan_like(cmd, f["header_only"])),
            (f"{cmd}: empty folder", scan_like(cmd, f["empty_dir"])),
            (f"{cmd}: /dev/null", scan_like(cmd, "/dev/null")),
            (f"{cmd}: ragged short row", scan_like(cmd, f["ragged_short"])),
            (f"{cmd}: ragged long row", scan_like(cmd, f["ragged_long"])),
            (f"{cmd}: control characters in a malformed row", scan_like(cmd, f["hostile"])),
            (f"{cmd}: invalid UTF-8 in a malformed row", scan_like(cmd, f["bad_utf8_ragged"])),
            (f"{cmd}: binary file", scan_like(cmd, f["binary"])),
            (f"{cmd}: text named .parquet", scan_like(cmd, f["pq_text"])),
            (f"{cmd}: Parquet magic only", scan_like(cmd, f["pq_magic_only"])),
            (f"{cmd}: Parquet garbage footer", scan_like(cmd, f["pq_garbage_footer"])),
            (f"{cmd}: Parquet footer length past the file", scan_like(cmd, f["pq_huge_footer"])),
            (f"{cmd}: unknown label", scan_like(cmd, good, "--label", "nope")),
            (f"{cmd}: malformed where", scan_like(cmd, good, "--where", "age >")),
            (f"{cmd}: unknown column in where", scan_like(cmd, good, "--where", "nope > 1")),
            (f"{cmd}: deeply nested where", scan_like(cmd, good, "--where", deep_where)),
            (f"{cmd}: json in a missing folder", scan_like(cmd, good, "--json", os.path.join(d, "no", "dir", "r.json"))),
            (f"{cmd}: json is a folder", scan_like(cmd, good, "--json", f["a_folder"])),
            (f"{cmd}: html in a missing folder", scan_like(cmd, good, "--json", "{OUT}",
                                                           "--html", os.path.join(d, "no", "dir", "r.html"))),
            (f"{cmd}: splits not numbers", scan_like(cmd, good, "--splits", "0.8,x,0")),
            (f"{cmd}: splits overflow", scan_like(cmd, good, "--splits", "1e308,1e308,0")),
            (f"{cmd}: splits infinite", scan_like(cmd, good, "--splits", "inf,0,0")),
            (f"{cmd}: splits all zero", scan_like(cmd, good, "--splits", "0,0,0")),
            (f"{cmd}: splits two values", scan_like(cmd, good, "--splits", "0.5,0.5")),
            (f"{cmd}: splits negative", scan_like(cmd, good, "--splits", "-1,1,1")),
            (f"{cmd}: splits nan", scan_like(cmd, good, "--splits", "nan,1,1")),
            (f"{cmd}: config not JSON", scan_like(cmd, good, "--config", f["cfg_not_json"])),
            (f"{cmd}: config not an object", scan_like(cmd, good, "--config", f["cfg_array"])),
            (f"{cmd}: config deeply nested", scan_like(cmd, good, "--config", f["cfg_deep"])),
            (f"{cmd}: config missing", scan_like(cmd, good, "--config", os.path.join(d, "nocfg.json"))),
            (f"{cmd}: history not SQLite", scan_like(cmd, good, "--history", f["history_not_sqlite"])),
            (f"{cmd}: history of another schema", scan_like(cmd, good, "--history", f["history_other"])),
            (f"{cmd}: history in a missing folder", scan_like(cmd, good, "--history",
                                                              os.path.join(d, "nohist", "x", "h.sqlite"))),
            (f"{cmd}: unknown option", scan_like(cmd, good, "--no-such-option")),
            (f"{cmd}: label equals prediction", [cmd, good, "--label", "y", "--prediction", "y"]
             + (["--reference", ref] if cmd == "drift" else [])),
        ]
    # Options of one subcommand.
    c += [
        ("profile: histogram bins huge", ["profile", good, "--histogram-bins", "2000000000"]),
        ("profile: histogram bins zero", ["profile", good, "--histogram-bins", "0"]),
        ("profile: histogram bins negative", ["profile", good, "--histogram-bins", "-3"]),
        ("profile: histogram bins not a number", ["profile", good, "--histogram-bins", "many"]),
        ("scan: histogram bins huge", ["scan", good, "--histogram-bins", "2000000000"]),
        ("drift: drift bins huge", ["drift", good, "--reference", ref, "--drift-bins", "2000000000"]),
        ("drift: drift bins zero", ["drift", good, "--reference", ref, "--drift-bins", "0"]),
        ("scan: drift bins huge", ["scan", good, "--reference", ref, "--drift-bins", "2000000000"]),
        ("drift: reference missing", ["drift", good, "--reference", os.path.join(d, "noref.csv")]),
        ("drift: reference empty", ["drift", good, "--reference", f["empty"]]),
        ("drift: reference without a feature", ["drift", good, "--reference", f["ref_missing_col"]]),
        ("drift: reference column of another type", ["drift", good, "--reference", f["ref_strings"]]),
        ("drift: no reference", ["drift", good]),
        ("drift: fail-pvalue-below not a number", ["drift", good, "--reference", ref, "--fail-pvalue-below", "x"]),
        ("drift: fail-pvalue-below out of range", ["drift", good, "--reference", ref, "--fail-pvalue-below", "2"]),
        ("drift: fail-psi-above negative", ["drift", good, "--reference", ref, "--fail-psi-above", "-1"]),
        ("quality: order without colon", ["quality", good, "--order", "amountage"]),
        ("quality: order unknown column", ["quality", good, "--order", "amount:nope"]),
        ("quality: missing-id unknown", ["quality", good, "--missing-id", "nope"]),
        ("quality: sample rows negative", ["quality", good, "--sample-rows", "-1"]),
        ("quality: sample rows huge", ["quality", good, "--sample-rows", "99999999999"]),
        ("quality: fail-violations-above negative", ["quality", good, "--fail-violations-above", "-1"]),
        ("metrics: no prediction", ["metrics", good, "--label", "y"]),
        ("metrics: unknown prediction", ["metrics", good, "--label", "y", "--prediction", "nope"]),
        ("metrics: positive of the wrong type", ["metrics", good, "--label", "y", "--prediction", "p",
                                                 "--positive", "yes"]),
        ("metrics: protected without groups", ["metrics", good, "--label", "y", "--prediction", "p",
                                               "--protected", "group"]),
        ("metrics: unknown protected", ["metrics", good, "--label", "y", "--prediction", "p", "--protected", "nope",
                                        "--privileged", "A", "--unprivileged", "B"]),
        ("metrics: fail-metric-below unknown", ["metrics", good, "--label", "y", "--prediction", "p",
                                                "--fail-metric-below", "nope=1"]),
        ("metrics: fail-metric-below no value", ["metrics", good, "--label", "y", "--prediction", "p",
                                                 "--fail-metric-below", "accuracy"]),
        ("metrics: fail-metric-below not a number", ["metrics", good, "--label", "y", "--prediction", "p",
                                                     "--fail-metric-below", "accuracy=x"]),
        ("scan: one column only", ["scan", f["one_col"], "--label", "y", "--prediction", "y"]),
        ("scan: date format without dates", ["scan", good, "--date", "nope", "--convert-dates"]),
        ("scan: categorical unknown", ["scan", good, "--categorical", "nope"]),
        ("scan: continuous unknown", ["scan", good, "--continuous", "nope"]),
        ("scan: id unknown", ["scan", good, "--id", "nope"]),
        ("scan: no subcommand data", ["scan"]),
        ("no subcommand", []),
        ("unknown subcommand", ["frobnicate"]),
    ]
    # Standard output full: the output is lost, so the run must fail rather than report success.
    c += [
        ("scan: --json - [stdout full]", ["scan", good, "--label", "y", "--prediction", "p", "--json", "-"]),
        ("profile: summary [stdout full]", ["profile", good, "--json", "{OUT}"]),
        ("metrics: summary [stdout full]", ["metrics", good, "--label", "y", "--prediction", "p"]),
        ("sql: table [stdout full]", ["sql", "--csv", f"g={good}", "SELECT * FROM g"]),
        ("sql: --json [stdout full]", ["sql", "--csv", f"g={good}", "--json", "SELECT * FROM g"]),
    ]
    if f["model"]:
        c += [("predict: --output - [stdout full]", ["predict", good, "--model", f["model"], "--output", "-"])]
    # The history on a full disk (no file may be written: [no disk]) must leave no empty file behind; a
    # history another connection holds locked is refused once the wait for it ends.
    for cmd in checks:
        c += [
            (f"{cmd}: new history on a full disk [no disk]",
             scan_like(cmd, good, "--json", "-", "--history", os.path.join(d, "new_history.sqlite"))),
            (f"{cmd}: history locked by another connection [locked]",
             scan_like(cmd, good, "--history", f["history_locked"])),
        ]
    # sql.
    t = f["t_good"]
    c += [
        ("sql: empty query", ["sql", "--csv", f"g={good}", " "]),
        ("sql: --parquet of a CSV file", ["sql", "--parquet", f"g={good}", "SELECT * FROM g"]),
        ("sql: --parquet garbage footer", ["sql", "--parquet", f"g={f['pq_garbage_footer']}", "SELECT * FROM g"]),
        ("sql: --parquet missing", ["sql", "--parquet", f"g={os.path.join(d, 'missing.parquet')}", "SELECT 1"]),
        ("sql: malformed query", ["sql", "--csv", f"g={good}", "SELEC 1"]),
        ("sql: unknown column", ["sql", "--csv", f"g={good}", "SELECT nope FROM g"]),
        ("sql: unknown table", ["sql", "SELECT * FROM nope"]),
        ("sql: deeply parenthesised", ["sql", deep_sql]),
        ("sql: deep NOT chain", ["sql", deep_not]),
        ("sql: deep CASE", ["sql", deep_case]),
        ("sql: deep unary minus", ["sql", "SELECT " + "-" * DEEP_ARG + "1"]),
        ("sql: deep function calls", ["sql", "SELECT " + "abs(" * 10000 + "1" + ")" * 10000]),
        ("sql: deep subqueries", ["sql", "SELECT * FROM " + "(SELECT * FROM " * 3000 + "(SELECT 1 AS a)" +
                                  " t)" * 3000 + " u"]),
        ("sql: deep type string in cast", ["sql", "SELECT CAST(NULL AS " + "array<" * 10000 + "int" + ">" * 10000 + ")"]),
        ("sql: long binary chain", ["sql", "SELECT " + " + ".join(["1"] * 30000)]),
        ("sql: timestamp literal past the last year", ["sql", "SELECT timestamp '902024-01-01'"]),
        ("sql: control characters", ["sql", "SELECT \x1b[2J\x1b]0;owned\x07"]),
        ("sql: invalid UTF-8 identifier", ["sql", "SELECT \udcff FROM x"]),
        ("sql: csv missing", ["sql", "--csv", f"g={os.path.join(d, 'missing.csv')}", "SELECT 1"]),
        ("sql: csv empty folder", ["sql", "--csv", f"g={f['empty_dir']}", "SELECT * FROM g"]),
        ("sql: csv bad view name", ["sql", "--csv", f"1g={good}", "SELECT 1"]),
        ("sql: csv without name", ["sql", "--csv", good, "SELECT 1"]),
        ("sql: csv twice", ["sql", "--csv", f"g={good}", "--csv", f"G={good}", "SELECT 1"]),
        ("sql: max rows negative", ["sql", "--max-rows", "-1", "SELECT 1"]),
        ("sql: max rows not a number", ["sql", "--max-rows", "x", "SELECT 1"]),
        ("sql: table deep value", ["sql", "--table", f"t={f['t_deep_value']}", "SELECT * FROM t"]),
        ("sql: table deep document", ["sql", "--table", f"t={f['t_deep_doc']}", "SELECT * FROM t"]),
        ("sql: table deep type", ["sql", "--table", f"t={f['t_deep_type']}", "SELECT * FROM t"]),
        ("sql: table nested type 3000", ["sql", "--table", f"t={f['t_mid_type']}", "SELECT * FROM t"]),
        ("sql: table not JSON", ["sql", "--table", f"t={f['t_not_json']}", "SELECT * FROM t"]),
        ("sql: table invalid UTF-8", ["sql", "--table", f"t={f['t_bad_utf8']}", "SELECT * FROM t"]),
        ("sql: table an array", ["sql", "--table", f"t={f['t_array']}", "SELECT * FROM t"]),
        ("sql: table without rows", ["sql", "--table", f"t={f['t_no_rows']}", "SELECT * FROM t"]),
        ("sql: table empty schema", ["sql", "--table", f"t={f['t_empty_schema']}", "SELECT * FROM t"]),
        ("sql: table unknown type", ["sql", "--table", f"t={f['t_bad_type']}", "SELECT * FROM t"]),
        ("sql: table bad schema entry", ["sql", "--table", f"t={f['t_bad_entry']}", "SELECT * FROM t"]),
        ("sql: table short row", ["sql", "--table", f"t={f['t_short_row']}", "SELECT * FROM t"]),
        ("sql: table int overflow", ["sql", "--table", f"t={f['t_overflow']}", "SELECT * FROM t"]),
        ("sql: table bad date", ["sql", "--table", f"t={f['t_bad_date']}", "SELECT * FROM t"]),
        ("sql: table decimal too wide", ["sql", "--table", f"t={f['t_bad_decimal']}", "SELECT * FROM t"]),
        ("sql: table decimal precision 99", ["sql", "--table", f"t={f['t_huge_decimal']}", "SELECT * FROM t"]),
        ("sql: table NaN in an int column", ["sql", "--table", f"t={f['t_nan_int']}", "SELECT * FROM t"]),
        ("sql: table fraction in an int column", ["sql", "--table", f"t={f['t_float_int']}", "SELECT * FROM t"]),
        ("sql: table missing", ["sql", "--table", f"t={os.path.join(d, 'nope.json')}", "SELECT 1"]),
        ("sql: table is a folder", ["sql", "--table", f"t={f['a_folder']}", "SELECT 1"]),
        ("sql: division of strings in ansi-free mode still parses but unknown function",
         ["sql", "SELECT no_such_function(1)"]),
        ("sql: three-way cross join over the memory budget",
         ["sql", "--csv", f"g={good}", "--json",
          "SELECT * FROM g a CROSS JOIN g b CROSS JOIN g c CROSS JOIN g e CROSS JOIN g h"]),
    ]
    # CSV reading options, on the checks, the reference, predict and sql.
    for cmd in checks:
        c += [
            (f"{cmd}: two-character delimiter", scan_like(cmd, good, "--delimiter", ";;")),
            (f"{cmd}: encoding the reader cannot decode", scan_like(cmd, good, "--encoding", "latin1")),
            (f"{cmd}: unknown letter in the date format", scan_like(cmd, good, "--date-format", "qqq")),
            (f"{cmd}: quote equal to the delimiter", scan_like(cmd, good, "--delimiter", "|", "--quote", "|")),
        ]
    c += [
        ("predict: empty escape", ["predict", good, "--model", f["cfg_good"], "--output", "{OUT}", "--escape", ""]),
        ("sql: line break as delimiter", ["sql", "--csv", f"g={good}", "--delimiter", "\n", "SELECT 1"]),
        ("sql: timestamp format with ten fraction letters",
         ["sql", "--csv", f"g={good}", "--timestamp-format", "HH:mm:ss.SSSSSSSSSS", "SELECT * FROM g"]),
    ]
    # predict.
    c += [
        ("predict: missing model", ["predict", good, "--model", os.path.join(d, "nomodel.pkl"), "--output", "{OUT}"]),
        ("predict: model not a pickle", ["predict", good, "--model", f["history_not_sqlite"], "--output", "{OUT}"]),
        ("predict: missing data", ["predict", os.path.join(d, "x.csv"), "--model", f["cfg_good"], "--output", "{OUT}"]),
        ("predict: output in a missing folder", ["predict", good, "--model", f["cfg_good"], "--output",
                                                 os.path.join(d, "no", "dir", "out.csv")]),
        ("predict: output is a folder", ["predict", good, "--model", f["cfg_good"], "--output", f["a_folder"]]),
        ("predict: no output", ["predict", good, "--model", f["cfg_good"]]),
        ("predict: malformed where", ["predict", good, "--model", f["cfg_good"], "--output", "{OUT}", "--where", "x >"]),
    ]
    return c


def f_locked_history(args):
    return args[args.index("--history") + 1]


def run_case(binary, name, argv, d, history):
    out = os.path.join(d, "out_" + str(abs(hash(name))) + ".json")
    args = [a.replace("{OUT}", out) for a in argv]
    # Every checking subcommand gets an output report and a history file, unless the case sets its own.
    if args and args[0] in ("scan", "profile", "quality", "drift", "metrics"):
        if "--json" not in args:
            args += ["--json", out]
        if "--history" not in args:
            args += ["--history", history]
    before = set(os.listdir(d))

    def limits():
        if not SANITIZED:
            resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        if "[no disk]" in name:
            # Every write past the first byte of a file fails as on a full disk (EFBIG, not a signal).
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (0, 0))

    lock = None
    if "[locked]" in name:
        lock = sqlite3.connect(f_locked_history(args), isolation_level=None)
        lock.execute("BEGIN EXCLUSIVE")

    # The query budget is set well below the address-space limit: a query over it must fail with the
    # budget's message, not run into the limit.
    env = dict(os.environ, HOME=d, NORQ_EVENT_DB=history, NORQ_QUERY_MEMORY="1G")
    start = time.monotonic()
    try:
        stdout = open("/dev/full", "wb") if "[stdout full]" in name else subprocess.PIPE
        p = subprocess.run([binary] + [a.encode("utf-8", "surrogateescape") for a in args], stdin=subprocess.DEVNULL,
                           stdout=stdout, stderr=subprocess.PIPE, timeout=TIME_LIMIT_S, preexec_fn=limits,
                           env=env)
        if stdout is not subprocess.PIPE:
            stdout.close()
    except subprocess.TimeoutExpired:
        return [f"did not finish within {TIME_LIMIT_S} s"]
    finally:
        if lock:
            lock.execute("ROLLBACK")
            lock.close()
    elapsed = time.monotonic() - start
    problems = []
    if p.returncode < 0:
        problems.append(f"killed by signal {signal.Signals(-p.returncode).name}")
    elif p.returncode != 2:
        problems.append(f"exit status {p.returncode}, expected 2")
    err = p.stderr
    lines = err.split(b"\n")
    if not err.endswith(b"\n") or len(lines) != 2:
        problems.append(f"standard error is not one line: {err[:300]!r}")
    elif not lines[0].startswith(b"error: "):
        problems.append(f"message does not start with 'error: ': {lines[0][:200]!r}")
    try:
        text = err.decode("utf-8")
        if any(ord(ch) < 0x20 and ch != "\n" or ord(ch) == 0x7f for ch in text):
            problems.append(f"control characters in the message: {err[:200]!r}")
    except UnicodeDecodeError:
        problems.append(f"invalid UTF-8 in the message: {err[:200]!r}")
    if len(err) > 4096:
        problems.append(f"message of {len(err)} bytes")
    for o in [out] + [a for a in args if a.endswith((".json", ".html", ".csv")) and "/no/dir/" in a]:
        if os.path.exists(o):
            problems.append(f"output file left behind: {o}")
    created = set(os.listdir(d)) - before
    leftovers = [x for x in created if x not in (os.path.basename(history),)]
    if leftovers:
        problems.append(f"files left behind: {sorted(leftovers)}")
    histories = [history] + ([f_locked_history(args)] if "[locked]" in name else [])
    for h in filter(os.path.exists, histories):
        try:
            con = sqlite3.connect(h)
            tables = [r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type='table'")]
            for t in tables:
                n = con.execute(f'SELECT count(*) FROM "{t}"').fetchone()[0]
                if n:
                    problems.append(f"history table {t} holds {n} records")
            con.close()
        except sqlite3.DatabaseError as e:
            problems.append(f"history file unreadable: {e}")
    if problems:
        problems.append(f"(took {elapsed:.1f} s; stderr {err[:200]!r})")
    elif VERBOSE:
        print(f"     {elapsed:5.2f} s  {err.decode('utf-8', 'replace').strip()[:300]}")
    return problems


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    binary = os.path.abspath(sys.argv[1])
    filt = sys.argv[sys.argv.index("--filter") + 1] if "--filter" in sys.argv else None
    keep = "--keep" in sys.argv
    root = tempfile.mkdtemp(prefix="norq_catalogue_")
    try:
        fixtures_dir = os.path.join(root, "fixtures")
        os.makedirs(fixtures_dir)
        fixtures = make_fixtures(fixtures_dir)
        all_cases = cases(fixtures, fixtures_dir)
        failed = 0
        ran = 0
        for name, argv in all_cases:
            if filt and filt not in name:
                continue
            ran += 1
            history = os.path.join(root, "history.sqlite")
            if os.path.exists(history):
                os.remove(history)
            problems = run_case(binary, name, argv, fixtures_dir, history)
            if problems:
                failed += 1
                print(f"FAIL {name}")
                for pr in problems:
                    print(f"     {pr}")
            else:
                print(f"ok   {name}")
        print(f"{ran - failed}/{ran} bad-input cases handled cleanly")
        return 1 if failed else 0
    finally:
        if keep:
            print(f"kept {root}")
        else:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
