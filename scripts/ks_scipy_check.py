#!/usr/bin/env python3
"""Cross-checks the engine's two-sample Kolmogorov-Smirnov test against scipy on random samples.

For each sample pair (several sizes, ties, shifts and scales; fixed seeds) it writes the two samples as CSV files,
runs `norq-spark drift` on them (the drift of the one feature is the KS test of the two samples) and compares:
- the statistic with scipy.stats.ks_2samp(a, b, method='asymp').statistic (they must be equal to 1e-12);
- the p-value with the asymptotic formula the engine uses, Q((en + 0.12 + 0.11/en) * D), en = sqrt(n1 n2 / (n1 + n2)),
  computed with scipy.special.kolmogorov (Q itself), to a relative 1e-9; scipy's own asymptotic p-value (without
  Stephens' correction) is printed beside it for reference.

    python3 scripts/ks_scipy_check.py [--bin build/norq-spark]
Exits with status 1 when any pair disagrees.
"""
import argparse, json, math, os, subprocess, sys, tempfile

import numpy as np
from scipy import stats
from scipy.special import kolmogorov

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def pairs():
    rng = np.random.default_rng(2024)
    yield "normal 50 vs 60, shifted", rng.normal(0, 1, 50), rng.normal(0.5, 1, 60)
    yield "normal 300 vs 300, same", rng.normal(0, 1, 300), rng.normal(0, 1, 300)
    yield "uniform 5 vs 7", rng.uniform(0, 1, 5), rng.uniform(0, 1, 7)
    yield "ties (integers 0..4) 200 vs 150", rng.integers(0, 5, 200).astype(float), rng.integers(0, 6, 150).astype(float)
    yield "scale 1 vs 3, 120 vs 80", rng.normal(0, 1, 120), rng.normal(0, 3, 80)
    yield "disjoint 30 vs 40", rng.uniform(0, 1, 30), rng.uniform(2, 3, 40)
    yield "exponential 1000 vs 900", rng.exponential(1.0, 1000), rng.exponential(1.1, 900)


def run_engine(binary, a, b, tmp):
    cur, ref = os.path.join(tmp, "cur.csv"), os.path.join(tmp, "ref.csv")
    for path, values in ((cur, a), (ref, b)):
        with open(path, "w") as f:
            f.write("x,y\n")
            for v in values:
                f.write(f"{float(v)!r},0\n")
    out = subprocess.run([binary, "drift", cur, "--reference", ref, "--label", "y", "--continuous", "x",
                          "--splits", "1,0,0", "--history", os.path.join(tmp, "h.sqlite"), "--json", "-"],
                         capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(out.stderr.strip())
    feature = json.loads(out.stdout)["drift"]["features"][0]
    return feature["ks"]["statistic"], feature["ks"]["pvalue"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "norq-spark"))
    args = parser.parse_args()
    failures = 0
    print(f"{'pair':34} {'D engine':>10} {'D scipy':>10} {'p engine':>12} {'p formula':>12} {'p scipy':>12}")
    with tempfile.TemporaryDirectory() as tmp:
        for name, a, b in pairs():
            d, p = run_engine(args.bin, a, b, tmp)
            ref = stats.ks_2samp(a, b, method="asymp")
            n1, n2 = len(a), len(b)
            en = math.sqrt(n1 * n2 / (n1 + n2))
            p_formula = float(kolmogorov((en + 0.12 + 0.11 / en) * ref.statistic))
            ok = abs(d - ref.statistic) <= 1e-12 and abs(p - p_formula) <= 1e-9 * max(p_formula, 1e-300)
            failures += not ok
            print(f"{name:34} {d:10.6f} {ref.statistic:10.6f} {p:12.6g} {p_formula:12.6g} {ref.pvalue:12.6g}"
                  f"{'' if ok else '   MISMATCH'}")
    print("all pairs agree" if not failures else f"{failures} pair(s) disagree")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
