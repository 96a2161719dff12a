#!/usr/bin/env python3
"""Times each statistic the framework asks of a dataset on this engine (build/statistics_bench), on pandas/numpy/
scipy and on pyspark (local mode), over the same generated values, in one run, and prints the median times and the
ratios (other / norq-spark: above 1 means norq-spark is faster).

    python3 scripts/statistics_bench.py [--rows 10000000] [--runs 3] [--bin build/statistics_bench] [--skip-spark]

The rows are built from the row number by the formulas of bench/bench_data.h (keep them in step), so the
three engines compute over equal values: the histogram handler (a numeric column in 15 bins, a text column by
category; and the drift form of both: two samples over shared bins), the two-sample KS test between two halves
of the rows (scipy.stats.ks_2samp on the same arrays), each of the seven model metrics and its metric_diff
between the groups, the data profile over the ten non-identifier columns, and the data-quality checks
(duplicate rows, column ordering, missing identifiers). The result figure of each line is compared where both
sides compute the same number.
"""
import argparse, math, os, statistics, subprocess, sys, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
METRICS = ["accuracy", "true_pos_rate", "true_neg_rate", "demographic_parity", "equal_odds_tpr", "equal_odds_tnr",
           "equal_opportunity"]


def run_ours(binary, rows, runs):
    proc = subprocess.run([binary, "--rows", str(rows), "--runs", str(runs)], capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr)
    out = {}
    for line in proc.stdout.splitlines():
        name, seconds, figure = line.split("\t")
        out[name] = (float(seconds), float(figure))
    return out


def median_time(runs, f):
    times, figure = [], None
    for _ in range(runs):
        t0 = time.perf_counter()
        figure = f()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), figure


def pandas_side(rows, runs):
    import numpy as np
    import pandas as pd
    from scipy.stats import ks_2samp
    i = np.arange(rows, dtype=np.int64)
    df = pd.DataFrame({
        "id": i,
        "rid": pd.Series(i, dtype="Int64").where(i % 101 != 0),
        "x": ((i * 7919) % 100003).astype(np.float64) / 7.0,
        "z": ((i * 104729) % 99991).astype(np.float64) / 7.0 + 100.0,
        "k": (i % 1000).astype(np.int32),
        "s": pd.Series(i % 50).map(lambda v: f"c{v}"),
        "g": np.where(i % 2 == 0, "M", "F"),
        "a": (i % 97).astype(np.int32),
        "b": ((i * 13) % 89).astype(np.int32),
        "w": ((i * 7) % 1000003).astype(np.float64) / 3.0,
        "y": (i % 3 == 0).astype(np.int32),
        "p": ((i * 31) % 7 < 3).astype(np.int32),
    })
    out = {}

    def add(name, f):
        out[name] = median_time(runs, f)

    def hist_numeric():
        x = df["x"].dropna().to_numpy()
        counts, _ = np.histogram(x, bins=15, range=(x.min(), x.max()))
        return counts[0]
    add("histogram_numeric", hist_numeric)
    add("histogram_categorical", lambda: df["s"].value_counts().iloc[0])

    def drift_numeric():
        e, a = df["x"].to_numpy(), df["z"].to_numpy()
        lo, hi = min(e.min(), a.min()), max(e.max(), a.max())
        ce, _ = np.histogram(e, bins=20, range=(lo, hi))
        ca, _ = np.histogram(a, bins=20, range=(lo, hi))
        return ce[0] / ce.sum()
    add("drift_histogram_numeric", drift_numeric)

    def drift_categorical():
        even = df["id"] % 2 == 0
        e = df.loc[even, "s"].value_counts(normalize=True)
        a = df.loc[~even, "s"].value_counts(normalize=True)
        e, a = e.align(a, fill_value=0)
        return e.sort_index().iloc[0]
    add("drift_histogram_categorical", drift_categorical)
    half = rows // 2
    add("ks_2samp", lambda: ks_2samp(df["x"].to_numpy()[:half], df["z"].to_numpy()[half:]).statistic)

    y, p, g = df["y"].to_numpy(), df["p"].to_numpy(), df["g"].to_numpy()

    def metric(name, mask=None):
        yy, pp = (y, p) if mask is None else (y[mask], p[mask])
        if name == "accuracy":
            return np.mean(pp == yy)
        if name in ("true_pos_rate", "equal_odds_tpr", "equal_opportunity"):
            return np.mean(pp[yy == 1] == 1)
        if name in ("true_neg_rate", "equal_odds_tnr"):
            return np.mean(pp[yy == 0] == 0)
        return np.mean(pp == 1)
    for name in METRICS:
        add("metric_" + name, lambda name=name: metric(name))
        add("metric_diff_" + name, lambda name=name: metric(name, g == "M") - metric(name, g == "F"))

    def profile():
        cols = ["x", "z", "k", "s", "g", "a", "b", "w", "y", "p"]
        res = []
        for c in cols:
            s = df[c]
            numeric = s.dtype.kind in "if"
            res.append((s.min() if numeric else None, s.max() if numeric else None, s.nunique(), s.isna().sum()))
        return len(res)
    add("generate_data_profile", profile)
    subset = ["x", "z", "k", "s", "g", "a", "b", "w", "p", "y"]
    add("check_duplicate_rows", lambda: int(df.duplicated(subset=subset, keep=False).sum()))
    add("check_column_ordering", lambda: int((df["b"] > df["a"]).sum()))
    add("check_missing_ids", lambda: int(df["rid"].isna().sum()))
    return out


