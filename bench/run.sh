#!/usr/bin/env bash
# Builds the product and the benchmark programs, then runs the benchmark and appends its
# output to bench/results.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null
cmake --build --preset windows --target Floor Empty >/dev/null
scripts/wine-prefix.sh "$PWD/build/wineprefix"
# Each run's whole output is kept, after the earlier ones: the figures cited stand there.
{ echo; python3 bench/run.py "$@"; } | tee -a bench/results.txt
