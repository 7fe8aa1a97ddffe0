#!/usr/bin/env bash
# Everything from a fresh Debian 12 machine: install, build, run every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests
scripts/build.sh
ctest --preset windows "$@"
