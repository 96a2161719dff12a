#!/usr/bin/env python3
"""Times `norq-spark scan` against the same work written directly in DuckDB SQL, in one run, and prints the
median wall times, peak memories and the ratio (norq-spark / DuckDB: 1.0 or less is the aim).

    python3 scripts/scan_duckdb.py CURRENT.csv REFERENCE.csv [--bin build/norq-spark] [--runs 3]

The scan's options are those of the main job (scripts/demo.sh). The DuckDB side is what a user would write in an
afternoon for the same report: both files read into tables (schema inference), the column-kind guess (distinct
counts of integer columns), a random 80/20/0 split, per segment the row count and a checksum (sum of a hash of all
columns), the profile (minimum, maximum, distinct and missing counts per column), the histograms (15 bins or the
integer codes, categories by frequency), the duplicate-row and missing-identifier checks, the seven metrics over
the validation rows overall and per gender group, and per feature the drift histograms (PSI) and the two-sample
Kolmogorov-Smirnov statistic (cumulative counts over the sorted union) with its asymptotic p-value. DuckDB uses
every core, as norq-spark does. Each engine runs in its own process, alternately, so that the machine's load
falls on both alike; peak memory is each process's maximum resident set.
"""
import argparse, json, math, os, statistics, subprocess, sys, tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LABEL, PRED, PROT, IDS, DATE = "defaulted", "predicted", "gender", ["loan_id", "applicant_id"], "application_date"


def run_ours(binary, current, reference, tmp):
    args = [binary, "scan", current, "--reference", reference, "--name", "loans", "--label", LABEL, "--prediction", PRED,
            "--protected", PROT, "--privileged", "M", "--unprivileged", "F", "--id", ",".join(IDS), "--date", DATE,
            "--convert-dates", "--missing-id", "applicant_id", "--history", os.path.join(tmp, "h.sqlite"),
            "--json", os.path.join(tmp, "ours.json"), "--quiet"]
    t0 = time.time()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M"] + args, capture_output=True, text=True)
    elapsed = time.time() - t0
    if proc.returncode not in (0, 1):
        raise RuntimeError(proc.stderr)
    return elapsed, int(proc.stderr.strip().splitlines()[-1])


def q(ident):
    return '"' + ident.replace('"', '""') + '"'


