"""Frames from pandas, Arrow and files into the engine and back."""
import datetime
import decimal
import math

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

from conftest import LOANS


def test_pandas_types_and_nulls_round_trip(ns):
    df = pd.DataFrame(
        {
            "i64": pd.array([1, None, -3], dtype="Int64"),
            "f64": [1.5, float("nan"), -0.0],
            "f32": np.array([1.25, 2.5, 3.75], dtype=np.float32),
            "i8": np.array([1, -2, 127], dtype=np.int8),
            "b": [True, False, True],
            "s": ["a", None, "ccc"],
            "cat": pd.Categorical(["x", "y", "x"]),
            "ts": pd.to_datetime(["2024-01-01 10:00:00.123456", None, "1969-12-31 23:59:59"], format="ISO8601"),
        }
    )
    frame = ns.from_pandas(df)
    assert frame.count() == 3
    assert dict(frame.dtypes) == {
        "i64": "bigint", "f64": "double", "f32": "float", "i8": "tinyint", "b": "boolean", "s": "string",
        "cat": "string", "ts": "timestamp",
    }
    rows = frame.collect()
    # NaN in a pandas float column is missing, as Spark's createDataFrame reads it.
    assert rows[1] == {"i64": None, "f64": None, "f32": 2.5, "i8": -2, "b": False, "s": None, "cat": "y", "ts": None}
    assert rows[0]["ts"] == datetime.datetime(2024, 1, 1, 10, 0, 0, 123456, tzinfo=datetime.timezone.utc)
    assert rows[2]["ts"] == datetime.datetime(1969, 12, 31, 23, 59, 59, tzinfo=datetime.timezone.utc)
    back = frame.toPandas()
    assert list(back.columns) == list(df.columns)
    assert back["s"].tolist() == ["a", None, "ccc"]
    assert back["i8"].tolist() == [1, -2, 127]
    assert math.isnan(back["f64"][1]) and back["f64"][0] == 1.5


def test_arrow_chunks_offsets_and_unaligned_validity(ns):
    # Several chunks, a sliced chunk (non-zero offset) and nulls at positions that do not fall on byte
    # boundaries: the validity and string offsets must line up across chunks.
    a = pa.array([None if i % 3 == 0 else i for i in range(37)], pa.int32())
    s = pa.array([None if i % 5 == 0 else "v%d" % i for i in range(37)], pa.string())
    t1 = pa.table({"a": a, "s": s}).slice(3, 20)
    t2 = pa.table({"a": a, "s": s.cast(pa.large_string())}).slice(1, 13)
    table = pa.concat_tables([t1, t2.cast(t1.schema)])
    frame = ns.from_arrow(table)
    assert frame.toArrow().cast(table.schema).equals(table.combine_chunks())
    batch = table.combine_chunks().to_batches()[0]
    assert ns.from_arrow(batch).count() == batch.num_rows


def test_dates_decimals_and_empty_tables(ns):
    table = pa.table(
        {
            "d": pa.array([datetime.date(2020, 2, 29), None, datetime.date(1960, 1, 1)], pa.date32()),
            "m": pa.array([decimal.Decimal("1.25"), decimal.Decimal("-3.50"), None], pa.decimal128(10, 2)),
            "u": pa.array([1, 255, None], pa.uint8()),
        }
    )
    frame = ns.from_arrow(table)
    assert dict(frame.dtypes) == {"d": "date", "m": "decimal(10,2)", "u": "bigint"}
    rows = frame.collect()
    assert rows[0] == {"d": datetime.date(2020, 2, 29), "m": decimal.Decimal("1.25"), "u": 1}
    assert rows[1]["d"] is None and rows[2]["m"] is None
    out = frame.toArrow()
    assert out.column("d").equals(table.column("d"))
    assert out.column("m").equals(table.column("m"))
    empty = ns.from_arrow(table.slice(0, 0))
    assert empty.count() == 0 and empty.toArrow().num_rows == 0
    assert empty.toArrow().schema.names == ["d", "m", "u"]


def test_schema_names_and_repr(ns):
    # Names longer than a short-string buffer, read after the schema they come from has been built: the
    # frame's description must not refer to a schema that no longer exists.
    names = ["column_with_a_rather_long_name_%02d" % i for i in range(40)]
    frame = ns.from_arrow(pa.table({n: pa.array([i], pa.int64()) for i, n in enumerate(names)}))
    assert [n for n, _ in frame.dtypes] == names
    assert {t for _, t in frame.dtypes} == {"bigint"}
    assert repr(frame) == "DataFrame[" + ", ".join(n + ": bigint" for n in names) + "]"


def test_unsupported_inputs_are_named(ns):
    with pytest.raises(ValueError, match="column t has the Arrow type time64"):
        ns.from_arrow(pa.table({"t": pa.array([1], pa.time64("us"))}))
    with pytest.raises(TypeError, match="cannot make a frame from a builtins.list"):
        ns.from_arrow([1, 2])


def test_files_and_sql(ns, loans_pd):
    spark = ns.SparkSession.builder.appName("tests").getOrCreate()
    frame = spark.read.csv(LOANS)
    assert frame.count() == len(loans_pd)
    assert frame.columns == list(loans_pd.columns)
    frame.createOrReplaceTempView("loans")
    by_gender = spark.sql("SELECT gender, count(*) AS n FROM loans GROUP BY gender ORDER BY gender").toPandas()
    expected = loans_pd.groupby("gender", dropna=False).size()
    assert sorted(by_gender["n"].tolist()) == sorted(expected.tolist())


def test_parquet(ns, loans_pd, tmp_path):
    import pyarrow.parquet as pq

    path = str(tmp_path / "loans.parquet")
    pq.write_table(pa.Table.from_pandas(loans_pd, preserve_index=False), path)
    frame = ns.session().read.parquet(path)
    assert frame.count() == len(loans_pd)
    assert frame.filter("amount > 10000").count() == int((loans_pd["amount"] > 10000).sum())


def test_parse_and_analysis_errors(ns, loans_pd):
    frame = ns.from_pandas(loans_pd)
    with pytest.raises(ns.AnalysisException):
        frame.filter("no_such_column > 1").count()
    with pytest.raises(ns.ParseException):
        frame.filter("amount >").count()
    assert issubclass(ns.ParseException, ns.AnalysisException)
