#!/usr/bin/env bash
# The main job on sample data: generates a realistic lending sample (300,000 loan applications scored by a
# credit model, and an earlier reference sample of the same size that the current one has drifted from),
# then runs `norq-spark scan` on it: profile, data quality, model and fairness metrics, drift. Writes
# out/report.html and out/report.json and prints the summary.
#
# The binary defaults to build/norq-spark (NORQ_SPARK to use another); ROWS changes the sample size.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bin="${NORQ_SPARK:-$root/build/norq-spark}"
rows="${ROWS:-300000}"
data="$root/data/generated"
out="$root/out"

if [[ ! -x "$bin" ]]; then
  echo "demo: $bin not found; build it first (scripts/build.sh)" >&2
  exit 2
fi

mkdir -p "$data" "$out"
if [[ ! -f "$data/loans_$rows.csv" ]]; then
  echo "demo: generating $rows current and $rows reference loan applications in $data" >&2
  python3 "$root/scripts/make_sample_data.py" --rows "$rows" --out "$data" --file "loans_$rows.csv" --drift 0.6 --seed 7 --no-regions
  python3 "$root/scripts/make_sample_data.py" --rows "$rows" --out "$data" --file "loans_reference_$rows.csv" --seed 8 --no-regions
fi

set +e
"$bin" scan "$data/loans_$rows.csv" --reference "$data/loans_reference_$rows.csv" --name loans \
  --label defaulted --prediction predicted \
  --protected gender --privileged M --unprivileged F \
  --id loan_id,applicant_id --date application_date --convert-dates \
  --missing-id applicant_id \
  --history "$out/history.sqlite" \
  --json "$out/report.json" --html "$out/report.html" \
  --fail-psi-above 0.25
status=$?
set -e
echo
echo "demo: report written to $out/report.html (JSON: $out/report.json); norq-spark exited with status $status"
echo "demo: (status 1 means a threshold was crossed: here the population stability limit of 0.25)"
[[ $status -le 1 ]]
