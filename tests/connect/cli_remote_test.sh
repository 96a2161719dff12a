#!/usr/bin/env bash
# norq-spark against the local Spark Connect server, end to end:
#  - `scan --remote` gives the same report numbers as the embedded run: the overall checksum and every figure
#    that does not depend on the random split (Spark decides which rows fall in which segment), and, with a
#    split that sends every row to the validation segment (--splits 0,1,0), every figure of the report;
#  - faults: an unreachable server, a condition Spark rejects, and a server stopped in the middle of a scan
#    each end with one line on stderr, exit status 2 and no report file.
#   cli_remote_test.sh NORQ_SPARK ADDRESS_FILE SOURCE_DIR
set -euo pipefail
bin="$1"
remote="$(cat "$2")"
src="$3"
python="$src/.venv/bin/python"
[[ -x "$python" ]] || python=python3
unset SPARK_REMOTE
work="$(mktemp -d)"
fault_server=""
cleanup() {
  if [[ -n "$fault_server" ]]; then "$src/scripts/spark_connect_server.sh" stop "$fault_server" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

python3 "$src/scripts/make_sample_data.py" --rows 4000 --out "$work" --file current.csv --drift 0.5 --seed 11 --no-regions
python3 "$src/scripts/make_sample_data.py" --rows 3000 --out "$work" --file reference.csv --seed 12 --no-regions
scan_args=(--reference "$work/reference.csv" --label defaulted --prediction predicted --protected gender
           --privileged M --unprivileged F --id loan_id,applicant_id --date application_date --convert-dates
           --order amount:income --missing-id applicant_id --quiet)

run_pair() {  # name, extra args...
  local name="$1"; shift
  "$bin" scan "$work/current.csv" "${scan_args[@]}" "$@" --history "$work/h_local.sqlite" --json "$work/$name.local.json"
  "$bin" scan "$work/current.csv" "${scan_args[@]}" "$@" --history "$work/h_remote.sqlite" --json "$work/$name.remote.json" \
    --remote "$remote"
}
run_pair default
run_pair validation --splits 0,1,0

"$python" - "$work" <<'PY'
import json, sys
work = sys.argv[1]

def load(name):
    with open(f"{work}/{name}.json") as f:
        return json.load(f)

def diff(a, b, path, out):
    if isinstance(a, dict) and isinstance(b, dict):
        for k in sorted(set(a) | set(b)):
            if k not in a or k not in b:
                out.append(f"{path}.{k}: only in {'remote' if k in b else 'embedded'}")
            else:
                diff(a[k], b[k], f"{path}.{k}", out)
    elif isinstance(a, list) and isinstance(b, list):
        if len(a) != len(b):
            out.append(f"{path}: {len(a)} items embedded, {len(b)} remote")
        for i, (x, y) in enumerate(zip(a, b)):
            diff(x, y, f"{path}[{i}]", out)
    elif a != b:
        out.append(f"{path}: embedded {a!r}, remote {b!r}")

# Fields that differ between any two runs: the dataset's random id, the history of earlier scans and the time the
# report was generated.
VOLATILE = {("dataset", "id"), ("history",), ("generated",)}

def strip(report):
    report = json.loads(json.dumps(report))
    report["dataset"].pop("id", None)
    report.pop("history", None)
    report.pop("generated", None)
    return report

failures = []
# Default split: everything but the segments' figures (their rows are Spark's random choice).
a, b = strip(load("default.local")), strip(load("default.remote"))
for report in (a, b):
    for k in ("checksums", "training_rows", "validation_rows", "testing_rows"):
        report["dataset"].pop(k, None)
    report.pop("metrics", None)
diff(a, b, "default", failures)
# Every row in the validation segment: every figure, the segments' checksums and the metrics included.
diff(strip(load("validation.local")), strip(load("validation.remote")), "validation", failures)
full = load("validation.local")
assert full["metrics"]["rows"] > 0 and full["drift"]["features"], "the comparison must cover metrics and drift"
if failures:
    print("the remote scan differs from the embedded one:")
    print("\n".join(failures[:60]))
    sys.exit(1)
print(f"remote and embedded reports agree ({full['dataset']['rows']} rows, checksum {full['dataset']['overall_checksum']})")
PY

expect_failure() {  # description, expected text in the error, command...
  local what="$1" text="$2"; shift 2
  local status=0
  rm -f "$work/fault.json"
  "$@" --json "$work/fault.json" --quiet > "$work/out.txt" 2> "$work/err.txt" || status=$?
  if [[ $status -ne 2 ]]; then echo "$what: exit status $status, expected 2"; cat "$work/err.txt"; exit 1; fi
  if [[ $(wc -l < "$work/err.txt") -ne 1 ]]; then echo "$what: expected one line on stderr:"; cat "$work/err.txt"; exit 1; fi
  if ! grep -q -- "$text" "$work/err.txt"; then echo "$what: expected '$text' in:"; cat "$work/err.txt"; exit 1; fi
  if grep -q "s3cr3t" "$work/err.txt"; then echo "$what: the token appears in the message"; exit 1; fi
  if [[ -e "$work/fault.json" ]]; then echo "$what: a report file was left"; exit 1; fi
  echo "$what: $(cat "$work/err.txt")"
}

closed_port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
expect_failure "unreachable server" "sc://127.0.0.1:$closed_port" \
  "$bin" scan "$work/current.csv" --label defaulted --remote "sc://127.0.0.1:$closed_port/;token=s3cr3t"
expect_failure "unreachable server (profile)" "sc://127.0.0.1:$closed_port" \
  "$bin" profile "$work/current.csv" --remote "sc://127.0.0.1:$closed_port"
expect_failure "condition Spark rejects" "UNRESOLVED_COLUMN" \
  "$bin" scan "$work/current.csv" --label defaulted --where "no_such_column > 3" --remote "$remote"
expect_failure "file the server cannot read" "PATH_NOT_FOUND" \
  "$bin" profile "$work/missing.csv" --remote "$remote"

# A server stopped while a scan runs: its own server (the shared one must live on).
python3 "$src/scripts/make_sample_data.py" --rows 200000 --out "$work" --file big.csv --seed 13 --no-regions
fault_server="$work/fault_server"
NORQ_TEST_SPARK_REMOTE='' "$src/scripts/spark_connect_server.sh" start "$fault_server" > /dev/null
fault_remote="$(cat "$fault_server/spark_connect.address")"
status=0
( "$bin" scan "$work/big.csv" --reference "$work/reference.csv" --label defaulted \
    --prediction predicted --remote "$fault_remote" --json "$work/fault.json" --quiet \
    > "$work/out.txt" 2> "$work/err.txt" ) &
scan_pid=$!
sleep 8
if ! kill -0 "$scan_pid" 2>/dev/null; then echo "the scan finished before the server could be stopped"; exit 1; fi
"$src/scripts/spark_connect_server.sh" stop "$fault_server"
fault_server=""
start=$SECONDS
wait "$scan_pid" || status=$?
if [[ $status -ne 2 ]]; then echo "server stopped mid-scan: exit status $status, expected 2"; cat "$work/err.txt"; exit 1; fi
if [[ $(wc -l < "$work/err.txt") -ne 1 ]]; then echo "server stopped mid-scan: expected one line:"; cat "$work/err.txt"; exit 1; fi
if [[ -e "$work/fault.json" ]]; then echo "server stopped mid-scan: a report file was left"; exit 1; fi
echo "server stopped mid-scan ($((SECONDS - start)) s after the stop): $(cat "$work/err.txt")"
