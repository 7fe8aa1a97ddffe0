#!/usr/bin/env bash
# Prints what a release was made from, by whom and with what: the commit; the system it was
# made on; the publisher's facts from publisher.json with the end of support
# (scripts/publisher.py); the versions the
# tools report of themselves (the compiler, linker, resource and message compilers, CMake,
# Python with its zipfile over zlib, wixl, olefile and pefile); and, one "package" line each,
# the exact Debian version (with its revision) of every package whose files the build runs or
# reads (scripts/build-packages.py). Two builds of one commit give the same bytes when these
# are the same.
#   scripts/build-info.sh VERSION PYTHON SOURCE-DIR
# The commit is BRENHOLD_COMMIT when set (a copy of a checkout without its .git), else the
# source folder's HEAD, marked "+changes" when the tree differs from it.
set -euo pipefail
version=${1:?usage: build-info.sh VERSION PYTHON SOURCE-DIR}
python=${2:?usage: build-info.sh VERSION PYTHON SOURCE-DIR}
source_dir=${3:?usage: build-info.sh VERSION PYTHON SOURCE-DIR}
first_line() { "$@" 2>/dev/null | head -n 1 || echo unknown; }
commit() {
  if [ -n "${BRENHOLD_COMMIT:-}" ]; then echo "$BRENHOLD_COMMIT"; return; fi
  local head
  head=$(git -C "$source_dir" rev-parse HEAD 2>/dev/null) || { echo unknown; return; }
  if [ -n "$(git -C "$source_dir" status --porcelain 2>/dev/null)" ]; then head="$head+changes"; fi
  echo "$head"
}
module() { "$python" -c "import $1; print($1.__version__)" 2>/dev/null || echo unknown; }
echo "Brenhold caller $version"
echo "commit: $(commit)"
# Debian 12 and 13 build the same source with different toolchains (clang 14 or 19).
echo "made on: $(. /etc/os-release 2>/dev/null && echo "$PRETTY_NAME" || echo unknown)"
"$python" "$source_dir/scripts/publisher.py" build-info "$source_dir"
echo "compiler: $(first_line clang --version)"
echo "linker: $(first_line ld.lld --version)"
echo "resource compiler: $(first_line x86_64-w64-mingw32-windres --version)"
echo "message compiler: $(first_line x86_64-w64-mingw32-windmc --version)"
echo "cmake: $(first_line cmake --version)"
echo "python: $("$python" -c 'import sys; print(sys.version.split()[0])' 2>/dev/null || echo unknown)"
echo "zlib: $("$python" -c 'import zlib; print(zlib.ZLIB_RUNTIME_VERSION)' 2>/dev/null || echo unknown)"
echo "msi compiler: wixl $(first_line wixl --version)"
echo "olefile: $(module olefile)"
echo "pefile: $(module pefile)"
"$python" "$source_dir/scripts/build-packages.py" "$python" | sed 's/^\([^ ]*\) /package \1: /'
