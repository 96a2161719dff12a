#!/usr/bin/env bash
# Checks the Python package as pip installs it, without compiling again: builds the wheel from the CMake build
# directory of scripts/build.sh (its objects are up to date), installs it into a fresh venv made as a user makes
# one (/usr/bin/python3 with the system's packages, where Debian's scikit-learn is), and runs the pytest suite
# against the installed module from outside the checkout.
#   scripts/check_wheel.sh      after scripts/build.sh (BUILD_DIR as there); run by CI after the tests
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="$(cd "${BUILD_DIR:-build}" && pwd)"
work="$build/wheel-check"
rm -rf "$work"
mkdir -p "$work"
# The build directory keeps its own options (tests and benchmarks on); only the module is built and installed.
echo "check_wheel: building the wheel from $build"
.venv/bin/python -m pip wheel . -q --no-build-isolation --no-deps -w "$work/dist" \
  --config-settings=build-dir="$build" \
  --config-settings=cmake.define.NORQ_BUILD_TESTS=ON --config-settings=cmake.define.NORQ_BUILD_BENCHMARKS=ON
echo "check_wheel: installing it into a fresh venv"
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check "$work"/dist/norq_spark-*.whl
cd "$work"
"$work/venv/bin/python" -c '
import os, norq_spark, pandas, hashlib
assert norq_spark.__file__.startswith(os.path.realpath("venv")), norq_spark.__file__
assert norq_spark.from_pandas(pandas.DataFrame({"x": [1, 2]})).count() == 2
assert os.path.exists(os.path.join(os.path.dirname(norq_spark.__file__), "norq_spark.pyi"))
print("check_wheel: imported", norq_spark.__file__)'
NORQ_TEST_INSTALLED=1 NORQ_BUILD_DIR="$build" "$work/venv/bin/python" -m pytest -q -p no:cacheprovider \
  "$root/python/tests" --ignore="$root/python/tests/test_remote.py"