def duck_scan(current, reference):
    """The scan's computations in DuckDB; returns a few figures so that the work cannot be skipped."""
    import duckdb
    from scipy.stats import kstwobign
    con = duckdb.connect()
    con.execute("SET enable_progress_bar = false")
    con.execute(f"CREATE TABLE cur AS SELECT * FROM read_csv_auto('{current}', header=true)")
    con.execute(f"CREATE TABLE ref AS SELECT * FROM read_csv_auto('{reference}', header=true)")
    # DuckDB reads a number column holding NaN as text; it is a double column (as Spark infers it).
    for table in ("cur", "ref"):
        for (c,) in con.execute("SELECT column_name FROM information_schema.columns WHERE table_name = ? AND "
                                "data_type = 'VARCHAR'", [table]).fetchall():
            if con.execute(f"SELECT count({q(c)}) = count(try_cast({q(c)} AS DOUBLE)) FROM {table}").fetchone()[0]:
                con.execute(f"ALTER TABLE {table} ALTER {q(c)} TYPE DOUBLE")
    cols = con.execute("SELECT column_name, data_type FROM information_schema.columns WHERE table_name='cur' "
                       "ORDER BY ordinal_position").fetchall()
    types = dict(cols)
    names = [c for c, _ in cols]
    integer = {"TINYINT", "SMALLINT", "INTEGER", "BIGINT", "HUGEINT"}
    floating = {"FLOAT", "DOUBLE"}
    # The column kinds: text categorical, floating continuous, integers categorical when few distinct values.
    n = con.execute("SELECT count(*) FROM cur").fetchone()[0]
    ints = [c for c in names if types[c] in integer]
    distinct = dict(zip(ints, con.execute("SELECT " + ", ".join(f"count(DISTINCT {q(c)})" for c in ints) +
                                          " FROM cur").fetchone())) if ints else {}
    special = set(IDS + [DATE, LABEL, PRED, PROT])
    cats = [c for c in names if c not in special and (types[c] not in integer | floating or
                                                        (types[c] in integer and distinct[c] / n < 0.001))]
    conts = [c for c in names if c not in special and c not in cats]
    features = [c for c in names if c not in IDS + [DATE, LABEL, PRED, PROT]]
    # The split (a seeded random draw per row) and the per-segment counts and checksums.
    con.execute("SELECT setseed(0.2)")
    con.execute(f"CREATE TABLE data AS SELECT *, CAST({q(DATE)} AS TIMESTAMP) AS _date, "
                "CASE WHEN random() < 0.8 THEN 0 ELSE 1 END AS _segment FROM cur")
    all_cols = ", ".join(q(c) for c in names)
    con.execute(f"SELECT _segment, count(*), sum(hash({all_cols})::HUGEINT) FROM data GROUP BY _segment").fetchall()
    # Profile: per column the minimum, maximum, distinct and missing counts, in one pass.
    aggs = []
    for c in names:
        aggs += [f"min({q(c)})", f"max({q(c)})", f"count(DISTINCT {q(c)})", f"count(*) - count({q(c)})"]
    profile = con.execute("SELECT " + ", ".join(aggs) + " FROM data").fetchone()
    # Histograms: categories by frequency; numbers in 15 equal bins, or one bar per integer code (≤ 100).
    for c in features + [LABEL, PRED]:
        if types[c] not in integer | floating:
            con.execute(f"SELECT {q(c)}, count(*) AS k FROM data WHERE {q(c)} IS NOT NULL GROUP BY 1 ORDER BY k DESC"
                        ).fetchall()
            continue
        lo, hi, d = con.execute(f"SELECT min({q(c)}), max({q(c)}), count(DISTINCT {q(c)}) FROM data "
                                f"WHERE {q(c)} IS NOT NULL AND NOT isnan({q(c)}::DOUBLE)").fetchone()
        if lo is None or lo == hi:
            continue
        bins = d if d <= 100 and types[c] in integer else 15
        con.execute(f"SELECT least(floor(({q(c)} - {lo}) / ({hi} - {lo}) * {bins}), {bins - 1}) AS b, count(*) "
                    f"FROM data WHERE {q(c)} IS NOT NULL AND NOT isnan({q(c)}::DOUBLE) GROUP BY b ORDER BY b").fetchall()
    # Quality: rows equal on every non-identifier column, and rows without an applicant identifier.
    subset = [c for c in names if c not in IDS]
    on = " AND ".join(f"d.{q(c)} IS NOT DISTINCT FROM g.{q(c)}" for c in subset)
    dups = con.execute(f"SELECT d.* FROM data d JOIN (SELECT {', '.join(q(c) for c in subset)} FROM data GROUP BY ALL "
                       f"HAVING count(*) > 1) g ON {on} ORDER BY {', '.join('d.' + q(c) for c in subset)}").fetchall()
    missing = con.execute("SELECT * FROM data WHERE applicant_id IS NULL").fetchall()
    # Metrics over the validation rows, overall and per gender group.
    rates = (f"avg(CASE WHEN {PRED} = {LABEL} THEN 1 ELSE 0 END), "
             f"avg(CASE WHEN {LABEL} = 1 THEN CASE WHEN {PRED} = 1 THEN 1 ELSE 0 END END), "
             f"avg(CASE WHEN {LABEL} = 0 THEN CASE WHEN {PRED} = 0 THEN 1 ELSE 0 END END), "
             f"avg(CASE WHEN {PRED} = 1 THEN 1 ELSE 0 END), count(*)")
    con.execute(f"SELECT {rates} FROM data WHERE _segment = 1").fetchall()
    con.execute(f"SELECT {PROT}, {rates} FROM data WHERE _segment = 1 AND {PROT} IN ('M', 'F') GROUP BY 1").fetchall()
    # Drift per feature: histograms of both samples over the same bins (PSI) and, for continuous features,
    # the KS statistic from the cumulative counts of the sorted union of both samples.
    drift = {}
    for c in features:
        ok = f"{q(c)} IS NOT NULL" + ("" if types[c] not in floating else f" AND NOT isnan({q(c)})")
        if c in cats:
            e = dict(con.execute(f"SELECT {q(c)}, count(*) FROM ref WHERE {ok} GROUP BY 1").fetchall())
            a = dict(con.execute(f"SELECT {q(c)}, count(*) FROM data WHERE {ok} GROUP BY 1").fetchall())
            keys = sorted(set(e) | set(a), key=str)
        else:
            lo, hi, m = con.execute(f"SELECT min(v), max(v), count(*) FROM (SELECT {q(c)} AS v FROM ref WHERE {ok} "
                                    f"UNION ALL SELECT {q(c)} FROM data WHERE {ok})").fetchone()
            bins = max(10, round(1 + 3.322 * math.log10(max(m, 1))))
            width = (hi - lo) / bins if hi != lo else 1
            bucket = f"least(floor(({q(c)} - {lo}) / {width}), {bins - 1})"
            e = dict(con.execute(f"SELECT {bucket}, count(*) FROM ref WHERE {ok} GROUP BY 1").fetchall())
            a = dict(con.execute(f"SELECT {bucket}, count(*) FROM data WHERE {ok} GROUP BY 1").fetchall())
            keys = sorted(set(e) | set(a))
        ne, na = sum(e.values()) or 1, sum(a.values()) or 1
        psi = 0.0
        for k in keys:
            pe, pa = max(e.get(k, 0) / ne, 1e-4), max(a.get(k, 0) / na, 1e-4)
            psi += (pa - pe) * math.log(pa / pe)
        drift[c] = {"psi": psi}
        if c in conts:
            d, n1, n2 = con.execute(
                f"WITH u AS (SELECT {q(c)} AS v, 1 AS s FROM ref WHERE {ok} UNION ALL SELECT {q(c)}, 2 FROM data WHERE {ok}),"
                " c AS (SELECT v, count(*) FILTER (s = 1) AS c1, count(*) FILTER (s = 2) AS c2 FROM u GROUP BY v),"
                " t AS (SELECT sum(c1) AS n1, sum(c2) AS n2 FROM c),"
                " f AS (SELECT sum(c1) OVER (ORDER BY v) AS f1, sum(c2) OVER (ORDER BY v) AS f2 FROM c)"
                " SELECT max(abs(f1 / n1 - f2 / n2)), any_value(n1), any_value(n2) FROM f, t").fetchone()
            en = math.sqrt(n1 * n2 / (n1 + n2))
            drift[c]["ks"] = (float(d), float(kstwobign.sf(float(d) * en)))
    con.close()
    return {"profile_fields": len(profile), "duplicates": len(dups), "missing_ids": len(missing), "drift": drift}


