#!/usr/bin/env bash
# The program's link, run with lld's --verbose so that the linker itself says which archive
# member it loaded for which symbol ("Loaded ARCHIVE(MEMBER) for SYMBOL"): the map names a
# member but not its archive, and two archives may hold members of one name. The account goes
# to a file; lld's warnings and errors still reach the build's output.
#   record-link.sh ACCOUNT LINK-COMMAND...        (CMake's linker launcher for the program)
set -uo pipefail
account=${1:?usage: record-link.sh ACCOUNT LINK-COMMAND...}
shift
# clang adds every folder of LIBRARY_PATH to the link's library path: a machine's setting
# would decide which archive a -l name finds, so the link runs without it.
env -u LIBRARY_PATH "$@" -Wl,--verbose 2>"$account"
status=$?
if [ "$status" -ne 0 ]; then
  cat "$account" >&2
else
  grep -E 'warning:|error:' "$account" >&2 || true
fi
exit "$status"
