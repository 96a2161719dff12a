"""Frames from pandas, Arrow and files into the engine and back."""
import datetime
import decimal
import math
import os
import subprocess
import sys

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


def test_large_chunked_columns_cross_piece_boundaries(ns):
    # Columns are converted in pieces of about a million rows in parallel; chunks whose boundaries fall inside
    # a piece, at row numbers that are not multiples of 8, must keep every value, null and string in place.
    rng = np.random.default_rng(5)
    chunks = []
    for size in (700_001, 3, 650_017, 1_000_000):
        values = rng.integers(-1000, 1000, size)
        mask = rng.random(size) < 0.01
        chunks.append(pa.table({
            "i": pa.array(values, pa.int32(), mask=mask),
            "f": pa.array(values / 7.0, mask=~mask),
            "s": pa.array([None if m else str(v) for v, m in zip(values[:5000], mask[:5000])] +
                          [str(v) for v in values[5000:]], pa.string()),
        }))
    table = pa.concat_tables(chunks).slice(2, 2_350_000)
    frame = ns.from_arrow(table)
    back = frame.toArrow()
    assert back.num_rows == table.num_rows
    for name in ("i", "f", "s"):
        assert back.column(name).cast(table.schema.field(name).type).combine_chunks().equals(
            table.column(name).combine_chunks()), name
    assert frame.filter("i IS NULL").count() == table.column("i").null_count


def test_arrow_types_widened_decoded_and_nested(ns):
    day = 86_400_000
    table = pa.table({
        # Dictionaries are decoded (nulls in the indices stay null); a chunk sliced to a non-zero offset.
        "cat": pa.chunked_array([
            pa.array(["a", "b", None, "a"]).dictionary_encode(),
            pa.array(["z", "b", "c"]).dictionary_encode().slice(1),
        ]),
        "d64": pa.array([0, -1, day * 365, None, -day, day - 1], pa.date64()),
        "ns": pa.array([1_999, -1, -1_000, None, 0, 10**18], pa.timestamp("ns")),
        "sec": pa.array([1, -1, 0, None, 2, 3], pa.timestamp("s", tz="Europe/Paris")),
        "lst": pa.array([[1, None], [], None, [3], [4, 5, 6], [7]], pa.list_(pa.int64())),
        "dec": pa.array([decimal.Decimal(x) if x else None for x in ("9.99", "-1.00", None, "0.01", "5.50", "7.25")],
                        pa.decimal128(5, 2)),
        "nul": pa.nulls(6),
    })
    table = pa.concat_tables([table.slice(0, 2), table.slice(2)])
    frame = ns.from_arrow(table)
    assert dict(frame.dtypes) == {"cat": "string", "d64": "date", "ns": "timestamp", "sec": "timestamp",
                                  "lst": "array<bigint>", "dec": "decimal(5,2)", "nul": "void"}
    out = frame.toArrow()
    assert out.column("cat").to_pylist() == ["a", "b", None, "a", "b", "c"]
    # Milliseconds to days and nanoseconds to microseconds round towards the past, as Spark does.
    assert out.column("d64").to_pylist() == [datetime.date(1970, 1, 1), datetime.date(1969, 12, 31),
                                             datetime.date(1971, 1, 1), None, datetime.date(1969, 12, 31),
                                             datetime.date(1970, 1, 1)]
    assert out.column("ns").cast(pa.int64()).to_pylist() == [1, -1, -1, None, 0, 10**15]
    assert out.column("sec").cast(pa.int64()).to_pylist() == [1_000_000, -1_000_000, 0, None, 2_000_000, 3_000_000]
    assert out.column("lst").to_pylist() == [[1, None], [], None, [3], [4, 5, 6], [7]]
    assert out.column("dec").combine_chunks().equals(table.column("dec").combine_chunks())
    assert out.column("nul").null_count == 6