def spark_side(rows, runs):
    from pyspark.sql import SparkSession, Window, functions as F
    spark = (SparkSession.builder.master("local[*]").appName("statistics_bench")
             .config("spark.sql.ansi.enabled", "false").config("spark.sql.session.timeZone", "UTC")
             .config("spark.driver.memory", "8g").config("spark.ui.showConsoleProgress", "false").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    df = spark.range(rows).selectExpr(
        "id", "CASE WHEN id % 101 = 0 THEN NULL ELSE id END AS rid", "CAST((id * 7919) % 100003 AS DOUBLE) / 7.0 AS x",
        "CAST((id * 104729) % 99991 AS DOUBLE) / 7.0 + 100.0 AS z", "CAST(id % 1000 AS INT) AS k",
        "concat('c', CAST(id % 50 AS STRING)) AS s", "CASE WHEN id % 2 = 0 THEN 'M' ELSE 'F' END AS g",
        "CAST(id % 97 AS INT) AS a", "CAST((id * 13) % 89 AS INT) AS b", "CAST((id * 7) % 1000003 AS DOUBLE) / 3.0 AS w",
        "CAST(id % 3 = 0 AS INT) AS y", "CAST((id * 31) % 7 < 3 AS INT) AS p").persist()
    df.count()
    out = {}

    def add(name, f):
        out[name] = median_time(runs, f)

    def buckets(frame, c, lo, hi, n):
        return (frame.selectExpr(f"width_bucket({c}, {lo!r}, {hi!r}, {n}) AS bucket").groupBy("bucket").count()
                .orderBy("bucket").collect())

    def hist_numeric():
        lo, hi = df.select(F.min("x"), F.max("x")).first()
        return buckets(df, "x", lo, hi, 15)[0][1]
    add("histogram_numeric", hist_numeric)
    add("histogram_categorical", lambda: df.groupBy("s").count().orderBy(F.col("count").desc()).collect()[0][1])

    def drift_numeric():
        e, a = df.select("x"), df.selectExpr("z AS x")
        lo, hi = e.union(a).select(F.min("x"), F.max("x")).first()
        ce, ca = buckets(e, "x", lo, hi, 20), buckets(a, "x", lo, hi, 20)
        return ce[0][1]
    add("drift_histogram_numeric", drift_numeric)
    add("drift_histogram_categorical", lambda: (df.filter("id % 2 = 0").groupBy("s").count().collect(),
                                                df.filter("id % 2 = 1").groupBy("s").count().collect())[0][0][1])

    def ks():
        half = rows // 2
        s1 = df.filter(f"id < {half}").selectExpr("x AS v").na.drop()
        s2 = df.filter(f"id >= {half}").selectExpr("z AS v").na.drop()
        cdf = lambda frame, name: frame.withColumn(name, F.cume_dist().over(Window.orderBy("v"))).distinct()
        c1, c2 = cdf(s1, "cdf_1"), cdf(s2, "cdf_2")
        w = Window.orderBy(F.coalesce(c1["v"], c2["v"])).rowsBetween(Window.unboundedPreceding, Window.currentRow)
        return (c1.join(c2, c1["v"] == c2["v"], "outer")
                .withColumn("f1", F.coalesce(F.last("cdf_1", ignorenulls=True).over(w), F.lit(0.0)))
                .withColumn("f2", F.coalesce(F.last("cdf_2", ignorenulls=True).over(w), F.lit(0.0)))
                .select(F.max(F.abs(F.col("f1") - F.col("f2")))).first()[0])
    add("ks_2samp", ks)

    def metric(name, frame):
        if name == "accuracy":
            return frame.select(F.avg(F.when(F.col("p") == F.col("y"), 1).otherwise(0))).first()[0]
        if name in ("true_pos_rate", "equal_odds_tpr", "equal_opportunity"):
            return frame.filter("y = 1").select(F.avg(F.when(F.col("p") == 1, 1).otherwise(0))).first()[0]
        if name in ("true_neg_rate", "equal_odds_tnr"):
            return frame.filter("y = 0").select(F.avg(F.when(F.col("p") == 0, 1).otherwise(0))).first()[0]
        return frame.select(F.avg(F.when(F.col("p") == 1, 1).otherwise(0))).first()[0]
    for name in METRICS:
        add("metric_" + name, lambda name=name: metric(name, df))
        add("metric_diff_" + name, lambda name=name: metric(name, df.filter("g = 'M'")) - metric(name, df.filter("g = 'F'")))

    def profile():
        aggs = []
        for c in ["x", "z", "k", "s", "g", "a", "b", "w", "y", "p"]:
            aggs += [F.min(c), F.max(c), F.countDistinct(c), F.count(F.when(F.col(c).isNull(), 1))]
        return len(df.select(aggs).first())
    add("generate_data_profile", profile)
    subset = ["x", "z", "k", "s", "g", "a", "b", "w", "p", "y"]
    add("check_duplicate_rows", lambda: df.join(df.groupBy(subset).agg((F.count("*") > 1).cast("int").alias("d")), subset)
        .filter("d > 0").count())
    add("check_column_ordering", lambda: df.filter("b > a").count())
    add("check_missing_ids", lambda: df.filter("rid IS NULL").count())
    spark.stop()
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "statistics_bench"))
    parser.add_argument("--skip-spark", action="store_true")
    args = parser.parse_args()
    ours = run_ours(args.bin, args.rows, args.runs)
    pand = pandas_side(args.rows, args.runs)
    spark = {} if args.skip_spark else spark_side(args.rows, args.runs)
    print(f"rows {args.rows}, median of {args.runs} runs, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}")
    print(f"{'statistic':34} {'norq-spark':>10} {'pandas/scipy':>12} {'ratio':>7} {'pyspark':>9} {'ratio':>7}  agree")
    for name, (t, figure) in ours.items():
        pt, pf = pand.get(name, (math.nan, None))
        st, _ = spark.get(name, (math.nan, None))
        compared = name == "ks_2samp" or name.startswith(("metric", "check"))
        # Metrics are reported rounded to two decimals.
        same = pf is not None and any(math.isclose(float(figure), v, rel_tol=1e-9, abs_tol=1e-12)
                                      for v in (float(pf), round(float(pf), 2)))
        agree = "" if pf is None or not compared else ("yes" if same else f"no ({float(pf):.10g})")
        print(f"{name:34} {t:10.3f} {pt:12.3f} {pt / t:7.2f} {st:9.3f} {st / t:7.2f}  {agree}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
