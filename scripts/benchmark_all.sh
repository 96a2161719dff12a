#!/usr/bin/env bash
# Runs every benchmark of the system in one go, on this machine, and prints each table: the scan against DuckDB
# (1M and 10M rows, medians of 3), the scan against pyspark local (1M and 10M rows), the Spark functions against
# DuckDB and pyspark (compare_engines.py) and the statistics against pandas/scipy and pyspark
# (statistics_bench.py). The scan's input files are made by scripts/make_sample_data.py as the demo makes them.
#   scripts/benchmark_all.sh [DATA_DIR] [--skip-10m-spark]
# Needs the release build in build/ (norq-spark, functions_bench, statistics_bench) and the setup's .venv.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
data=${1:-$root/bench-data}
skip10mSpark=${2:-}
py="$root/.venv/bin/python"
mkdir -p "$data"
# Files are written under a temporary name and renamed when complete, so an interrupted run never leaves a
# partial file that a later run would take for the data.
make_data() {  # ROWS NAME [make_sample_data options]
  local rows=$1 name=$2; shift 2
  [ -s "$data/$name" ] && return
  python3 "$root/scripts/make_sample_data.py" --rows "$rows" --out "$data" --file "$name.part" --no-regions "$@"
  mv "$data/$name.part" "$data/$name"
}
for rows in 1000000 10000000; do
  make_data $rows "loans_$rows.csv" --drift 0.6 --seed 7
  make_data $rows "loans_reference_$rows.csv" --seed 8
done
section() { echo; echo "=== $1 ($(date -u +%H:%M:%S), load $(cut -d' ' -f1-3 /proc/loadavg))"; }
echo "commit $(git -C "$root" rev-parse --short HEAD), $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GB", $2/1048576}' /proc/meminfo)"
section "scan vs DuckDB, 1000000 rows"
"$py" "$root/scripts/scan_duckdb.py" "$data/loans_1000000.csv" "$data/loans_reference_1000000.csv" --runs 3
section "scan vs pyspark local, 1000000 rows"
"$py" "$root/scripts/scan_pyspark.py" "$data/loans_1000000.csv" "$data/loans_reference_1000000.csv"
section "Spark functions vs DuckDB and pyspark, 10000000 rows"
"$py" "$root/scripts/compare_engines.py" --rows 10000000 --runs 3 --csv "$data/functions_10000000.csv"
section "statistics vs pandas/scipy and pyspark, 10000000 rows"
"$py" "$root/scripts/statistics_bench.py" --rows 10000000 --runs 3
section "scan vs DuckDB, 10000000 rows"
"$py" "$root/scripts/scan_duckdb.py" "$data/loans_10000000.csv" "$data/loans_reference_10000000.csv" --runs 3
if [ "$skip10mSpark" != "--skip-10m-spark" ]; then
  section "scan vs pyspark local, 10000000 rows"
  "$py" "$root/scripts/scan_pyspark.py" "$data/loans_10000000.csv" "$data/loans_reference_10000000.csv"
fi
section "done"