def run_duck(current, reference):
    """DuckDB in a child process, so that its peak memory is its own."""
    code = (f"import sys, json, time; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r}); "
            f"import scan_duckdb as s; t = time.time(); r = s.duck_scan({current!r}, {reference!r}); "
            "print(json.dumps({'elapsed': time.time() - t, 'result': r}))")
    proc = subprocess.run(["/usr/bin/time", "-f", "%M", sys.executable, "-c", code], capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr)
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    return out["elapsed"], int(proc.stderr.strip().splitlines()[-1]), out["result"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("current")
    parser.add_argument("reference")
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "norq-spark"))
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    current, reference = os.path.abspath(args.current), os.path.abspath(args.reference)
    ours, duck = [], []
    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(args.runs):
            ours.append(run_ours(args.bin, current, reference, tmp))
            t, kb, result = run_duck(current, reference)
            duck.append((t, kb))
    rows = sum(1 for _ in open(current)) - 1
    med = lambda xs, i: statistics.median(x[i] for x in xs)
    print(f"rows {rows} (+ reference {sum(1 for _ in open(reference)) - 1}), runs {args.runs}, "
          f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}")
    print(f"norq-spark scan: median {med(ours, 0):7.2f} s  (runs {', '.join(f'{x[0]:.2f}' for x in ours)}), "
          f"peak memory {max(x[1] for x in ours) / 1024:6.0f} MiB")
    print(f"DuckDB SQL:      median {med(duck, 0):7.2f} s  (runs {', '.join(f'{x[0]:.2f}' for x in duck)}), "
          f"peak memory {max(x[1] for x in duck) / 1024:6.0f} MiB")
    print(f"ratio (norq-spark / DuckDB): {med(ours, 0) / med(duck, 0):.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
