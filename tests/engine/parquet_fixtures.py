"""Writes the Parquet files of the reader tests (parquet_reader_test.cpp) into OUT with pyarrow.

    python parquet_fixtures.py OUT [LOANS_CSV]
"""

import datetime as dt
import decimal
import os
import sys

import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.parquet as pq


def types_table():
    utc = dt.timezone.utc
    return pa.table(
        {
            "i8": pa.array([-128, None, 127], pa.int8()),
            "i16": pa.array([-32768, 7, None], pa.int16()),
            "i32": pa.array([None, -2147483648, 2147483647], pa.int32()),
            "i64": pa.array([-(2**63), 2**63 - 1, None], pa.int64()),
            "u8": pa.array([0, 255, None], pa.uint8()),
            "u16": pa.array([65535, None, 1], pa.uint16()),
            "u32": pa.array([4294967295, 0, None], pa.uint32()),
            "u64": pa.array([18446744073709551615, None, 5], pa.uint64()),
            "f32": pa.array([1.5, None, float("-inf")], pa.float32()),
            "f64": pa.array([float("nan"), -0.0, None], pa.float64()),
            "ok": pa.array([True, None, False]),
            "s": pa.array(["", None, "Ünïcode ✓"]),
            "ls": pa.array(["large", "strings", None], pa.large_string()),
            "cat": pa.array(["a", None, "a"]).dictionary_encode(),
            "dec": pa.array([decimal.Decimal("-12345.67"), None, decimal.Decimal("0.01")], pa.decimal128(7, 2)),
            "dec38": pa.array([decimal.Decimal("12345678901234567890123456.789012345678"), None,
                               decimal.Decimal("-1")], pa.decimal128(38, 12)),
            "day": pa.array([dt.date(1, 1, 1), dt.date(1970, 1, 1), None], pa.date32()),
            "ts_us_utc": pa.array([dt.datetime(2024, 2, 29, 12, 30, 45, 123456, tzinfo=utc), None,
                                   dt.datetime(1900, 1, 1, tzinfo=utc)], pa.timestamp("us", tz="UTC")),
            "ts_ns_utc": pa.array([1_700_000_000_123_456_789, None, -1_000], pa.timestamp("ns", tz="UTC")),
            "ts_ms_local": pa.array([dt.datetime(2021, 7, 1, 9, 15), dt.datetime(2021, 1, 1, 0, 0), None],
                                    pa.timestamp("ms")),
            "ids": pa.array([[1, 2, None], None, []], pa.list_(pa.int32())),
        }
    )


def main(out, loans=None):
    os.makedirs(out, exist_ok=True)
    types = types_table()
    pq.write_table(types, os.path.join(out, "types.parquet"))
    pq.write_table(types, os.path.join(out, "types_gzip_v1.parquet"), compression="gzip", version="1.0", coerce_timestamps="us", allow_truncated_timestamps=True,
                   use_dictionary=False)

    # Columns the engine has no type for.
    pq.write_table(pa.table({"id": [1, 2], "payload": pa.array([b"\x00\x01", None], pa.binary())}),
                   os.path.join(out, "binary.parquet"))
    pq.write_table(pa.table({"id": [1, 2], "address": pa.array([{"city": "Oslo", "zip": 150}, None])}),
                   os.path.join(out, "nested.parquet"))
    pq.write_table(pa.table({"id": [1], "attrs": pa.array([[("k", 1)]], pa.map_(pa.string(), pa.int64()))}),
                   os.path.join(out, "map.parquet"))

    # A folder of part files as a job writes it: a marker and hidden checksum files besides the parts.
    parts = os.path.join(out, "parts")
    os.makedirs(parts, exist_ok=True)
    for p in range(3):
        ids = list(range(p * 100, p * 100 + 100 - 10 * p))
        pq.write_table(pa.table({"id": pa.array(ids, pa.int64()),
                                 "label": pa.array([None if i % 17 == 0 else f"row {i}" for i in ids])}),
                       os.path.join(parts, f"part-{p:05d}.snappy.parquet"))
    open(os.path.join(parts, "_SUCCESS"), "w").close()
    with open(os.path.join(parts, ".part-00000.snappy.parquet.crc"), "wb") as f:
        f.write(b"crc\x00garbage")
    with open(os.path.join(parts, "_committed_1234"), "w") as f:
        f.write("{}")

    # Files of one read whose schemas differ: a column only some files have, a narrower integer type.
    evolve = os.path.join(out, "evolve")
    os.makedirs(evolve, exist_ok=True)
    pq.write_table(pa.table({"x": pa.array([1, 2], pa.int64()), "y": ["a", "b"]}), os.path.join(evolve, "a.parquet"))
    pq.write_table(pa.table({"X": pa.array([3], pa.int32()), "z": [0.5]}), os.path.join(evolve, "b.parquet"))
    clash = os.path.join(out, "clash")
    os.makedirs(clash, exist_ok=True)
    pq.write_table(pa.table({"x": pa.array([1, 2], pa.int32()), "y": ["a", "b"]}), os.path.join(clash, "a.parquet"))
    pq.write_table(pa.table({"x": pa.array([3], pa.int32()), "y": [2.5]}), os.path.join(clash, "b.parquet"))

    # Damaged inputs.
    with open(os.path.join(out, "not_parquet.parquet"), "w") as f:
        f.write("id,name\n1,a\n")
    good = open(os.path.join(out, "types.parquet"), "rb").read()
    with open(os.path.join(out, "truncated.parquet"), "wb") as f:
        f.write(good[: len(good) // 2])
    # Footer intact, one data page overwritten: the footer reads, the column does not.
    damaged = bytearray(good)
    for i in range(4, min(len(damaged) // 3, 600)):
        damaged[i] = 0xFF
    with open(os.path.join(out, "damaged_pages.parquet"), "wb") as f:
        f.write(bytes(damaged))
    with open(os.path.join(out, "empty.parquet"), "wb"):
        pass

    # Many row groups: Spark's splits assign them to partitions by their midpoints.
    n = 20000
    pq.write_table(pa.table({"k": pa.array(range(n), pa.int64()),
                             "v": pa.array([None if i % 10 == 0 else i * 0.5 for i in range(n)])}),
                   os.path.join(out, "row_groups.parquet"), row_group_size=1000, compression="none")

    # The sample data as Parquet with the types Spark's CSV inference gives the same file.
    if loans:
        # Empty fields are nulls and "NaN" is a double, as Spark's CSV reader reads them.
        t = pacsv.read_csv(loans, convert_options=pacsv.ConvertOptions(null_values=[""], strings_can_be_null=True))
        cols = {}
        for name in t.column_names:
            c = t[name]
            if pa.types.is_integer(c.type):
                lo, hi = pa.compute.min(c).as_py(), pa.compute.max(c).as_py()
                c = c.cast(pa.int32()) if lo is not None and -(2**31) <= lo and hi < 2**31 else c
            elif pa.types.is_timestamp(c.type):
                c = c.cast(pa.date32())
            cols[name] = c
        loans_table = pa.table(cols)
        pq.write_table(loans_table, os.path.join(out, "loans.parquet"), row_group_size=500)
        folder = os.path.join(out, "loans_parts")
        os.makedirs(folder, exist_ok=True)
        half = loans_table.num_rows // 2
        pq.write_table(loans_table.slice(0, half), os.path.join(folder, "part-00000.parquet"))
        pq.write_table(loans_table.slice(half), os.path.join(folder, "part-00001.parquet"))
        open(os.path.join(folder, "_SUCCESS"), "w").close()


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else None)
