#!/usr/bin/env bash
# Makes (once) the private Wine prefix that the tests run in: headless, with Wine's null
# graphics driver, so message boxes exist and other processes can read them.
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh PREFIX}
export WINEPREFIX=$prefix WINEDEBUG=-all
if [ -f "$prefix/.brenhold-ready" ]; then exit 0; fi
mkdir -p "$prefix"
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
# The driver setting is read when Wine's desktop process starts.
wineserver -k || true
touch "$prefix/.brenhold-ready"
