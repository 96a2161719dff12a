"""Times reading one Parquet file with `norq-spark sql --parquet` against DuckDB's read of the same file.

    .venv/bin/python scripts/bench_parquet.py [--rows 10000000] [--runs 3] [--binary build/norq-spark]

Writes a file of ROWS rows (ints, doubles with nulls, a low-cardinality string, a date, a timestamp, a decimal;
snappy, row groups of 1M rows) under data/generated/, then runs one query that reads every column on both
engines and prints the median wall time of RUNS runs each. Both run with every core of the machine.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

QUERY = ("SELECT count(*) AS n, sum(id) AS s_id, sum(amount) AS s_amount, count(score) AS n_score, "
         "avg(score) AS a_score, count(DISTINCT region) AS regions, max(day) AS last_day, max(ts) AS last_ts, "
         "sum(price) AS s_price FROM t")


def write_file(path, rows):
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = np.random.default_rng(7)
    writer = None
    chunk = 1_000_000
    for start in range(0, rows, chunk):
        n = min(chunk, rows - start)
        score = rng.normal(600, 80, n)
        mask = rng.random(n) < 0.05
        table = pa.table({
            "id": pa.array(np.arange(start, start + n, dtype=np.int64)),
            "amount": pa.array(rng.integers(500, 50_000, n, dtype=np.int32)),
            "score": pa.array(score, mask=mask),
            "region": pa.array(np.array(["NOR", "SOU", "EAS", "WES", "CEN"])[rng.integers(0, 5, n)]),
            "day": pa.array(rng.integers(18_000, 20_000, n, dtype=np.int32)).cast(pa.date32()),
            "ts": pa.array(rng.integers(1_500_000_000_000_000, 1_700_000_000_000_000, n), pa.timestamp("us", tz="UTC")),
            "price": pa.array(rng.integers(0, 10**9, n)).cast(pa.decimal128(21, 2)).cast(pa.decimal128(12, 2)),
        })
        if writer is None:
            writer = pq.ParquetWriter(path, table.schema, compression="snappy")
        writer.write_table(table, row_group_size=chunk)
    writer.close()


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=10_000_000)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--binary", default=os.path.join(ROOT, "build", "norq-spark"))
    args = ap.parse_args()
    path = os.path.join(ROOT, "data", "generated", f"bench_{args.rows}.parquet")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if not os.path.exists(path):
        print(f"writing {path} ...", file=sys.stderr)
        write_file(path, args.rows)
    print(f"{path}: {os.path.getsize(path) / 1e6:.1f} MB, {args.rows:,} rows", file=sys.stderr)

    import duckdb

    def ours():
        r = subprocess.run([args.binary, "sql", "--parquet", f"t={path}", "--json", QUERY], capture_output=True,
                           text=True)
        if r.returncode != 0:
            sys.exit(f"norq-spark failed: {r.stderr}")
        return r.stdout.strip()

    def duck():
        con = duckdb.connect()
        out = con.execute(QUERY.replace("FROM t", f"FROM read_parquet('{path}')")).fetchall()
        con.close()
        return out

    results = {}
    for name, fn in (("norq-spark", ours), ("duckdb", duck)):
        times = []
        for _ in range(args.runs):
            t, out = timed(fn)
            times.append(t)
        results[name] = statistics.median(times)
        print(f"{name:11s} median {results[name]:.3f} s  runs {', '.join(f'{t:.3f}' for t in times)}")
        print(f"            {out}")
    print(f"ratio norq-spark / duckdb: {results['norq-spark'] / results['duckdb']:.2f}")


if __name__ == "__main__":
    main()
