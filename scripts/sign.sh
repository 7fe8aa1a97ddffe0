#!/usr/bin/env bash
# Signs a built Brenhold.exe or the MSI package with your own code-signing certificate
# (Authenticode, SHA-256). The output's folder is made when missing.
#   scripts/sign.sh CERT.pem KEY.pem IN OUT [extra osslsigncode options, e.g. -t URL]
# A signed program's bytes differ from the build (certificate appended, checksum filled in);
# its Authenticode digest does not: scripts/authenticode-digest.py shows it for both.
set -euo pipefail
if [ $# -lt 4 ]; then
  echo "usage: scripts/sign.sh CERT.pem KEY.pem IN OUT [osslsigncode options]" >&2
  exit 2
fi
certificate=$1 key=$2 input=$3 output=$4
shift 4
mkdir -p "$(dirname "$output")"
osslsigncode sign -certs "$certificate" -key "$key" -h sha256 -n "Brenhold caller" "$@" \
  -in "$input" -out "$output" >/dev/null
echo "$output"
