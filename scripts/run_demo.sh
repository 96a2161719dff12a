#!/usr/bin/env bash
# The main job on sample data: sets up, builds, and runs queries over the sample lending tables.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
exec scripts/demo.sh
