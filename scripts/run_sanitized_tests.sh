#!/usr/bin/env bash
# Builds with AddressSanitizer and UndefinedBehaviorSanitizer (float-cast-overflow included) into
# build-asan/ and runs the whole test suite and the bad-input catalogue there; any report fails the run.
#   scripts/run_sanitized_tests.sh [ctest arguments, e.g. -R bad_input_catalogue]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${ASAN_BUILD_DIR:-build-asan}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORQ_SANITIZE=ON -DNORQ_BUILD_BENCHMARKS=OFF \
  ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER}
ninja -C "$BUILD"
# halt_on_error: a report ends the program with a failure the tests see; the embedded Python interpreter of
# the model tests is never finalised, so its memory is not reported as leaked (spark_tests suppresses that).
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
cd "$BUILD"
ctest --output-on-failure -j2 "$@"
