#!/usr/bin/env bash
# Builds the release packages from a clean tree, without the tests, and prints the path and
# SHA-256 of each, the ZIP first. With a code-signing certificate and its key (PEM files,
# then any further osslsigncode options such as -t URL), the program is signed before it is
# packed and the MSI once it is built; the SBOM and the checksums then name the signed bytes:
#   scripts/release.sh [CERT.pem KEY.pem [osslsigncode options]]
# Unsigned, the same commit gives the same bytes in any folder, at any time, with the same
# toolchain (BUILD-INFO.txt in both packages names it):
#   scripts/release.sh            build-release/Brenhold-<version>-win64.zip and .msi,
#                                 build-release/Brenhold-<version>.cdx.json (the SBOM),
#                                 build-release/SHA256SUMS.txt for all three
# Dates in the package come from SOURCE_DATE_EPOCH, else from the commit's time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
export SOURCE_DATE_EPOCH
signing=()
if [ $# -ge 2 ]; then
  options="${*:3}"
  signing=(-DBRENHOLD_SIGN_CERT="$(realpath "$1")" -DBRENHOLD_SIGN_KEY="$(realpath "$2")"
           -DBRENHOLD_SIGN_OPTIONS="${options// /;}")
fi
rm -rf build-release
cmake --preset release "${signing[@]}" >/dev/null
cmake --build --preset release >/dev/null
python3 scripts/make-sbom.py build-release >/dev/null
cd build-release
sha256sum Brenhold-*-win64.zip Brenhold-*-win64.msi Brenhold-*.cdx.json >SHA256SUMS.txt
for package in Brenhold-*-win64.zip Brenhold-*-win64.msi; do
  echo "$PWD/$package"
  sha256sum "$package" | cut -d' ' -f1
done
