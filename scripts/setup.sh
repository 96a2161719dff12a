#!/usr/bin/env bash
# Installs everything the build, the tests and the tools need, from Debian's packages and PyPI.
# Idempotent: packages already present are left alone. Run as root (or with sudo available).
#   scripts/setup.sh            build + test dependencies, and the Python tools (pyspark, duckdb, ...)
#   scripts/setup.sh --no-python   skip the PyPI tools (the C++ build and tests do not need them)
set -euo pipefail

want_python=1
for arg in "$@"; do
  case "$arg" in
    --no-python) want_python=0 ;;
    *) echo "setup.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

DEB_PACKAGES=(
  build-essential g++ cmake ninja-build pkg-config
  libfmt-dev libcli11-dev nlohmann-json3-dev libxxhash-dev libtbb-dev libhowardhinnant-date-dev
  libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev
  clang-format python3 tzdata
  chromium  # renders the HTML report in its test
  python3-dev pybind11-dev python3-sklearn python3-pandas python3-numpy python3-joblib  # models run embedded
)
# Spark (the reference engine used by the conformance and benchmark scripts) needs a Java runtime.
if [ "$want_python" = 1 ] && ! command -v java >/dev/null 2>&1; then
  DEB_PACKAGES+=(default-jre-headless python3-pip)
fi

missing=()
for p in "${DEB_PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
else
  echo "setup: Debian packages present"
fi

if [ "$want_python" = 1 ]; then
  PY_PACKAGES=(pyspark==4.0.1 duckdb pandas pyarrow scipy)
  if python3 -c 'import pyspark, duckdb, pandas, pyarrow, scipy' 2>/dev/null; then
    echo "setup: Python tools present"
  else
    echo "setup: installing Python tools: ${PY_PACKAGES[*]}"
    python3 -m pip install -q "${PY_PACKAGES[@]}"
  fi
fi
