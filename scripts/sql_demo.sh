#!/usr/bin/env bash
# Runs a few SQL queries over the sample lending data (data/sample) with `norq-spark sql` and prints the
# results. The binary defaults to build/norq-spark; set NORQ_SPARK to use another one.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bin="${NORQ_SPARK:-$root/build/norq-spark}"
data="$root/data/sample"

if [[ ! -x "$bin" ]]; then
  echo "demo: $bin not found; build it first (cmake -S . -B build -G Ninja && ninja -C build norq-spark)" >&2
  echo "      or point NORQ_SPARK at the binary" >&2
  exit 2
fi

run() {
  local title=$1 query=$2
  shift 2
  echo "== $title"
  echo "$query"
  "$bin" sql --csv "loans=$data/loans.csv" --csv "regions=$data/regions.csv" "$@" "$query"
  echo
}

run "Loans, average amount and default rate per region (join + group by)" \
  "SELECT r.region_name, count(*) AS loans, avg(l.amount) AS avg_amount, avg(l.defaulted) AS default_rate
   FROM loans l JOIN regions r ON l.region = r.region
   GROUP BY r.region_name ORDER BY loans DESC"

run "Large loans whose income is missing or NaN (null- and NaN-aware filter)" \
  "SELECT loan_id, purpose, amount, income, employment_years FROM loans
   WHERE (income IS NULL OR isnan(income)) AND amount >= 15000
   ORDER BY amount DESC, loan_id" --max-rows 10

run "The three largest loans of each region (window function)" \
  "SELECT region, loan_id, amount, rnk FROM (
     SELECT region, loan_id, amount, row_number() OVER (PARTITION BY region ORDER BY amount DESC, loan_id) AS rnk
     FROM loans) ranked
   WHERE rnk <= 3 ORDER BY region, rnk" --max-rows 15

run "Model accuracy and positive rate by gender, as JSON lines (union)" \
  "SELECT 'F' AS gender, count(*) AS loans, avg(CASE WHEN predicted = defaulted THEN 1.0 ELSE 0.0 END) AS accuracy,
          avg(predicted) AS positive_rate FROM loans WHERE gender = 'F'
   UNION ALL
   SELECT 'M', count(*), avg(CASE WHEN predicted = defaulted THEN 1.0 ELSE 0.0 END), avg(predicted)
   FROM loans WHERE gender = 'M'
   UNION ALL
   SELECT 'not given', count(*), avg(CASE WHEN predicted = defaulted THEN 1.0 ELSE 0.0 END), avg(predicted)
   FROM loans WHERE gender IS NULL" --json
