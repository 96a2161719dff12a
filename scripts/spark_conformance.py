#!/usr/bin/env python3
"""Records Apache Spark's answers to the conformance scenarios as golden files.

Reads every tests/conformance/scenarios/<topic>.json, runs each scenario on pyspark (one local[2] session,
spark.sql.ansi.enabled=false, session time zone UTC) and writes tests/conformance/golden/<topic>.json.
The C++ runner (tests/conformance/conformance_test.cpp) compares the engine against these files and never
needs Spark. Rerun this script whenever a scenario file or a CSV input changes:

    python3 scripts/spark_conformance.py            # every topic
    python3 scripts/spark_conformance.py joins csv  # only these topics

Value encoding (shared with the C++ runner): integers as JSON integers, booleans as JSON booleans, strings
as JSON strings, doubles and floats as text that round-trips exactly ("0.1", "1e+20", "NaN", "Infinity",
"-Infinity", "-0.0"), decimals as plain text with the column's scale ("1.50"), dates as "yyyy-mm-dd",
timestamps as "yyyy-mm-dd hh:mm:ss.ffffff" (UTC), day-time intervals as integer microseconds, arrays as
JSON arrays, nulls as null. (pyspark cannot collect year-month intervals: scenarios cast them to strings.)
"""

import datetime
import decimal
import json
import logging
import math
import os
import sys
import time

os.environ["TZ"] = "UTC"
time.tzset()

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CONF_DIR = os.path.join(ROOT, "tests", "conformance")
SCENARIO_DIR = os.path.join(CONF_DIR, "scenarios")
GOLDEN_DIR = os.path.join(CONF_DIR, "golden")
CSV_DIR = os.path.join(CONF_DIR, "csv")
PARQUET_DIR = os.path.join(CONF_DIR, "parquet")


TOPIC_CONF_KEYS = ["spark.sql.files.maxPartitionBytes", "spark.sql.files.openCostInBytes"]


def make_session():
    from pyspark.sql import SparkSession

    return (
        SparkSession.builder.master("local[2]")
        .appName("norq-conformance")
        .config("spark.sql.ansi.enabled", "false")
        .config("spark.sql.session.timeZone", "UTC")
        .config("spark.driver.extraJavaOptions", "-Duser.timezone=UTC")
        .config("spark.executor.extraJavaOptions", "-Duser.timezone=UTC")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.sql.shuffle.partitions", "2")
        .getOrCreate()
    )


# ---------------------------------------------------------------------------------------------------------
# Input values: JSON -> Python values that createDataFrame accepts for the declared type.


def parse_double(v):
    if isinstance(v, str):
        special = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}
        return special[v] if v in special else float(v)
    return float(v)


def parse_timestamp(text):
    return datetime.datetime.fromisoformat(text.replace("T", " "))


def to_input(v, dtype):
    from pyspark.sql import types as T

    if v is None:
        return None
    if isinstance(dtype, (T.ByteType, T.ShortType, T.IntegerType, T.LongType)):
        return int(v)
    if isinstance(dtype, (T.FloatType, T.DoubleType)):
        return parse_double(v)
    if isinstance(dtype, T.DecimalType):
        return decimal.Decimal(str(v))
    if isinstance(dtype, T.BooleanType):
        return bool(v)
    if isinstance(dtype, T.DateType):
        return datetime.date.fromisoformat(v)
    if isinstance(dtype, T.TimestampType):
        return parse_timestamp(v)
    if isinstance(dtype, T.ArrayType):
        return [to_input(x, dtype.elementType) for x in v]
    if isinstance(dtype, T.StringType):
        return str(v)
    raise ValueError(f"unsupported input type {dtype.simpleString()}")


# ---------------------------------------------------------------------------------------------------------
# Output values: Python values from collect() -> canonical JSON.


def double_text(x):
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "Infinity" if x > 0 else "-Infinity"
    return repr(float(x))


