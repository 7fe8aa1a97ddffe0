#!/usr/bin/env bash
# Builds the product and the benchmark programs, then runs the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null
cmake --build --preset windows --target Floor Empty >/dev/null
scripts/wine-prefix.sh "$PWD/build/wineprefix"
python3 bench/run.py "$@"
