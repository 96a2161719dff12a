#!/usr/bin/env python3
"""Records scipy's answers for the two-sample Kolmogorov-Smirnov test, for the C++ tests to compare against.

Writes tests/data/ks_scipy.json (or the path given) with:
- "pairs": random sample pairs (several sizes from 5 to 300 values, ties, shifts, scales, disjoint and identical
  samples; fixed seeds), each with
    "statistic":      scipy.stats.ks_2samp(a, b, method="asymp").statistic, the largest distance between the
                      two empirical distribution functions;
    "pvalue":         Q((en + 0.12 + 0.11 / en) * D), en = sqrt(n1 n2 / (n1 + n2)), with Q =
                      scipy.special.kolmogorov: the asymptotic p-value with Stephens' small-sample correction,
                      which the engine computes;
    "pvalue_scipy_asymp": scipy's own asymptotic p-value, for reference only. scipy takes the one-sample
                      distribution kstwo.sf(D, round(n1 n2 / (n1 + n2))) instead of Stephens' form, so it differs
                      from "pvalue" (most for small samples) and is not compared.
- "kolmogorov": points x (small, around 1, large) with scipy.special.kolmogorov(x) and the value computed with
  mpmath at 50 digits ("exact", rounded to the nearest double), since scipy's own value drifts by up to ~1e-14
  relative for large x.

    python3 scripts/ks_scipy_check.py [output.json]
"""
import json
import math
import os
import sys

import mpmath as mp
import numpy as np
from scipy import stats
from scipy.special import kolmogorov

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def pairs():
    rng = np.random.default_rng(20241208)
    r4 = lambda v: np.round(v, 4)  # short decimals keep the file small (and add a few ties)
    yield "normal 50 vs 60, shifted by 0.5", r4(rng.normal(0, 1, 50)), r4(rng.normal(0.5, 1, 60))
    yield "normal 300 vs 250, same distribution", r4(rng.normal(0, 1, 300)), r4(rng.normal(0, 1, 250))
    yield "uniform 5 vs 7", r4(rng.uniform(0, 1, 5)), r4(rng.uniform(0, 1, 7))
    yield "ties: integers 0..4 vs 0..5, 200 vs 150", rng.integers(0, 5, 200).astype(float), \
        rng.integers(0, 6, 150).astype(float)
    yield "scale 1 vs 3, 120 vs 80", r4(rng.normal(0, 1, 120)), r4(rng.normal(0, 3, 80))
    yield "disjoint 30 vs 40 (second above)", r4(rng.uniform(0, 1, 30)), r4(rng.uniform(2, 3, 40))
    yield "disjoint 12 vs 9 (second below)", r4(rng.uniform(5, 6, 12)), r4(rng.uniform(-1, 0, 9))
    yield "exponential 280 vs 300, rate 1 vs 1/1.1", r4(rng.exponential(1.0, 280)), r4(rng.exponential(1.1, 300))
    yield "ties: coarse normal 100 vs 100", np.round(rng.normal(0, 1, 100), 1), np.round(rng.normal(0.2, 1, 100), 1)
    a = r4(rng.normal(0, 1, 40))
    yield "identical 40 vs 40", a, a.copy()
    yield "first below second's range, overlapping, 25 vs 6", r4(rng.uniform(0, 2, 25)), r4(rng.uniform(1.5, 2.5, 6))


def kolmogorov_exact(x):
    x = mp.mpf(x)
    if x <= 0:
        return mp.mpf(1)
    if x < 1:
        s = mp.nsum(lambda k: mp.exp(-(2 * k - 1) ** 2 * mp.pi ** 2 / (8 * x * x)), [1, mp.inf])
        return 1 - mp.sqrt(2 * mp.pi) / x * s
    return 2 * mp.nsum(lambda k: (-1) ** (k - 1) * mp.exp(-2 * k * k * x * x), [1, mp.inf])


def main():
    out_path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "tests", "data", "ks_scipy.json")
    mp.mp.dps = 50
    records = []
    print(f"{'pair':50} {'D':>10} {'p (Stephens)':>14} {'p scipy asymp':>14}")
    for name, a, b in pairs():
        ref = stats.ks_2samp(a, b, method="asymp")
        d = float(ref.statistic)
        n1, n2 = len(a), len(b)
        en = math.sqrt(n1 * n2 / (n1 + n2))
        p = float(kolmogorov((en + 0.12 + 0.11 / en) * d))
        records.append({"name": name, "a": [float(v) for v in a], "b": [float(v) for v in b], "statistic": d,
                        "pvalue": p, "pvalue_scipy_asymp": float(ref.pvalue)})
        print(f"{name:50} {d:10.6f} {p:14.6g} {float(ref.pvalue):14.6g}")

    xs = [1e-300, 1e-3, 0.02, 0.05, 0.1, 0.15, 0.2, 0.25, 0.3, 0.35, 0.4, 0.45, 0.5, 0.55, 0.6, 0.65, 0.7, 0.75,
          0.8, 0.81, 0.8199999999999999, 0.82, 0.83, 0.85, 0.9, 0.95, 1.0, 1.0471975511965976, 1.1, 1.2, 1.3,
          1.358098, 1.4, 1.5, 1.63, 1.75, 2.0, 2.25, 2.5, 3.0, 3.5, 4.0, 5.0, 6.0, 7.5, 10.0, 15.0, 19.0, 19.3,
          20.0, 27.0, 100.0]
    rng = np.random.default_rng(7)
    xs += [float(v) for v in np.round(rng.uniform(0.05, 4.0, 40), 12)]
    points = [{"x": x, "scipy": float(kolmogorov(x)), "exact": float(kolmogorov_exact(x))} for x in sorted(xs)]
    worst = max(abs(q["scipy"] - q["exact"]) / q["exact"] for q in points if q["exact"] > 1e-300)
    print(f"{len(points)} points of Q; scipy's largest relative departure from the 50-digit value: {worst:.3g}")

    with open(out_path, "w") as f:
        json.dump({"generator": "scripts/ks_scipy_check.py", "scipy": __import__("scipy").__version__,
                   "pairs": records, "kolmogorov": points}, f, separators=(",", ":"))
        f.write("\n")
    print(f"wrote {out_path} ({os.path.getsize(out_path)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
