#!/usr/bin/env bash
# Builds the release package from a clean tree, without the tests, and prints its path and
# SHA-256. The same commit gives the same bytes in any folder, at any time:
#   scripts/release.sh            build-release/Brenhold-<version>-win64.zip
# Dates in the package come from SOURCE_DATE_EPOCH, else from the commit's time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
export SOURCE_DATE_EPOCH
rm -rf build-release
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
package=$(ls "$PWD"/build-release/Brenhold-*-win64.zip)
echo "$package"
sha256sum "$package" | cut -d' ' -f1