def to_output(v, dtype):
    from pyspark.sql import types as T

    if v is None:
        return None
    if isinstance(dtype, (T.FloatType, T.DoubleType)):
        return double_text(v)
    if isinstance(dtype, T.DecimalType):
        return format(v, "f")
    if isinstance(dtype, T.TimestampType):
        if v.tzinfo is not None:
            v = v.astimezone(datetime.timezone.utc).replace(tzinfo=None)
        return v.strftime("%Y-%m-%d %H:%M:%S.%f")
    if isinstance(dtype, T.DateType):
        return v.isoformat()
    if isinstance(dtype, T.DayTimeIntervalType):
        return (v.days * 86400 + v.seconds) * 1000000 + v.microseconds
    if isinstance(dtype, T.ArrayType):
        return [to_output(x, dtype.elementType) for x in v]
    if isinstance(dtype, (T.ByteType, T.ShortType, T.IntegerType, T.LongType)):
        return int(v)
    if isinstance(dtype, T.BooleanType):
        return bool(v)
    if isinstance(dtype, T.StringType):
        return str(v)
    raise ValueError(f"unsupported output type {dtype.simpleString()}")


# ---------------------------------------------------------------------------------------------------------
# Tables and the DataFrame DSL.


def write_golden(path, golden):
    """Writes a golden file: indented JSON, except that input table rows take one line each (a table of
    thousands of rows would otherwise take a line per cell)."""
    tables = golden["tables"]
    rest = {k: v for k, v in golden.items() if k != "tables"}
    lines = ["{", ' "tables": [']
    for i, t in enumerate(tables):
        head = {k: v for k, v in t.items() if k != "rows"}
        body = json.dumps(head, ensure_ascii=False)[:-1]
        if "rows" in t:
            rows = ",\n".join("    " + json.dumps(r, ensure_ascii=False) for r in t["rows"])
            body += ', "rows": [\n' + rows + "\n  ]"
        lines.append("  " + body + "}" + ("," if i < len(tables) - 1 else ""))
    lines.append(" ],")
    tail = json.dumps(rest, indent=1, ensure_ascii=False)
    lines.append(tail[2:])  # the remaining keys, without the opening brace
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def register_tables(spark, tables):
    from pyspark.sql import types as T
    from pyspark.sql.types import _parse_datatype_string

    for t in tables:
        if "csv" in t:
            opts = {"header": "true", "inferSchema": "true"}
            opts.update({k: str(v).lower() if isinstance(v, bool) else str(v) for k, v in t.get("options", {}).items()})
            df = spark.read.options(**opts).csv(os.path.join(CSV_DIR, t["csv"]))
        elif "parquet" in t:
            df = spark.read.parquet(os.path.join(PARQUET_DIR, t["parquet"]))
        else:
            fields = [T.StructField(n, _parse_datatype_string(ty), True) for n, ty in t["schema"]]
            schema = T.StructType(fields)
            rows = [tuple(to_input(v, f.dataType) for v, f in zip(r, fields)) for r in t["rows"]]
            if any(len(r) != len(fields) for r in t["rows"]):
                raise ValueError(f"table {t['name']}: a row does not match the schema width")
            df = spark.createDataFrame(rows, schema)
        df.createOrReplaceTempView(t["name"])


def sort_key(spec):
    from pyspark.sql import functions as F

    if isinstance(spec, str):
        return F.col(spec)
    c = F.expr(spec["expr"])
    desc = spec.get("desc", False)
    nulls = spec.get("nulls")
    if nulls is None:
        return c.desc() if desc else c.asc()
    if desc:
        return c.desc_nulls_first() if nulls == "first" else c.desc_nulls_last()
    return c.asc_nulls_first() if nulls == "first" else c.asc_nulls_last()


def source_frame(spark, spec):
    if isinstance(spec, str):
        return spark.table(spec)
    if "from_sql" in spec:
        df = spark.sql(spec["from_sql"])
    elif "from_range" in spec:
        df = spark.range(*spec["from_range"])
    else:
        df = spark.table(spec["from"])
    return apply_ops(spark, df, spec.get("ops", []))


