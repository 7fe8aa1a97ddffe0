#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 or 13 (run as root). Installs only
# what is missing, so a second run costs nothing. With --tests, also what only the tests use:
# SoftHSM2, libfaketime, Node.js and npm, and with them the SBOM validator and the signed
# provenance's verifier (from tests/sbom's package.json and lock file, into build/node).
# Package names are those both releases have: the build runs git (a release is built from its
# commit, and dated by it), OpenSSL's PKCS#11 engine signs with a key in a hardware module, and
# clang's runtime comes under its unversioned name (clang 14's on Debian 12, clang 19's on
# Debian 13).
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(
  cmake make clang lld libclang-rt-dev git ca-certificates
  mingw-w64-x86-64-dev gcc-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
  wine wine64
  googletest libgtest-dev g++
  python3 python3-pefile python3-olefile
  wixl msitools
  locales osslsigncode openssl libengine-pkcs11-openssl
  xvfb xauth imagemagick
)
if [ "${1:-}" = --tests ]; then
  # A PKCS#11 token for the signed release (SoftHSM2), and a clock three days on to check it
  # after its certificate has expired (libfaketime).
  packages+=(softhsm2 faketime)
  # Debian's own Node.js (18 on Debian 12, 20 on 13) and npm (9) do; a Node.js from elsewhere that brings its
  # own npm does too, and Debian's npm package would conflict with it.
  command -v npm >/dev/null || packages+=(nodejs npm)
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Wine takes the ANSI code page from the Unix locale: 932 (ja_JP), 1251 (ru_RU), 65001 (hi_IN).
for locale in ja_JP ru_RU hi_IN; do
  locale -a | grep -qx "$locale.utf8" || localedef -i "$locale" -f UTF-8 "$locale.UTF-8"
done

if [ "${1:-}" = --tests ]; then
  # The exact versions of the lock file, installed only when they changed. The validator's
  # optional XML half needs a native build and is not used.
  if ! cmp -s tests/sbom/package-lock.json build/node/package-lock.json || [ ! -d build/node/node_modules ]; then
    mkdir -p build/node
    cp tests/sbom/package.json tests/sbom/package-lock.json build/node/
    (cd build/node && npm ci --omit=optional --no-audit --no-fund --loglevel=error)
  fi
fi
