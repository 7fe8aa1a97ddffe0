#!/usr/bin/env bash
# Builds the release packages from a clean tree, without the tests, and prints the path and
# SHA-256 of each, the ZIP first. With a code-signing certificate and its key (then any
# further osslsigncode options such as -ts URL), the program is signed before it is
# packed and the MSI once it is built; the SBOM and the checksums then name the signed bytes:
#   scripts/release.sh [CERT.pem KEY [osslsigncode options]]
# KEY is a PEM file or a pkcs11: URI (a key in a hardware module, scripts/sign.sh).
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
#                                 in .intoto.jsonl, the certificate file beside it as
#                                 .signer.pem; with -ts URL also a Sigstore bundle with the
#                                 authority's RFC 3161 token, .sigstore.json)
# Before anything is built, a release is refused, with what to change, when the tree differs
# from its commit (a developer's build of any tree is scripts/build.sh), when a tag on the
# commit names another version, when the version is not four numbers, when SOURCE_DATE_EPOCH
# is not the commit's time, when the version's entry in CHANGELOG.md is missing, empty or not
# dated on the release's day (scripts/changelog.py), or when publisher.json is not fit to ship
# (scripts/publisher.py: fewer than five years of support, among others).
#   scripts/release.sh --check    only those checks
# In a checkout the release is built from the commit's own tree, `git archive` of HEAD
# (scripts/export-commit.py), so nothing outside the commit enters it; only this script and
# that one run from the working tree. Its date is the commit's time (SOURCE_DATE_EPOCH).
# A copy without .git names its commit in BRENHOLD_COMMIT and the commit's time in
# SOURCE_DATE_EPOCH, and is built as it is: nothing here can prove the copy is that commit.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
refuse() { echo "release.sh: not a release: $*" >&2; exit 1; }
# The certificate and key, files named from the top of the tree, or the key a pkcs11: URI in
# the module BRENHOLD_PKCS11_MODULE names (scripts/sign.sh); the provenance is signed with them
# too.
if [ $# -ge 2 ] && [ "$1" != --check ]; then
  BRENHOLD_SIGN_CERT=$(realpath "$1") BRENHOLD_SIGN_KEY=$2
  if [[ $BRENHOLD_SIGN_KEY == pkcs11:* ]]; then
    [ -f "${BRENHOLD_PKCS11_MODULE:-}" ] ||
      refuse "the key is a pkcs11: URI: name its module's library in BRENHOLD_PKCS11_MODULE (such as /usr/lib/softhsm/libsofthsm2.so)"
  else
    BRENHOLD_SIGN_KEY=$(realpath "$2")
  fi
  export BRENHOLD_SIGN_CERT BRENHOLD_SIGN_KEY BRENHOLD_PKCS11_MODULE
  options="${*:3}" options="${options// /;}"
  # The RFC 3161 authority osslsigncode asks (-ts URL) also stamps the provenance's signature.
  unset BRENHOLD_TSA_URL
  arguments=("${@:3}")
  for ((i = 0; i + 1 < ${#arguments[@]}; i++)); do
    [ "${arguments[i]}" != -ts ] || { BRENHOLD_TSA_URL=${arguments[i + 1]}; export BRENHOLD_TSA_URL; break; }
  done
  [ -n "${BRENHOLD_TSA_URL:-}" ] ||
    echo "release.sh: no RFC 3161 time-stamping authority (-ts URL): the provenance's signature carries no time, and no .sigstore.json is written" >&2
else
  unset BRENHOLD_SIGN_CERT BRENHOLD_SIGN_KEY BRENHOLD_TSA_URL
fi
# The commit a release names: the checkout's HEAD, and only when the tree holds exactly that
# commit; for a copy of a checkout without its .git, BRENHOLD_COMMIT.
if head=$(git rev-parse --verify -q HEAD 2>/dev/null); then
  [ -z "${BRENHOLD_COMMIT:-}" ] || [ "$BRENHOLD_COMMIT" = "$head" ] ||
    refuse "BRENHOLD_COMMIT names $BRENHOLD_COMMIT, the checkout is at $head: unset it"
  changed=$(git status --porcelain)
  [ -z "$changed" ] ||
    refuse "the tree differs from its commit (git status):"$'\n'"$changed"$'\n'"commit or stash the changes (or remove the new files), then release"
  committed=$(git log -1 --format=%ct HEAD)
  [ -z "${SOURCE_DATE_EPOCH:-}" ] || [ "$SOURCE_DATE_EPOCH" = "$committed" ] ||
    refuse "SOURCE_DATE_EPOCH is $SOURCE_DATE_EPOCH, the commit's time is $committed: a release is dated by its commit, unset it"
  SOURCE_DATE_EPOCH=$committed
  source=$(mktemp -d "${TMPDIR:-/tmp}/brenhold-release-XXXXXX")
  trap 'rm -rf "$source"' EXIT
  python3 scripts/export-commit.py . "$head" "$source" >&2 ||
    refuse "the commit's own tree could not be exported (above)"
  BRENHOLD_COMMIT=$head BRENHOLD_TREE=git-archive
  export BRENHOLD_COMMIT BRENHOLD_TREE
  cd "$source"
elif [ -n "${BRENHOLD_COMMIT:-}" ]; then
  [[ $BRENHOLD_COMMIT =~ ^[0-9a-f]{40}$ ]] ||
    refuse "BRENHOLD_COMMIT is \"$BRENHOLD_COMMIT\": name the commit the tree was copied from, all 40 hex digits"
  [[ ${SOURCE_DATE_EPOCH:-} =~ ^[0-9]+$ ]] ||
    refuse "a copy without .git names its commit's time in SOURCE_DATE_EPOCH (git log -1 --format=%ct COMMIT)"
  source=$PWD BRENHOLD_TREE=copy
  export BRENHOLD_TREE
else
  refuse "no git checkout here: release from a clone, or set BRENHOLD_COMMIT to the commit this tree was copied from"
fi
export SOURCE_DATE_EPOCH
version=$(sed -n 's/^project(Brenhold VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] ||
  refuse "the version is \"$version\": give the project() line of CMakeLists.txt four numbers, such as 1.2.0.0"
if [ "$source" != "$checkout" ]; then
  for tag in $(git -C "$checkout" tag --points-at HEAD); do
    [[ ! $tag =~ ^v?[0-9] ]] || [ "$tag" = "v$version" ] ||
      refuse "the tag $tag on the commit names another version than $version: release the version it names, or remove the tag"
  done
fi
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
if [ -n "${BRENHOLD_SIGN_CERT:-}" ]; then
  signing=(-DBRENHOLD_SIGN_CERT="$BRENHOLD_SIGN_CERT" -DBRENHOLD_SIGN_KEY="$BRENHOLD_SIGN_KEY"
           -DBRENHOLD_PKCS11_MODULE="${BRENHOLD_PKCS11_MODULE:-}" -DBRENHOLD_SIGN_OPTIONS="$options")
fi
rm -rf build-release "$checkout/build-release"
cmake --preset release "${signing[@]}" >/dev/null
cmake --build --preset release >/dev/null
# The release lands in the checkout, whatever tree it was built from.
[ "$source" = "$checkout" ] || mv build-release "$checkout/build-release"
# The Python the build uses (the preset's), with pefile and olefile.
python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$checkout/build-release/CMakeCache.txt")
"$python" scripts/make-sbom.py "$checkout/build-release" >/dev/null
"$python" scripts/changelog.py "$version" CHANGELOG.md "$checkout/build-release/Brenhold-$version-notes.md"
cd "$checkout/build-release"
outputs=("Brenhold-$version-win64.zip" "Brenhold-$version-win64.msi" "Brenhold-$version.cdx.json"
         "Brenhold-$version-notes.md")
sha256sum "${outputs[@]}" >SHA256SUMS.txt
"$python" "$source/scripts/make-buildinfo.py" . "$python" "${outputs[@]:0:2}" BUILD-INFO.txt >/dev/null
"$python" "$source/scripts/make-provenance.py" . "${outputs[@]}" SHA256SUMS.txt >/dev/null
for package in Brenhold-*-win64.zip Brenhold-*-win64.msi; do
  echo "$PWD/$package"
  sha256sum "$package" | cut -d' ' -f1
done
