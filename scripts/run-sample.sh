#!/usr/bin/env bash
# Everything from a fresh Debian 12 machine: install, build, then print a sample file
# through the stand-in print library under Wine, and recycle it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
sample=$PWD/build/sample
prefix=$PWD/build/wineprefix
scripts/wine-prefix.sh "$prefix"
rm -rf "$sample" && mkdir -p "$sample/work" "$sample/trash"
cp build/bin/Brenhold.exe build/testbin/tamsel/default/Tamsel.dll "$sample/"
cp sample/hello.txt "$sample/work/"

echo "running: Brenhold.exe -RECYCLE hello.txt   (in $sample/work)"
status=0
(cd "$sample/work" && WINEPREFIX="$prefix" WINEDEBUG=-all XDG_DATA_HOME="$sample/trash" \
   timeout 60 wine ../Brenhold.exe -RECYCLE hello.txt </dev/null >/dev/null 2>&1) || status=$?
echo "exit status: $status"
echo "printed (the stand-in spools to $sample/spool):"
sed 's/^/  | /' "$sample/spool/hello.txt"
echo "input file still in work/: $([ -e "$sample/work/hello.txt" ] && echo yes || echo no)"
echo "in the trash: $(ls "$sample/trash/Trash/files" 2>/dev/null | tr '\n' ' ')"
