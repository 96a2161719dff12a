#!/usr/bin/env python3
"""Runs the Spark-function queries on this engine (build/functions_bench), on DuckDB and on pyspark (local
mode, ANSI off, UTC) over the same generated CSV file, and prints each engine's median time and the ratios.

    python3 scripts/compare_engines.py [--rows 10000000] [--runs 3] [--csv PATH] [--skip-spark]

The data: id bigint, k int (1000 keys), x double (normal, 1% null), y double, s string (50 values), d date,
ts timestamp, dec decimal(12,2), flag boolean. DuckDB has no xxhash64, percentile_approx or width_bucket:
it runs the closest equivalents (hash, approx_quantile, an arithmetic bucket), which do the same work.
"""
import argparse, json, os, statistics, subprocess, sys, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def make_csv(path, rows, seed=11):
    import numpy as np
    import pandas as pd
    if os.path.exists(path):
        return
    rng = np.random.default_rng(seed)
    chunk = 1_000_000
    with open(path, "w") as f:
        f.write("id,k,x,y,s,d,ts,dec,flag\n")
        for start in range(0, rows, chunk):
            n = min(chunk, rows - start)
            ids = np.arange(start, start + n)
            x = rng.normal(0, 1.5, n)
            xs = pd.Series(x).map(lambda v: repr(float(v)))
            xs[rng.random(n) < 0.01] = ""
            df = pd.DataFrame({
                "id": ids,
                "k": rng.integers(0, 1000, n),
                "x": xs,
                "y": rng.random(n) * 1000,
                "s": pd.Series(rng.integers(0, 50, n)).map(lambda v: f"cat_{v}"),
                "d": (pd.Timestamp("2020-01-01") + pd.to_timedelta(rng.integers(0, 1500, n), unit="D")).strftime("%Y-%m-%d"),
                "ts": (pd.Timestamp("2020-01-01") + pd.to_timedelta(rng.integers(0, 10**8, n), unit="s")).strftime("%Y-%m-%d %H:%M:%S"),
                "dec": (rng.integers(-10**8, 10**8, n) / 100).round(2),
                "flag": rng.random(n) < 0.5,
            })
            df["dec"] = df["dec"].map(lambda v: f"{v:.2f}")
            df["flag"] = df["flag"].map(lambda v: "true" if v else "false")
            df.to_csv(f, header=False, index=False)


QUANTS = ", ".join(str(k / 100) for k in range(1, 101))
SPARK_QUERIES = {
    "checksum_xxhash64_8cols": "SELECT sum(xxhash64(id, k, x, y, s, d, ts, dec)) AS h FROM t",
    "percentile_median": "SELECT percentile_approx(x, array(0.5), 10000) AS m FROM t",
    "percentile_100_quantiles": f"SELECT percentile_approx(x, array({QUANTS}), 10000) AS q FROM t",
    "cume_dist_5m": "SELECT max(cd) AS m, count(*) AS c FROM (SELECT cume_dist() OVER (ORDER BY x) AS cd FROM t WHERE id < 5000000)",
    "bucketing_20": "SELECT b.bucket, nvl(c.count, 0) AS count FROM (SELECT id + 1 AS bucket FROM range(20)) b LEFT OUTER JOIN "
                    "(SELECT width_bucket(x, -4, 4, 20) AS bucket, count(*) AS count FROM t GROUP BY width_bucket(x, -4, 4, 20)) c "
                    "ON b.bucket = c.bucket ORDER BY b.bucket",
}
DUCK_QUERIES = {
    "checksum_xxhash64_8cols": "SELECT sum(hash(id, k, x, y, s, d, ts, dec)::HUGEINT) AS h FROM t",
    "percentile_median": "SELECT approx_quantile(x, [0.5]) AS m FROM t",
    "percentile_100_quantiles": f"SELECT approx_quantile(x, [{QUANTS}]) AS q FROM t",
    "cume_dist_5m": "SELECT max(cd) AS m, count(*) AS c FROM (SELECT cume_dist() OVER (ORDER BY x) AS cd FROM t WHERE id < 5000000)",
    "bucketing_20": "SELECT b.bucket, coalesce(c.count, 0) AS count FROM (SELECT range + 1 AS bucket FROM range(20)) b LEFT OUTER JOIN "
                    "(SELECT CASE WHEN x < -4 THEN 0 WHEN x >= 4 THEN 21 ELSE CAST(floor(20 * (x + 4) / 8) AS BIGINT) + 1 END AS bucket, "
                    "count(*) AS count FROM t WHERE x IS NOT NULL GROUP BY 1) c ON b.bucket = c.bucket ORDER BY b.bucket",
}
SCHEMA = "id BIGINT, k INT, x DOUBLE, y DOUBLE, s STRING, d DATE, ts TIMESTAMP, dec DECIMAL(12,2), flag BOOLEAN"


