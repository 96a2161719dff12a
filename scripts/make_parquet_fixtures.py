"""Writes the Parquet inputs of the conformance scenarios (tests/conformance/parquet/).

    .venv/bin/python scripts/make_parquet_fixtures.py

- spark_types/: a folder of part files written by pyspark (with its _SUCCESS marker and hidden .crc files),
  every type the engine reads, nulls in every column; timestamps as INT96 (Spark's default) and as
  TIMESTAMP_MICROS, and a timestamp_ntz column.
- arrow_types.parquet: one file written by pyarrow with small row groups, with the types pyarrow writes that
  Spark maps differently from their names (unsigned integers, int8/int16, dictionary-encoded strings, dates,
  millisecond timestamps with a time zone, decimals).

Rerun scripts/spark_conformance.py parquet afterwards: the golden answers are Spark's reads of these files.
"""

import datetime as dt
import decimal
import os
import shutil
import sys
import time

os.environ["TZ"] = "UTC"
time.tzset()

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "tests", "conformance", "parquet")


def write_arrow(path):
    import pyarrow as pa
    import pyarrow.parquet as pq

    n = 40
    utc = dt.timezone.utc
    table = pa.table(
        {
            "u8": pa.array([None if i % 7 == 3 else (i * 37) % 256 for i in range(n)], pa.uint8()),
            "u16": pa.array([(i * 3001) % 65536 for i in range(n)], pa.uint16()),
            "u32": pa.array([None if i % 5 == 0 else (i * 123456789) % 4294967296 for i in range(n)], pa.uint32()),
            "i8": pa.array([(i * 11) % 256 - 128 for i in range(n)], pa.int8()),
            "i16": pa.array([None if i % 9 == 1 else i * 1000 - 20000 for i in range(n)], pa.int16()),
            "f32": pa.array([None if i % 6 == 2 else i / 8 - 2 for i in range(n)], pa.float32()),
            "f64": pa.array([float("nan") if i == 4 else (None if i % 8 == 5 else i * 1.1e10) for i in range(n)]),
            "city": pa.array([None if i % 10 == 9 else ["Lyon", "Oslo", "Kyiv", "Łódź"][i % 4] for i in range(n)])
            .dictionary_encode(),
            "note": pa.array([None if i % 4 == 1 else "n" * (i % 5) for i in range(n)], pa.large_string()),
            "day": pa.array([None if i % 11 == 10 else dt.date(1969, 12, 25) + dt.timedelta(days=i * 40) for i in range(n)]),
            "ts_ms_tz": pa.array(
                [None if i % 13 == 12 else dt.datetime(2020, 3, 1, 12, 0, tzinfo=utc) + dt.timedelta(hours=i * 7, milliseconds=i)
                 for i in range(n)],
                pa.timestamp("ms", tz="Europe/Paris"),
            ),
            "amount": pa.array([None if i % 3 == 2 else decimal.Decimal(i * 1234 - 9000) / 100 for i in range(n)],
                               pa.decimal128(9, 2)),
            "flag": pa.array([None if i % 7 == 6 else i % 2 == 0 for i in range(n)]),
        }
    )
    pq.write_table(table, path, row_group_size=16)


def write_spark(path):
    from pyspark.sql import SparkSession
    from pyspark.sql import types as T

    spark = (
        SparkSession.builder.master("local[2]")
        .appName("norq-parquet-fixtures")
        .config("spark.sql.session.timeZone", "UTC")
        .config("spark.driver.extraJavaOptions", "-Duser.timezone=UTC")
        .config("spark.ui.enabled", "false")
        .getOrCreate()
    )
    schema = T.StructType(
        [
            T.StructField("id", T.IntegerType()),
            T.StructField("b", T.ByteType()),
            T.StructField("s", T.ShortType()),
            T.StructField("l", T.LongType()),
            T.StructField("f", T.FloatType()),
            T.StructField("d", T.DoubleType()),
            T.StructField("m", T.DecimalType(10, 2)),
            T.StructField("big", T.DecimalType(38, 10)),
            T.StructField("name", T.StringType()),
            T.StructField("ok", T.BooleanType()),
            T.StructField("day", T.DateType()),
            T.StructField("ts", T.TimestampType()),
            T.StructField("ts_ntz", T.TimestampNTZType()),
            T.StructField("tags", T.ArrayType(T.IntegerType())),
        ]
    )
    rows = []
    for i in range(30):
        def nul(k, v):
            return None if i % k == k - 1 else v

        rows.append(
            (
                i,
                nul(5, (i * 9) % 256 - 128),
                nul(6, i * 1000 - 15000),
                nul(7, (i - 15) * 3_000_000_000_123),
                nul(4, i / 4 - 3.5),
                nul(8, float("inf") if i == 3 else (i - 10) * 0.1),
                nul(3, decimal.Decimal(i * 12345 - 100000) / 100),
                nul(9, decimal.Decimal(f"{i * 987654321}.{i:010d}")),
                nul(5, ["", "alpha", "Ünïcode ✓", "x,y", None][i % 5]),
                nul(4, i % 3 == 0),
                nul(6, dt.date(1900, 1, 1) + dt.timedelta(days=i * 1500)),
                nul(7, dt.datetime(1950, 6, 1, 0, 0, 0, 123456) + dt.timedelta(days=i * 900, seconds=i * 3661)),
                nul(5, dt.datetime(2024, 2, 29, 23, 59, 59) + dt.timedelta(minutes=i * 97)),
                nul(4, [j for j in range(i % 4)] + ([None] if i % 5 == 0 else [])),
            )
        )
    df = spark.createDataFrame(rows, schema).repartition(3, "id")
    df.write.mode("overwrite").parquet(path)
    # The same rows with TIMESTAMP_MICROS timestamps, one file.
    micros = path + "_micros"
    spark.conf.set("spark.sql.parquet.outputTimestampType", "TIMESTAMP_MICROS")
    df.select("id", "ts").coalesce(1).write.mode("overwrite").parquet(micros)
    spark.stop()


def main():
    os.makedirs(OUT, exist_ok=True)
    write_arrow(os.path.join(OUT, "arrow_types.parquet"))
    spark_dir = os.path.join(OUT, "spark_types")
    for d in (spark_dir, spark_dir + "_micros"):
        shutil.rmtree(d, ignore_errors=True)
    write_spark(spark_dir)
    print("wrote", OUT)


if __name__ == "__main__":
    sys.exit(main())
