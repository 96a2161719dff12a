#!/usr/bin/env bash
# Sets up, builds and runs every test (unit, end-to-end and conformance against recorded Spark answers, and
# the Spark Connect backend against a real local Spark Connect server).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
scripts/setup.sh
scripts/build.sh
build="$(cd "${BUILD_DIR:-build}" && pwd)"
# One Spark Connect server for the whole run (the ctest fixture then uses it), stopped when this script
# ends, whether the tests pass, fail or are interrupted.
server_dir="$build/spark_connect_run"
# The stop must not change the run's status (the tests' result is what counts), and it runs from any folder.
trap 'status=$?; "$root/scripts/spark_connect_server.sh" stop "$server_dir" || true; exit $status' EXIT
trap 'exit 130' INT TERM
"$root/scripts/spark_connect_server.sh" start "$server_dir"
export NORQ_TEST_SPARK_REMOTE="$(cat "$server_dir/spark_connect.address")"
cd "$build"
ctest --output-on-failure -j2