def timed(fn, runs):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def run_ours(csv, runs):
    exe = os.path.join(ROOT, "build", "functions_bench")
    out = subprocess.run([exe, "--csv", csv, "--runs", str(runs)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def run_duckdb(csv, runs):
    import duckdb
    con = duckdb.connect()
    cols = {c.split()[0]: c.split()[1] for c in SCHEMA.split(", ")}
    cols = {k: ("VARCHAR" if v == "STRING" else v) for k, v in cols.items()}
    res = {}
    res["read_csv"] = timed(lambda: con.execute(f"SELECT count(*) FROM read_csv('{csv}', header=true, columns={cols})").fetchall(), runs)
    res["read_csv_infer"] = timed(lambda: con.execute(f"SELECT count(*) FROM read_csv_auto('{csv}', header=true)").fetchall(), 1)
    con.execute(f"CREATE TABLE t AS SELECT * FROM read_csv('{csv}', header=true, columns={cols})")
    for name, q in DUCK_QUERIES.items():
        res[name] = timed(lambda: con.execute(q).fetchall(), runs)
    return res


def run_spark(csv, runs):
    from pyspark.sql import SparkSession
    spark = (SparkSession.builder.master("local[*]").appName("compare")
             .config("spark.sql.ansi.enabled", "false").config("spark.sql.session.timeZone", "UTC")
             .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
             .config("spark.driver.memory", "8g").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    res = {}
    res["read_csv"] = timed(lambda: spark.read.schema(SCHEMA).option("header", True).csv(csv).count(), runs)
    res["read_csv_infer"] = timed(lambda: spark.read.option("header", True).option("inferSchema", True).csv(csv).count(), 1)
    t = spark.read.schema(SCHEMA).option("header", True).csv(csv).cache()
    t.count()
    t.createOrReplaceTempView("t")
    for name, q in SPARK_QUERIES.items():
        res[name] = timed(lambda: spark.sql(q).collect(), runs)
    spark.stop()
    return res


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=10_000_000)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--csv")
    ap.add_argument("--skip-spark", action="store_true")
    ap.add_argument("--json")
    a = ap.parse_args()
    csv = a.csv or os.path.join(ROOT, "bench", "data", f"functions_{a.rows}.csv")
    os.makedirs(os.path.dirname(csv), exist_ok=True)
    make_csv(csv, a.rows)
    ours = run_ours(csv, a.runs)
    duck = run_duckdb(csv, a.runs)
    spark = {} if a.skip_spark else run_spark(csv, a.runs)
    names = ["read_csv", "read_csv_infer"] + list(SPARK_QUERIES)
    print(f"{'query':28} {'ours s':>9} {'duckdb s':>9} {'spark s':>9} {'duck/ours':>10} {'spark/ours':>11}")
    for n in names:
        o, d, s = ours.get(n), duck.get(n), spark.get(n)
        fmt = lambda v: f"{v:9.3f}" if v is not None else f"{'-':>9}"
        ratio = lambda v: f"{v / o:10.2f}" if v is not None and o else f"{'-':>10}"
        print(f"{n:28} {fmt(o)} {fmt(d)} {fmt(s)} {ratio(d)} {ratio(s):>11}")
    if a.json:
        with open(a.json, "w") as f:
            json.dump({"ours": ours, "duckdb": duck, "spark": spark}, f, indent=2)


if __name__ == "__main__":
    sys.exit(main())