def test_pandas_numpy_columns_copied_not_shared(ns):
    # Plain numpy columns (contiguous or strided, as in a frame made from one 2-D array) are copied: changing
    # the pandas frame afterwards leaves the engine frame as it was.
    arr = np.arange(30, dtype=np.float64).reshape(10, 3)
    arr[4, 1] = np.nan
    pdf = pd.DataFrame(arr, columns=["a", "b", "c"])
    pdf["u16"] = np.arange(10, dtype=np.uint16) * 6000
    pdf["flag"] = np.arange(10) % 3 == 0
    pdf[7] = np.arange(10, dtype=np.int16)  # a column name that is not a string
    frame = ns.from_pandas(pdf)
    assert dict(frame.dtypes) == {"a": "double", "b": "double", "c": "double", "u16": "bigint",
                                  "flag": "boolean", "7": "smallint"}
    pdf.loc[0, "a"] = 1000.0
    rows = frame.collect()
    assert rows[0]["a"] == 0.0 and rows[4]["b"] is None and rows[5]["b"] == 16.0
    assert [r["u16"] for r in rows] == [i * 6000 for i in range(10)]
    assert [r["flag"] for r in rows] == [i % 3 == 0 for i in range(10)]
    assert frame.filter("b IS NULL").count() == 1
    with pytest.raises(ValueError, match="column big has the Arrow type uint64"):
        ns.from_pandas(pd.DataFrame({"big": np.array([2**63], dtype=np.uint64)}))


def _addresses(table, name):
    return [b.address if b is not None else None for chunk in table.column(name).chunks for b in chunk.buffers()]


def test_in_memory_frames_are_read_without_copies(ns):
    # A frame made from memory comes back as the engine holds it: two reads (and a selection or renaming of its
    # columns) hand out the same buffers; work on its rows (filters, computed columns) still runs on partitions.
    n = 100_003
    pdf = pd.DataFrame({"i": np.arange(n, dtype=np.int64),
                        "f": np.where(np.arange(n) % 7 == 3, np.nan, np.arange(n) / 4.0),
                        "s": pd.array([None if i % 11 == 0 else f"v{i % 13}" for i in range(n)], dtype="string")})
    frame = ns.from_pandas(pdf)
    first, second = frame.toArrow(), frame.toArrow()
    for name in ("i", "f", "s"):
        assert _addresses(first, name) == _addresses(second, name), name
    picked = frame.select("s", "i AS j").toArrow()
    assert picked.column_names == ["s", "j"]
    assert _addresses(picked, "j") == _addresses(first, "i") and _addresses(picked, "s") == _addresses(first, "s")
    assert first.column("f").null_count == len(range(3, n, 7))
    assert frame.count() == n and frame.select("i").count() == n
    assert frame.filter("f IS NULL").count() == len(range(3, n, 7))
    assert frame.filter("s IS NULL").count() == len(range(0, n, 11))
    computed = frame.select("i + 1 AS k", "f").filter("k % 50000 = 1").toArrow()
    assert computed.column("k").to_pylist() == [1, 50001, 100001]
    assert computed.column("f").to_pylist() == [0.0, 12500.0, 25000.0]
    assert frame.limit(5).toArrow().column("i").to_pylist() == [0, 1, 2, 3, 4]


def test_count_of_an_in_memory_frame_reads_no_column(ns):
    # Counting must not cut the table's columns into partition copies: the peak memory of a fresh process stays
    # where the conversion left it (a copy of the 160 MB column would raise it by as much).
    script = r"""
import resource, numpy as np, pandas as pd, norq_spark as ns
rows = 20_000_000
pdf = pd.DataFrame({"x": np.arange(rows, dtype=np.float64)})
frame = ns.from_pandas(pdf)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
assert frame.count() == rows and frame.select("x AS y").count() == rows
assert frame.toArrow().num_rows == rows
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak) // 1024)
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    growth_mb = int(out.stdout.split()[-1])
    assert growth_mb < 60, f"peak memory grew by {growth_mb} MB while counting"


def test_module_imported_before_numpy_and_hashlib(tmp_path):
    # The module loads the system's OpenSSL beside pyarrow's libparquet (which carries its own copy): importing
    # it first, then numpy/pandas (whose import uses hashlib), then hashing and reading Parquet must all work.
    script = r"""
import sys
import norq_spark as ns
import hashlib, ssl
import pandas as pd, pyarrow as pa, pyarrow.parquet as pq
assert hashlib.sha256(b"norq").hexdigest().startswith("fc0bc2e0")
pq.write_table(pa.table({"x": [1, 2, 3]}), sys.argv[1])
frame = ns.session().read.parquet(sys.argv[1])
assert frame.count() == 3 and frame.toPandas()["x"].tolist() == [1, 2, 3]
ssl.create_default_context()
print("ok")
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", script, str(tmp_path / "t.parquet")], env=env, capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0 and out.stdout.strip() == "ok", (out.returncode, out.stderr[-2000:])
