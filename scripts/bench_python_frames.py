#!/usr/bin/env python3
"""Times converting a pandas frame of numeric columns into an engine frame (norq_spark.from_pandas) and back
(toPandas) and counting its rows, beside pyspark's createDataFrame of the same frame (Arrow enabled, local[2]) in the same script.

    PYTHONPATH=build/python .venv/bin/python scripts/bench_python_frames.py [--rows 10000000] [--cols 10]
        [--repeat 3] [--no-pyspark]

Prints the median of the runs for each step and the ratio pyspark / norq_spark.
"""
import argparse
import resource
import statistics
import time

import numpy as np
import pandas as pd


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), times


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=10_000_000)
    ap.add_argument("--cols", type=int, default=10)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--no-pyspark", action="store_true")
    args = ap.parse_args()

    import norq_spark as ns

    rng = np.random.default_rng(1)
    frame = pd.DataFrame(
        {f"c{i}": (rng.standard_normal(args.rows) if i % 2 == 0 else rng.integers(0, 1000, args.rows))
         for i in range(args.cols)}
    )
    mb = frame.memory_usage(index=False).sum() / 1e6
    print(f"{args.rows:,} rows x {args.cols} columns (float64 and int64), {mb:.0f} MB")

    ns.from_pandas(frame.head(1000))  # load pyarrow and start the engine's threads
    t_in, runs = median_time(lambda: ns.from_pandas(frame), args.repeat)
    print(f"norq_spark.from_pandas: median {t_in:.3f} s  ({', '.join(f'{t:.3f}' for t in runs)})")
    engine_frame = ns.from_pandas(frame)
    assert engine_frame.count() == args.rows
    t_count, runs = median_time(lambda: engine_frame.count(), args.repeat)
    print(f"DataFrame.count:        median {t_count:.3f} s  ({', '.join(f'{t:.3f}' for t in runs)})")
    t_out, runs = median_time(lambda: engine_frame.toPandas(), args.repeat)
    print(f"DataFrame.toPandas:     median {t_out:.3f} s  ({', '.join(f'{t:.3f}' for t in runs)})")
    print(f"peak RSS so far: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MB")

    if args.no_pyspark:
        return
    from pyspark.sql import SparkSession

    spark = (SparkSession.builder.master("local[2]").appName("bench")
             .config("spark.sql.execution.arrow.pyspark.enabled", "true")
             .config("spark.driver.memory", "8g").config("spark.ui.enabled", "false").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    spark.createDataFrame(frame.head(1000)).count()
    repeat = max(1, min(args.repeat, 3))
    t_spark, runs = median_time(lambda: spark.createDataFrame(frame), repeat)
    print(f"pyspark createDataFrame: median {t_spark:.3f} s  ({', '.join(f'{t:.3f}' for t in runs)})  "
          f"ratio pyspark/norq_spark {t_spark / t_in:.1f}")
    t_spark_count, runs = median_time(lambda: spark.createDataFrame(frame).count(), repeat)
    t_norq_count, _ = median_time(lambda: ns.from_pandas(frame).count(), args.repeat)
    print(f"createDataFrame + count: pyspark {t_spark_count:.3f} s, norq_spark {t_norq_count:.3f} s, "
          f"ratio {t_spark_count / t_norq_count:.1f}")
    spark.stop()


if __name__ == "__main__":
    main()
