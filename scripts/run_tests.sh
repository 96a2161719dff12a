#!/usr/bin/env bash
# Sets up, builds and runs every test (unit, end-to-end and conformance against recorded Spark answers).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
cd "${BUILD_DIR:-build}"
ctest --output-on-failure -j2
