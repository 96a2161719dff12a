#!/usr/bin/env python3
"""Times `norq-spark scan` against pyspark (local mode) running the same operations through the same steps, on
the same files, in one run, and prints both wall times and peak memories.

    python3 scripts/scan_pyspark.py CURRENT.csv REFERENCE.csv [--bin build/norq-spark] [--skip-spark]

The options are those of the main job (scripts/demo.sh): label `defaulted`, prediction `predicted`, protected
`gender` (M privileged, F unprivileged), identifiers `loan_id`, `applicant_id`, date `application_date` converted
to a timestamp, the missing-identifier check on `applicant_id`. The pyspark side issues the queries the scan issues:
schema inference, the column-kind guess (row count and distinct counts), the random split, the segment checksums
(count, sum of xxhash64), the profile (min/max, distinct and missing counts), the histograms (grouped counts, the
width_bucket query joined with range), the duplicate and missing-id checks, the metrics per group, and per feature
the drift histograms and the two-sample KS test (cume_dist windows, full outer join, running last()). Peak memory:
the maximum resident set of norq-spark, and of the JVM for pyspark.
"""
import argparse, math, os, subprocess, sys, tempfile, threading, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LABEL, PRED, PROT, IDS, DATE = "defaulted", "predicted", "gender", ["loan_id", "applicant_id"], "application_date"


def run_ours(binary, current, reference, tmp, remote=None):
    args = [binary, "scan", current, "--reference", reference, "--name", "loans", "--label", LABEL, "--prediction", PRED,
            "--protected", PROT, "--privileged", "M", "--unprivileged", "F", "--id", ",".join(IDS), "--date", DATE,
            "--convert-dates", "--missing-id", "applicant_id", "--history", os.path.join(tmp, "h.sqlite"),
            "--json", os.path.join(tmp, "ours.json"), "--quiet"] + (["--remote", remote] if remote else [])
    t0 = time.time()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M"] + args, capture_output=True, text=True)
    elapsed = time.time() - t0
    if proc.returncode not in (0, 1):
        raise RuntimeError(proc.stderr)
    peak_kb = int(proc.stderr.strip().splitlines()[-1])
    return elapsed, peak_kb


def jvm_peak_kb(pid_holder, stop):
    peak = 0
    while not stop.is_set():
        for pid in pid_holder:
            try:
                with open(f"/proc/{pid}/status") as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            peak = max(peak, int(line.split()[1]))
            except OSError:
                pass
        time.sleep(0.5)
    pid_holder.append(peak)


