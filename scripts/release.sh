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
#                                 build-release/Brenhold-<version>-notes.md (its CHANGELOG.md entry),
#                                 build-release/SHA256SUMS.txt for all four,
#                                 build-release/Brenhold-<version>.buildinfo (the whole build
#                                 environment: BUILD-INFO.txt names only what shapes the bytes),
#                                 build-release/Brenhold-<version>.intoto.json (the provenance of
#                                 all five; with the certificate also signed, a DSSE envelope
#                                 in .intoto.jsonl, the certificate beside it as .signer.pem)
# Before anything is built, a release is refused, with what to change, when the tree differs
# from its commit (a developer's build of any tree is scripts/build.sh), when the version's
# entry in CHANGELOG.md is missing, empty or not dated on the release's day
# (scripts/changelog.py), or when publisher.json is not fit to ship (scripts/publisher.py:
# fewer than five years of support, among others).
#   scripts/release.sh --check    only those checks
# Dates in the package come from SOURCE_DATE_EPOCH, else from the commit's time.
set -euo pipefail
cd "$(dirname "$0")/.."
refuse() { echo "release.sh: not a release: $*" >&2; exit 1; }
# The commit a release names: the checkout's HEAD, and only when the tree holds exactly that
# commit; for a copy of a checkout without its .git, BRENHOLD_COMMIT.
if head=$(git rev-parse --verify -q HEAD 2>/dev/null); then
  [ -z "${BRENHOLD_COMMIT:-}" ] || [ "$BRENHOLD_COMMIT" = "$head" ] ||
    refuse "BRENHOLD_COMMIT names $BRENHOLD_COMMIT, the checkout is at $head: unset it"
  changed=$(git status --porcelain)
  [ -z "$changed" ] ||
    refuse "the tree differs from its commit (git status):"$'\n'"$changed"$'\n'"commit or stash the changes (or remove the new files), then release"
elif [ -n "${BRENHOLD_COMMIT:-}" ]; then
  [[ $BRENHOLD_COMMIT =~ ^[0-9a-f]{40}$ ]] ||
    refuse "BRENHOLD_COMMIT is \"$BRENHOLD_COMMIT\": name the commit the tree was copied from, all 40 hex digits"
else
  refuse "no git checkout here: release from a clone, or set BRENHOLD_COMMIT to the commit this tree was copied from"
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
export SOURCE_DATE_EPOCH
version=$(sed -n 's/^project(Brenhold VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
python3 scripts/changelog.py "$version" CHANGELOG.md >/dev/null
python3 scripts/publisher.py build-info . >/dev/null
if [ "${1:-}" = --check ]; then
  echo "release.sh: $version can be released from this tree"
  exit 0
fi
scripts/setup.sh
# clang reads these search paths from the environment: a release is built from its inputs only
# (scripts/record-link.sh keeps LIBRARY_PATH from the link of any build).
unset LIBRARY_PATH CPATH C_INCLUDE_PATH CPLUS_INCLUDE_PATH
signing=()
if [ $# -ge 2 ]; then
  options="${*:3}"
  BRENHOLD_SIGN_CERT=$(realpath "$1") BRENHOLD_SIGN_KEY=$(realpath "$2")
  export BRENHOLD_SIGN_CERT BRENHOLD_SIGN_KEY  # the provenance is signed with them too
  signing=(-DBRENHOLD_SIGN_CERT="$BRENHOLD_SIGN_CERT" -DBRENHOLD_SIGN_KEY="$BRENHOLD_SIGN_KEY"
           -DBRENHOLD_SIGN_OPTIONS="${options// /;}")
else
  unset BRENHOLD_SIGN_CERT BRENHOLD_SIGN_KEY
fi
rm -rf build-release
cmake --preset release "${signing[@]}" >/dev/null
cmake --build --preset release >/dev/null
# The Python the build uses (the preset's), with pefile and olefile.
python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' build-release/CMakeCache.txt)
"$python" scripts/make-sbom.py build-release >/dev/null
"$python" scripts/changelog.py "$version" CHANGELOG.md "build-release/Brenhold-$version-notes.md"
cd build-release
outputs=("Brenhold-$version-win64.zip" "Brenhold-$version-win64.msi" "Brenhold-$version.cdx.json"
         "Brenhold-$version-notes.md")
sha256sum "${outputs[@]}" >SHA256SUMS.txt
"$python" ../scripts/make-buildinfo.py . "$python" "${outputs[@]:0:2}" BUILD-INFO.txt >/dev/null
"$python" ../scripts/make-provenance.py . "${outputs[@]}" SHA256SUMS.txt >/dev/null
for package in Brenhold-*-win64.zip Brenhold-*-win64.msi; do
  echo "$PWD/$package"
  sha256sum "$package" | cut -d' ' -f1
done
