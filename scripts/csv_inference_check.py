#!/usr/bin/env python3
"""Records Apache Spark's answers for the CSV reader's sample files.

Runs pyspark (local mode, ANSI off, session time zone UTC) over every case below and writes
tests/data/csv/expected_schemas.json: per case the files read, the reader options, the user schema (if
any), the schema Spark ends up with (simpleString) and the rows it returns. The C++ reader test replays
every case and compares.

Values are stored in a form both sides can produce exactly: integers and decimals as text, doubles as
text ("NaN", "Infinity", "-Infinity" or a decimal literal compared numerically), dates as days since the
epoch, timestamps as microseconds since the epoch.

Usage: python3 scripts/csv_inference_check.py [--print]
"""
import json
import math
import os
import sys
from decimal import Decimal

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "tests", "data", "csv")
OUT = os.path.join(DATA, "expected_schemas.json")

INFER = {"header": "true", "inferSchema": "true", "multiLine": "true"}

# Cases whose values depend on the day the script runs (time-only text takes today's date).
UNSTABLE_VALUES = {"time_only.csv"}

USER_SCHEMAS = {
    "typed_values.csv [schema]": [
        ["i", "int"], ["l", "bigint"], ["d", "double"], ["dec", "decimal(5,2)"], ["dt", "date"],
        ["ts", "timestamp"], ["b", "boolean"], ["s", "string"], ["f", "float"], ["by", "tinyint"],
    ],
    "ragged.csv [schema]": [["a", "int"], ["b", "int"], ["c", "int"]],
    "quoted.csv [schema]": [["id", "bigint"], ["text", "string"], ["note", "string"]],
}


def cases():
    out = []
    for name in sorted(os.listdir(DATA)):
        path = os.path.join(DATA, name)
        if name.startswith((".", "_")) or name.endswith(".json"):
            continue
        if os.path.isdir(path) or name.endswith(".csv"):
            out.append((name, name, dict(INFER), None))
    out.append(("quoted.csv [header=false]", "quoted.csv", dict(INFER, header="false"), None))
    out.append(("ragged.csv [header=false]", "ragged.csv", dict(INFER, header="false"), None))
    out.append(("tabs.tsv [sep=tab]", "tabs.tsv", dict(INFER, sep="\t"), None))
    out.append(("ragged.csv [no inference]", "ragged.csv", {"header": "true", "multiLine": "true"}, None))
    out.append(("null_value.csv [nullValue=NA]", "null_value.csv", dict(INFER, nullValue="NA"), None))
    out.append(("blank_lines.csv [multiLine=false]", "blank_lines.csv",
                {"header": "true", "inferSchema": "true", "multiLine": "false"}, None))
    out.append(("ragged.csv [DROPMALFORMED]", "ragged.csv", dict(INFER, mode="DROPMALFORMED"), None))
    out.append(("custom_formats.csv [dateFormat]", "custom_formats.csv", dict(INFER, dateFormat="dd/MM/yyyy"), None))
    out.append(("custom_formats.csv [timestampFormat]", "custom_formats.csv",
                dict(INFER, timestampFormat="yyyy-MM-dd HH:mm:ss.SSS"), None))
    out.append(("custom_formats.csv [formats, schema]", "custom_formats.csv",
                dict(header="true", dateFormat="dd/MM/yyyy", timestampFormat="yyyy-MM-dd HH:mm:ss.SSS"),
                [["d", "date"], ["ts", "timestamp"], ["mixed", "date"]]))
    out.append(("formats_more.csv [formats]", "formats_more.csv",
                dict(INFER, dateFormat="dd MMM yyyy", timestampFormat="MM/dd/yyyy hh:mm a"), None))
    for key, fields in USER_SCHEMAS.items():
        file = key.split(" ")[0]
        opts = {"header": "true", "multiLine": "true"}
        if file == "typed_values.csv":
            opts["nullValue"] = "NA"
        out.append((key, file, opts, fields))
    return out


def render(v):
    if v is None:
        return None
    if isinstance(v, bool):
        return v
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        if math.isnan(v):
            return "NaN"
        if math.isinf(v):
            return "Infinity" if v > 0 else "-Infinity"
        return repr(v)
    if isinstance(v, Decimal):
        return format(v, "f")
    return str(v)


def main():
    from pyspark.sql import SparkSession
    from pyspark.sql import functions as F
    from pyspark.sql.types import DateType, TimestampType

    spark = (SparkSession.builder.master("local[1]").appName("csv-inference-check")
             .config("spark.sql.ansi.enabled", "false")
             .config("spark.sql.session.timeZone", "UTC")
             .config("spark.ui.enabled", "false")
             .getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    results = {}
    try:
        for key, file, opts, fields in cases():
            reader = spark.read.options(**opts)
            if fields:
                reader = reader.schema(", ".join(f"`{n}` {t}" for n, t in fields))
            df = reader.csv(os.path.join(DATA, file))
            cols = []
            for f in df.schema.fields:
                c = F.col(f"`{f.name}`")
                if isinstance(f.dataType, TimestampType):
                    c = F.unix_micros(c)
                elif isinstance(f.dataType, DateType):
                    c = F.unix_date(c)
                cols.append(c.alias(f.name))
            entry = {"path": file, "options": opts, "schema": fields, "inferred": df.schema.simpleString()}
            if key not in UNSTABLE_VALUES:
                entry["rows"] = [[render(v) for v in row] for row in df.select(cols).collect()]
            results[key] = entry
            if "--print" in sys.argv:
                print(f"{key}: {entry['inferred']}")
                for r in entry.get("rows", []):
                    print("   ", r)
        try:
            spark.read.csv(os.path.join(DATA, "no_such_file.csv")).collect()
        except Exception as e:  # noqa: BLE001 - recorded for the error-message test
            msg = str(e).splitlines()[0]
            results["__missing_path_error__"] = msg.replace(DATA, "<DATA>")
            print("missing path:", msg)
    finally:
        spark.stop()
    with open(OUT, "w", encoding="utf-8") as fh:
        json.dump(results, fh, indent=1, ensure_ascii=False, sort_keys=True)
        fh.write("\n")
    print(f"wrote {len(results)} cases to {OUT}")


if __name__ == "__main__":
    main()
