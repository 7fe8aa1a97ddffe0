#!/usr/bin/env bash
# Makes (once) the private Wine prefix that the tests run in: headless, with Wine's null
# graphics driver, so message boxes exist and other processes can read them.
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh PREFIX}
export WINEPREFIX=$prefix WINEDEBUG=-all
if [ -f "$prefix/.brenhold-ready" ]; then exit 0; fi
mkdir -p "$prefix"
wineboot -i >/dev/null 2>&1 || true
# The setting is read when Wine's desktop process starts, and reaches user.reg only when
# the wineserver has written it out: wait for that, and try again if it was lost.
for attempt in 1 2 3; do
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
  wineserver -w
  if grep -q '"Graphics"="null"' "$prefix/user.reg"; then
    touch "$prefix/.brenhold-ready"
    exit 0
  fi
done
echo "could not set Wine's null graphics driver in $prefix" >&2
exit 1
