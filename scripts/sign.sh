#!/usr/bin/env bash
# Signs a built Brenhold.exe or the MSI package with your own code-signing certificate
# (Authenticode, SHA-256). The output's folder is made when missing.
#   scripts/sign.sh CERT.pem KEY IN OUT [extra osslsigncode options, e.g. -ts URL]
# KEY is a PEM file, or a key in a hardware module named by a pkcs11: URI (RFC 7512; its PIN
# as pin-source=file:PATH), with BRENHOLD_PKCS11_MODULE naming the module's PKCS#11 library.
# osslsigncode then reaches the key through OpenSSL's "pkcs11" engine (Debian's
# libengine-pkcs11-openssl), loaded by its name: osslsigncode 2.5, Debian 12's, fails to load
# it by its path (-pkcs11engine).
# A signed program's bytes differ from the build (certificate appended, checksum filled in);
# its Authenticode digest does not: scripts/authenticode-digest.py shows it for both.
set -euo pipefail
if [ $# -lt 4 ]; then
  echo "usage: scripts/sign.sh CERT.pem KEY IN OUT [osslsigncode options]" >&2
  exit 2
fi
certificate=$1 key=$2 input=$3 output=$4
shift 4
module=()
if [[ $key == pkcs11:* ]]; then
  [ -n "${BRENHOLD_PKCS11_MODULE:-}" ] || {
    echo "sign.sh: a pkcs11: key needs BRENHOLD_PKCS11_MODULE, the module's library (.so)" >&2
    exit 2
  }
  module=(-pkcs11module "$BRENHOLD_PKCS11_MODULE")
fi
mkdir -p "$(dirname "$output")"
osslsigncode sign "${module[@]}" -certs "$certificate" -key "$key" -h sha256 -n "Brenhold caller" "$@" \
  -in "$input" -out "$output" >/dev/null
echo "$output"