def apply_ops(spark, df, ops):
    """Applies the DSL ops; returns a DataFrame, or an int for a terminal count."""
    from pyspark.sql import functions as F

    for i, op in enumerate(ops):
        kind = op["op"]
        if kind == "select":
            df = df.select(*op["cols"])
        elif kind == "selectExpr":
            df = df.selectExpr(*op["exprs"])
        elif kind in ("filter", "where"):
            df = df.filter(op["expr"])
        elif kind == "withColumn":
            df = df.withColumn(op["name"], F.expr(op["expr"]))
        elif kind == "withColumnRenamed":
            df = df.withColumnRenamed(op["existing"], op["new"])
        elif kind == "drop":
            df = df.drop(*op["cols"])
        elif kind == "dropna":
            df = df.na.drop(how=op.get("how", "any"), thresh=op.get("thresh"), subset=op.get("subset"))
        elif kind == "dropDuplicates":
            df = df.dropDuplicates(op["subset"]) if "subset" in op else df.dropDuplicates()
        elif kind == "distinct":
            df = df.distinct()
        elif kind == "limit":
            df = df.limit(op["n"])
        elif kind == "offset":
            df = df.offset(op["n"])
        elif kind == "orderBy":
            df = df.orderBy(*[sort_key(k) for k in op["keys"]])
        elif kind == "groupBy":
            g = df.groupBy(*[F.expr(c) for c in op["cols"]])
            df = g.agg(*[F.expr(a) for a in op["aggs"]]) if "aggs" in op else g.count()
        elif kind == "agg":
            df = df.agg(*[F.expr(a) for a in op["aggs"]])
        elif kind == "join":
            other = source_frame(spark, op["other"])
            how = op.get("how", "inner")
            if "on_expr" in op:
                df = df.join(other, F.expr(op["on_expr"]), how)
            elif "on" in op:
                df = df.join(other, op["on"], how)
            else:
                df = df.join(other, how=how)
        elif kind == "crossJoin":
            df = df.crossJoin(source_frame(spark, op["other"]))
        elif kind in ("union", "unionAll", "unionByName", "exceptAll", "subtract", "intersect"):
            df = getattr(df, kind)(source_frame(spark, op["other"]))
        elif kind == "alias":
            df = df.alias(op["name"])
        elif kind == "randomSplit":
            df = df.randomSplit(op["weights"], op["seed"])[op["index"]]
        elif kind == "count":
            if i != len(ops) - 1:
                raise ValueError("count must be the last op")
            return df.count()
        elif kind == "numPartitions":
            if i != len(ops) - 1:
                raise ValueError("numPartitions must be the last op")
            return ("partitions", df.rdd.getNumPartitions())
        else:
            raise ValueError(f"unknown op {kind}")
    return df


# ---------------------------------------------------------------------------------------------------------


def error_class_name(exc):
    from pyspark.errors import AnalysisException, ParseException

    if isinstance(exc, ParseException):
        return "ParseException"
    if isinstance(exc, AnalysisException):
        return "AnalysisException"
    return type(exc).__name__


def run_scenario(spark, sc):
    """Returns the golden entry for one scenario."""
    out = {"name": sc["name"]}
    try:
        if "sql" in sc:
            result = spark.sql(sc["sql"])
        else:
            result = source_frame(spark, sc)
        if isinstance(result, tuple):
            out["schema"] = [["partitions", "int"]]
            out["rows"] = [[result[1]]]
            return out
        if isinstance(result, int):
            out["schema"] = [["count", "bigint"]]
            out["rows"] = [[result]]
            return out
        rows = result.collect()
        fields = result.schema.fields
        out["schema"] = [[f.name, f.dataType.simpleString()] for f in fields]
        out["rows"] = [[to_output(v, f.dataType) for v, f in zip(r, fields)] for r in rows]
    except Exception as exc:  # noqa: BLE001 - every failure is recorded, expected or not
        if not sc.get("expect_error"):
            raise
        out["error"] = error_class_name(exc)
        cls = getattr(exc, "getCondition", None) or getattr(exc, "getErrorClass", None)
        if cls is not None and cls():
            out["error_condition"] = cls()
    return out


