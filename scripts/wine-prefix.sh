#!/usr/bin/env bash
# Makes (once) the private Wine prefix that the tests run in: headless, with Wine's null
# graphics driver, so message boxes exist and other processes can read them; and with Wine's
# debugger off (AeDebug's Debugger empty), as on a machine where nobody debugs: a fault that
# no handler takes then ends or is swallowed as there, instead of waiting in winedbg, so a
# hang cannot hide what the program did.
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh PREFIX}
export WINEPREFIX=$prefix WINEDEBUG=-all
aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
# Both settings, as the wineserver wrote them out.
ready() {
  grep -q '"Graphics"="null"' "$prefix/user.reg" 2>/dev/null &&
    grep -A3 -F '[Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug]' "$prefix/system.reg" 2>/dev/null |
      grep -qx '"Debugger"=""'
}
if [ -f "$prefix/.brenhold-ready" ] && ready; then exit 0; fi
mkdir -p "$prefix"
wineboot -i >/dev/null 2>&1 || true
# The settings are read when Wine's desktop process (and a fault) starts, and reach the
# registry files only when the wineserver has written them out: wait for that, and try again
# if one was lost.
for attempt in 1 2 3; do
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
  wine reg add "$aedebug" /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1 || true
  wineserver -w
  if ready; then
    touch "$prefix/.brenhold-ready"
    exit 0
  fi
done
echo "could not set Wine's null graphics driver and switch its debugger off in $prefix" >&2
exit 1
