#!/usr/bin/env bash
# Configures and builds the product and the test programs into build/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset windows >/dev/null
cmake --build --preset windows
