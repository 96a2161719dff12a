#!/usr/bin/env bash
# Runs every fuzz target built by scripts/build_fuzzers.sh for SECONDS each (default 3600), at low priority
# (FUZZ_NICE=0 for normal priority on an otherwise idle machine),
# growing its corpus in fuzz/corpus/TARGET (commit the new entries worth keeping). Crashes are written to
# build-fuzz/crashes/; each one found becomes a regression test (tests/catalogue or a unit test).
#   scripts/run_fuzzers.sh [SECONDS] [TARGET...]
set -uo pipefail
cd "$(dirname "$0")/.."
OUT=${FUZZ_DIR:-build-fuzz}
SECONDS_EACH=${1:-3600}
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(sql csv inline_table type config)
mkdir -p "$OUT/crashes" "$OUT/logs"
for t in "${TARGETS[@]}"; do
  mkdir -p "fuzz/corpus/$t"
  echo "fuzz_$t for $SECONDS_EACH s"
  nice -n "${FUZZ_NICE:-19}" "$OUT/fuzz_$t" "fuzz/corpus/$t" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -artifact_prefix="$OUT/crashes/$t-" -print_final_stats=1 >"$OUT/logs/$t.log" 2>&1
  echo "  exit $? ($(grep -c . "$OUT/logs/$t.log") log lines; $(ls "fuzz/corpus/$t" | wc -l) corpus entries)"
done
ls "$OUT/crashes"
