#!/usr/bin/env bash
# Renders the HTML report of a scan of the sample data in headless Chromium and checks that the page loads
# without errors, carries every chart the JSON report promises (one per histogram, one per compared drift
# column, one for the fairness comparison), leads with the verdict, shows the figures right (integer codes
# one bar each, a missing bar, readable ticks, dates as dates) and fits a phone's width. Screenshots at
# desktop and phone widths are kept in SHOT_DIR when it is given. Skips (status 77) when Chromium is not
# installed.
#
#   render_report_test.sh NORQ_SPARK_BINARY SOURCE_DIR [SHOT_DIR]
set -euo pipefail
bin=$1
src=$2
shots=${3:-}
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
  --convert-dates --history "$work/history.sqlite" --json "$work/report.json" --html "$work/report.html" --quiet \
  --fail-psi-above 0.1 || [[ $? == 1 ]]

# The phone-width check: the report with a script appended that records what runs past the viewport (the
# report itself carries no script).
python3 - "$work" <<'PY'
import os, sys
work = sys.argv[1]
probe = """<script>
var w = innerWidth, bad = [];
document.querySelectorAll("svg,.card,h1,h2,p,section").forEach(function (e) {
  var r = e.getBoundingClientRect();
  if (r.right > w + 1 && !e.closest(".scroll")) bad.push(e.tagName + "." + e.className + " " + Math.round(r.right));
});
if (document.documentElement.scrollWidth > w + 1) bad.push("page " + document.documentElement.scrollWidth);
document.body.setAttribute("data-overflow", bad.join("; "));
</script></body>"""
page = open(os.path.join(work, "report.html"), encoding="utf-8").read()
open(os.path.join(work, "phone.html"), "w", encoding="utf-8").write(page.replace("</body>", probe))
PY
"$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=390,3000 \
  --virtual-time-budget=5000 --dump-dom "file://$work/phone.html" > "$work/phone_dom.html" 2> /dev/null
"$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=390,2400 \
  --screenshot="$work/report_phone.png" "file://$work/report.html" > /dev/null 2>&1

"$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1400,2000 \
  --virtual-time-budget=5000 --enable-logging=stderr --v=0 --dump-dom "file://$work/report.html" \
  > "$work/dom.html" 2> "$work/browser.log"
"$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1400,2000 \
  --screenshot="$work/report.png" "file://$work/report.html" > /dev/null 2>&1

python3 - "$work" "$shots" <<'PY'
import json, os, re, sys
work = sys.argv[1]
shots = sys.argv[2]
phone = open(os.path.join(work, "phone_dom.html"), encoding="utf-8").read()
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
for shot in ("report.png", "report_phone.png"):
    if os.path.getsize(os.path.join(work, shot)) < 10000:
        problems.append(f"the screenshot {shot} is (nearly) empty")
# The verdict leads the page, with the failed checks and their figures.
verdict = dom.find('id="verdict"')
if verdict < 0 or verdict > dom.find("<table"):
    problems.append("the verdict is not the first thing after the title")
elif f'class="status">{report["status"]}<' not in dom[verdict:verdict + 300]:
    problems.append(f"the verdict does not say {report['status']}")
if report["status"] not in ("passed", "warnings", "failed"):
    problems.append(f"status {report['status']!r}")
# The shifted amounts cross the PSI limit the scan is given: the page leads with the failure.
if report["status"] != "failed" or not report["thresholds_crossed"]:
    problems.append(f"status {report['status']} with {len(report['thresholds_crossed'])} limits crossed, failed expected")
if report["thresholds_crossed"]:
    if 'id="failed-checks"' not in dom:
        problems.append("thresholds were crossed but no failed check is listed")
    for t in report["thresholds_crossed"]:
        if set(t) != {"check", "feature", "value", "limit"}:
            problems.append(f"threshold crossed as {t!r}")
for f in report["drift"]["features"]:
    if "error" not in f and f["drifted"] != (f["verdict"] == "drifted"):
        problems.append(f"drift of {f['feature']}: drifted {f['drifted']} with verdict {f['verdict']}")
roles = {f["role"] for f in report["drift"]["features"]}
if not {"target", "protected", "date"} <= roles:
    problems.append(f"drift covers the roles {sorted(roles)} only")
# Drifted columns first in the drift table.
rank = {"drifted": 0, "moderate": 1, "stable": 2}
rows = re.findall(r'<tr class="(drifted|moderate|stable)">', dom)
if rows != sorted(rows, key=rank.get):
    problems.append("drift rows are not ordered by verdict")
if "0.000000" in dom:
    problems.append("a p-value printed as 0.000000")
# Integer codes one bar each, labelled with the code; a missing bar where values are missing.
term = report["histograms"]["term_months"]
if term["labels"] != ["12", "24", "36", "48", "60"]:
    problems.append(f"term_months labelled {term['labels']}")
years = report["histograms"]["employment_years"]
if years["labels"][:2] != ["0", "1"]:
    problems.append(f"employment_years labelled {years['labels'][:4]}")
missing = [name for name, h in report["histograms"].items() if h["missing"] > 0]
if missing and dom.count("<title>missing:") < len(missing):
    problems.append(f"{len(missing)} columns have missing values but the missing bars are not drawn")
# Readable figures: several y ticks per chart, no exponent, dates as dates.
if re.search(r'class="axis tick"[^>]*>[^<]*e\+', dom):
    problems.append("a y tick in exponent notation")
if dom.count('class="axis tick"') < 3 * charts:
    problems.append("fewer than three y ticks per chart")
if re.search(r"1\.6\d*e\+09", dom):
    problems.append("dates shown as epoch seconds")
if not re.search(r"<td>2022-\d\d-\d\d</td>", dom):
    problems.append("the date column's range is not shown as dates")
for p in report["profile"]:
    if p["nan_values"] > 0 and p["type"] == "Continuous" and p["maximum"] is None:
        problems.append(f"{p['feature']}: no maximum beside its NaN values")
if not any(p["feature"] == "gender" for p in report["profile"]):
    problems.append("the protected column is not profiled")
# Footer with the version and the time of the report.
if report["generated"] not in dom or report["tool_version"] not in dom:
    problems.append("the footer lacks the generation time or the version")
m = re.search(r'data-overflow="([^"]*)"', phone)
if not m:
    problems.append("the phone-width check did not run")
elif m.group(1):
    problems.append("at 390 px wide, past the screen: " + m.group(1)[:300])
if shots:
    import shutil
    os.makedirs(shots, exist_ok=True)
    for shot in ("report.png", "report_phone.png"):
        shutil.copy(os.path.join(work, shot), os.path.join(shots, shot))
if problems:
    print("\n".join(problems))
    sys.exit(1)
print(f"report rendered: {charts} charts, {bars} bars")
PY
