#!/usr/bin/env bash
# Renders the HTML report of a scan of the sample data in headless Chromium and checks that the page loads
# without errors and carries every chart the JSON report promises (one per histogram, one per compared
# drift feature, one for the fairness comparison). Skips (status 77) when Chromium is not installed.
#
#   render_report_test.sh NORQ_SPARK_BINARY SOURCE_DIR
set -euo pipefail
bin=$1
src=$2
browser=$(command -v chromium || command -v chromium-browser || true)
if [[ -z "$browser" ]]; then
  echo "chromium not installed: skipping" >&2
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 "$src/scripts/make_sample_data.py" --rows 3000 --out "$work" --file current.csv --drift 0.6 --seed 7 --no-regions
"$bin" scan "$work/current.csv" --reference "$src/data/sample/loans.csv" --label defaulted --prediction predicted \
  --protected gender --privileged M --unprivileged F --id loan_id,applicant_id --date application_date \
  --convert-dates --history "$work/history.sqlite" --json "$work/report.json" --html "$work/report.html" --quiet

"$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1400,2000 \
  --virtual-time-budget=5000 --enable-logging=stderr --v=0 --dump-dom "file://$work/report.html" \
  > "$work/dom.html" 2> "$work/browser.log"
"$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1400,2000 \
  --screenshot="$work/report.png" "file://$work/report.html" > /dev/null 2>&1

python3 - "$work" <<'PY'
import json, os, re, sys
work = sys.argv[1]
report = json.load(open(os.path.join(work, "report.json")))
dom = open(os.path.join(work, "dom.html"), encoding="utf-8").read()
log = open(os.path.join(work, "browser.log"), encoding="utf-8", errors="replace").read()
problems = []
# Page errors: uncaught exceptions, failed resource loads, console errors from the page itself.
for line in log.splitlines():
    if "CONSOLE" in line or "Uncaught" in line or "net::ERR" in line:
        problems.append("browser: " + line.strip())
expected = len(report["histograms"]) + sum(1 for f in report["drift"]["features"] if "error" not in f)
expected += 1 if report["metrics"]["fairness"] else 0
charts = len(re.findall(r"<svg\b", dom))
if charts != expected:
    problems.append(f"{charts} charts rendered, {expected} expected")
bars = len(re.findall(r"<rect\b", dom))
if bars < expected:
    problems.append(f"only {bars} bars in {charts} charts")
for section in ("checksums", "profile", "histograms", "quality", "metrics", "fairness", "drift"):
    if f'id="{section}"' not in dom:
        problems.append(f"section {section} missing")
if report["dataset"]["overall_checksum"] not in dom:
    problems.append("the overall checksum is not shown")
if os.path.getsize(os.path.join(work, "report.png")) < 10000:
    problems.append("the screenshot is (nearly) empty")
if problems:
    print("\n".join(problems))
    sys.exit(1)
print(f"report rendered: {charts} charts, {bars} bars")
PY
