#!/usr/bin/env bash
# Installs everything the build, the tests and the tools need, from Debian's packages and PyPI.
# Idempotent: packages already present are left alone. Run as root (or with sudo available).
#   scripts/setup.sh    build + test dependencies, and the project's Python environment .venv/
#
# .venv/ is made from Debian's /usr/bin/python3 with its system packages visible (scikit-learn, numpy, joblib come
# from Debian, so models pickled by the embedded interpreter load in Spark's Python workers too). It holds, from
# PyPI: pyarrow (whose wheel ships the Arrow C++ libraries and headers the build links against), pyspark (the
# reference engine and the Spark Connect server the tests start), pandas 2 (Spark's Python workers need it),
# duckdb (benchmarks). numpy stays below 2: Debian's scikit-learn is built against numpy 1.
set -euo pipefail

for arg in "$@"; do
  echo "setup.sh: unknown option $arg" >&2; exit 2
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
  libgrpc++-dev libprotobuf-dev protobuf-compiler protobuf-compiler-grpc unzip  # Spark Connect client
  nginx-light openssl  # the TLS test: a TLS-terminating gRPC proxy with a certificate made by the test
  python3-venv python3-pip python3-scipy python3-pytest  # the Python package's tests
)
# Spark (the reference engine and the Spark Connect server of the tests) needs a Java runtime.
if ! command -v java >/dev/null 2>&1; then
  DEB_PACKAGES+=(default-jre-headless)
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

{
  cd "$(dirname "$0")/.."
  VENV=.venv
  # pyarrow 21 and later need numpy 2; bottleneck and numexpr at the versions pandas 2 expects.
  # scikit-build-core builds the Python package (pip install .).
  PY_PACKAGES=("pyspark[connect]==4.0.1" "pyarrow>=17,<21" "pandas>=2,<2.3" "numpy<2" "bottleneck>=1.3.6" "numexpr>=2.8.4" duckdb
               "scikit-build-core>=1.0")
  if [ ! -x "$VENV/bin/python" ]; then
    echo "setup: creating $VENV from /usr/bin/python3"
    /usr/bin/python3 -m venv --system-site-packages "$VENV"
  fi
  if "$VENV/bin/python" -c 'import pyspark, pyarrow, pandas, duckdb, scipy, sklearn, grpc, bottleneck, scikit_build_core
import sys; sys.exit(0 if pyspark.__version__ == "4.0.1" and int(pandas.__version__.split(".")[0]) >= 2 else 1)' 2>/dev/null; then
    echo "setup: Python environment present ($VENV)"
  else
    echo "setup: installing into $VENV: ${PY_PACKAGES[*]}"
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check "${PY_PACKAGES[@]}"
  fi
  # Arrow's wheel ships versioned libraries only; the build links against the unversioned names.
  "$VENV/bin/python" -c 'import pyarrow; pyarrow.create_library_symlinks()'
}