def run_spark(current, reference, remote=None):
    from pyspark.sql import SparkSession, Window, functions as F
    if remote:
        spark = SparkSession.builder.remote(remote).getOrCreate()
        spark.conf.set("spark.sql.ansi.enabled", "false")
        spark.conf.set("spark.sql.session.timeZone", "UTC")
    else:
        spark = (SparkSession.builder.master("local[*]").appName("scan_pyspark")
                 .config("spark.sql.ansi.enabled", "false").config("spark.sql.session.timeZone", "UTC")
                 .config("spark.driver.memory", "8g").config("spark.ui.showConsoleProgress", "false").getOrCreate())
    if not remote:
        spark.sparkContext.setLogLevel("ERROR")
    t0 = time.time()
    read = lambda p: spark.read.option("mode", "FAILFAST").csv(p, header=True, inferSchema=True)
    df, ref = read(current), read(reference)
    numeric = {"byte", "short", "integer", "long", "float", "double", "decimal"}

    def guess(frame):
        n = frame.count()
        cat = []
        for f in frame.schema.fields:
            t = f.dataType.typeName()
            if t not in numeric:
                cat.append(f.name)
            elif t not in ("float", "double") and frame.select(f.name).distinct().count() / n < 0.001:
                cat.append(f.name)
        return sorted(set(cat))

    target_cat = bool(guess(df.select(LABEL)))
    cats = [c for c in guess(df) if c not in (LABEL, PRED, PROT) + tuple(IDS) + (DATE,)]
    features = [c for c in df.columns if c != LABEL]
    df = df.withColumn(DATE, F.to_timestamp(DATE))
    train, valid, test = df.randomSplit([0.8, 0.2, 0.0], 2)
    for part in (train, valid, test):
        if part.count() > 0:
            break
    def num_partitions(frame):
        if not remote:
            return frame.rdd.getNumPartitions()
        # Spark Connect has no rdd API: the same small query norq-spark's Connect client issues.
        m = frame.select(F.spark_partition_id().alias("p")).agg(F.max("p")).first()[0]
        return 0 if m is None else m + 1
    all_data = train.union(valid).union(test).coalesce(max(1, num_partitions(valid))).persist()
    for part in (train, valid, test):
        if part.count() > 0:
            part.select(F.xxhash64(*part.columns).alias("hash")).select(F.sum("hash")).first()
    for part in (all_data, train, valid, test):
        part.count()
    conts = [c for c in features if c not in cats + IDS + [DATE, PRED, PROT]]
    # Profile.
    for c in features + [LABEL]:
        col = all_data.select(c)
        if c not in conts:
            col.dropna().drop_duplicates().count()
        if c in conts or c == DATE:
            col.select(F.min(c), F.max(c)).first()
        col.count() - col.dropna().count()
    # Histograms.
    def bucket_counts(frame, c, lo, hi, bins, buckets):
        b = spark.sql(f"select id+1 as bucket from range({buckets})")
        return (frame.selectExpr(f"width_bucket(`{c}`, {lo!r}, {hi!r}, {bins}) as bucket").groupBy("bucket").count()
                .join(b, "bucket", "right_outer").selectExpr("bucket", "nvl(count, 0) as count").orderBy("bucket").collect())
    for c in [f for f in features if f not in IDS + [DATE, PROT]] + [LABEL, PRED]:
        values = all_data.select(c).na.drop()
        if dict(all_data.dtypes)[c] == "string":
            values.groupBy(c).count().orderBy(F.col("count").desc()).collect()
            continue
        distinct = values.distinct().limit(101).collect()
        encoded = len(distinct) <= 100 and all(float(r[0]) == int(r[0]) for r in distinct)
        bins = len(distinct) if encoded else 15
        lo, hi = values.select(F.min(c)).first()[0], values.select(F.max(c)).first()[0]
        if lo is not None and lo != hi:
            bucket_counts(values, c, float(lo), float(hi), bins, bins + 1)
    # Quality.
    subset = [c for c in features if c not in IDS]
    all_data.join(all_data.groupBy(subset).agg((F.count("*") > 1).cast("int").alias("is_duplicate")), on=subset,
                  how="inner").filter(F.col("is_duplicate") > 0).select(features).orderBy(subset).withColumn(
        "duplicate_record_id", F.format_string("loan_id=%s|applicant_id=%s", "loan_id", "applicant_id")).toPandas()
    all_data.filter(F.col("applicant_id").isNull()).withColumn(
        "missing_record_id", F.format_string("loan_id=%s", "loan_id")).toPandas()
    # Metrics over the validation rows, overall and per group, and the group differences.
    mframe = valid.select([c for c in features if c not in IDS + [DATE, PROT]] + [LABEL, PROT])
    mframe.count()
    def rate(frame, cond_filter, indicator):
        s = frame.filter(cond_filter) if cond_filter is not None else frame
        return s.select(F.avg(F.when(indicator(s), 1).otherwise(0))).first()
    metrics = [(None, lambda s: s[PRED] == s[LABEL]), (F.col(LABEL) == 1, lambda s: s[PRED] == s[LABEL]),
               (F.col(LABEL) == 0, lambda s: s[PRED] == s[LABEL]), (None, lambda s: s[PRED] == 1)]
    groups = [mframe, mframe.filter(F.col(PROT).isin(["M"])), mframe.filter(F.col(PROT).isin(["F"]))]
    for g in groups[1:]:
        g.count()
    for cond, ind in metrics + metrics[1:3] + metrics[1:2]:  # the seven metrics (equal odds and opportunity again)
        for g in groups + groups[1:]:  # overall, per group, and the groups once more for metric_diff
            rate(g, cond, ind)
    # Drift per feature.
    for c in [f for f in features if f not in IDS + [DATE, PRED]]:
        r, cur = ref.select(c).na.drop(), all_data.select(c).na.drop()
        if c in cats or dict(all_data.dtypes)[c] == "string":
            r.groupBy(c).agg(F.count(c)).collect()
            cur.groupBy(c).agg(F.count(c)).collect()
            continue
        combined = r.union(cur)
        n = combined.count()
        bins = max(10, round(1 + 3.322 * math.log10(n)))
        lo, hi = combined.select(F.min(c)).first()[0], combined.select(F.max(c)).first()[0]
        bucket_counts(r, c, float(lo), float(hi), bins, bins)
        bucket_counts(cur, c, float(lo), float(hi), bins, bins)
        n1, n2 = r.count(), cur.count()
        cdf = lambda frame, name: frame.withColumn(name, F.cume_dist().over(Window.orderBy(c))).distinct()
        c1, c2 = cdf(r, "cdf_1"), cdf(cur, "cdf_2")
        w = Window.orderBy(F.coalesce(c1[c], c2[c])).rowsBetween(Window.unboundedPreceding, Window.currentRow)
        (c1.join(c2, c1[c] == c2[c], "outer")
         .withColumn("f1", F.coalesce(F.last("cdf_1", ignorenulls=True).over(w), F.lit(0.0)))
         .withColumn("f2", F.coalesce(F.last("cdf_2", ignorenulls=True).over(w), F.lit(0.0)))
         .select(F.max(F.abs(F.col("f1") - F.col("f2")))).collect())
    elapsed = time.time() - t0
    spark.stop()
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("current")
    parser.add_argument("reference")
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "norq-spark"))
    parser.add_argument("--skip-spark", action="store_true")
    parser.add_argument("--remote", help="run both on this Spark Connect server (sc://host:port); files are read "
                                         "by the server")
    parser.add_argument("--repeat", type=int, default=1, help="runs of each side (medians are printed)")
    args = parser.parse_args()
    if args.remote:
        return compare_remote(args)
    rows = sum(1 for _ in open(args.current)) - 1
    with tempfile.TemporaryDirectory() as tmp:
        ours, ours_kb = run_ours(args.bin, args.current, args.reference, tmp)
    print(f"rows {rows} (+ {rows} reference), columns {len(open(args.current).readline().split(','))}")
    print(f"norq-spark scan: {ours:8.1f} s, peak memory {ours_kb / 1024:8.0f} MiB")
    if args.skip_spark:
        return 0
    # The JVM's peak resident set, sampled while pyspark runs.
    pids, stop, result = [], threading.Event(), {}
    runner = threading.Thread(target=lambda: result.setdefault("elapsed", run_spark(args.current, args.reference)))
    runner.start()
    time.sleep(5)
    found = subprocess.run(["pgrep", "-f", "org.apache.spark.deploy.SparkSubmit"], capture_output=True, text=True)
    pids.extend(int(p) for p in found.stdout.split())
    watcher = threading.Thread(target=jvm_peak_kb, args=(pids, stop))
    watcher.start()
    runner.join()
    stop.set()
    watcher.join()
    if "elapsed" not in result:
        raise RuntimeError("the pyspark run failed")
    spark_kb = pids[-1] if pids else 0
    print(f"pyspark local:   {result['elapsed']:8.1f} s, peak memory {spark_kb / 1024:8.0f} MiB (JVM)")
    print(f"ratio (pyspark / norq-spark): {result['elapsed'] / ours:.1f}x time")
    return 0


def compare_remote(args):
    """Both sides on the same Spark Connect server, alternating runs: norq-spark --remote, then pyspark's Connect
    client issuing the same queries. The ratio shows what the C++ client adds beyond Spark's own execution."""
    import statistics
    ours, theirs = [], []
    with tempfile.TemporaryDirectory() as tmp:
        for i in range(args.repeat):
            ours.append(run_ours(args.bin, args.current, args.reference, tmp, args.remote)[0])
            theirs.append(run_spark(args.current, args.reference, args.remote))
            print(f"run {i + 1}: norq-spark --remote {ours[-1]:7.1f} s, pyspark Connect {theirs[-1]:7.1f} s", flush=True)
    mo, mt = statistics.median(ours), statistics.median(theirs)
    print(f"median of {args.repeat}: norq-spark --remote {mo:.1f} s, pyspark Connect {mt:.1f} s, "
          f"ratio (norq-spark / pyspark) {mo / mt:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