def check_expectation(sc, entry):
    """Problems with the scenario itself (Spark did not behave as the scenario says)."""
    want = sc.get("expect_error")
    if want and "error" not in entry:
        return f"expected {want} but Spark succeeded"
    if want and entry["error"] != want and not (want == "AnalysisException" and entry["error"] == "ParseException"):
        return f"expected {want} but Spark raised {entry['error']}"
    if "error" not in entry and sc.get("ordered") and len(entry["rows"]) > 1:
        if "sql" in sc and "order by" not in sc["sql"].lower() and "over" not in sc["sql"].lower():
            return "ordered scenario without ORDER BY"
    return None


def main(argv):
    topics = sorted(f[:-5] for f in os.listdir(SCENARIO_DIR) if f.endswith(".json"))
    if argv:
        unknown = [a for a in argv if a not in topics]
        if unknown:
            sys.exit(f"unknown topics: {unknown}; known: {topics}")
        topics = argv
    # Spark logs every failed query at ERROR level through these loggers; expected failures are recorded
    # in the golden files instead.
    for name in ("SQLQueryContextLogger", "DataFrameQueryContextLogger"):
        logging.getLogger(name).disabled = True
    spark = make_session()
    spark.sparkContext.setLogLevel("OFF")
    problems = []
    total = 0
    try:
        os.makedirs(GOLDEN_DIR, exist_ok=True)
        for topic in topics:
            with open(os.path.join(SCENARIO_DIR, topic + ".json")) as f:
                spec = json.load(f)
            for c in spark.catalog.listTables():
                if c.isTemporary:
                    spark.catalog.dropTempView(c.name)
            # A topic may change how files are cut into partitions; other topics run with the defaults.
            for key in TOPIC_CONF_KEYS:
                spark.conf.unset(key)
            for key, value in spec.get("conf", {}).items():
                if key not in TOPIC_CONF_KEYS:
                    sys.exit(f"{topic}: unsupported conf key {key}; supported: {TOPIC_CONF_KEYS}")
                spark.conf.set(key, value)
            tables = spec.get("tables", [])
            register_tables(spark, tables)
            names = set()
            entries = []
            for sc in spec["scenarios"]:
                if sc["name"] in names:
                    problems.append(f"{topic}/{sc['name']}: duplicate scenario name")
                names.add(sc["name"])
                try:
                    entry = run_scenario(spark, sc)
                except Exception as exc:  # noqa: BLE001
                    problems.append(f"{topic}/{sc['name']}: Spark failed: {type(exc).__name__}: {str(exc)[:300]}")
                    continue
                p = check_expectation(sc, entry)
                if p:
                    problems.append(f"{topic}/{sc['name']}: {p}")
                # The runner refuses a golden entry whose recorded scenario differs from the current one.
                entry["scenario"] = {k: v for k, v in sc.items() if k not in ("pending", "phase", "embedded_only")}
                entries.append(entry)
                total += 1
            golden = {
                "spark_version": spark.version,
                "config": {"spark.sql.ansi.enabled": "false", "spark.sql.session.timeZone": "UTC"},
                **({"conf": spec["conf"]} if spec.get("conf") else {}),
                "tables": tables,
                "scenarios": entries,
            }
            write_golden(os.path.join(GOLDEN_DIR, topic + ".json"), golden)
            print(f"{topic}: {len(entries)} scenarios", flush=True)
    finally:
        spark.stop()
    print(f"{total} scenarios recorded")
    if problems:
        print("\nProblems:")
        for p in problems:
            print("  " + p)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
