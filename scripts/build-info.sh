#!/usr/bin/env bash
# Prints what a release was made from and with: the commit, and the versions of everything
# its bytes depend on: the compiler, linker, resource and message compilers, CMake, the
# MinGW-w64 packages, and what writes the packages (Python with its zipfile over zlib for the
# ZIP; wixl and msibuild of msitools, olefile and pefile for the MSI). Two builds of one commit
# give the same bytes when these are the same.
#   scripts/build-info.sh VERSION PYTHON SOURCE-DIR
# The commit is BRENHOLD_COMMIT when set (a copy of a checkout without its .git), else the
# source folder's HEAD, marked "+changes" when the tree differs from it.
set -euo pipefail
version=${1:?usage: build-info.sh VERSION PYTHON SOURCE-DIR}
python=${2:?usage: build-info.sh VERSION PYTHON SOURCE-DIR}
source_dir=${3:?usage: build-info.sh VERSION PYTHON SOURCE-DIR}
first_line() { "$@" 2>/dev/null | head -n 1 || echo unknown; }
package() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo unknown; }
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
echo "compiler: $(first_line clang --version)"
echo "linker: $(first_line ld.lld --version)"
echo "resource compiler: $(first_line x86_64-w64-mingw32-windres --version)"
echo "message compiler: $(first_line x86_64-w64-mingw32-windmc --version)"
echo "cmake: $(first_line cmake --version)"
for name in mingw-w64-x86-64-dev gcc-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64; do
  echo "$name: $(package "$name")"
done
echo "python: $("$python" -c 'import sys; print(sys.version.split()[0])' 2>/dev/null || echo unknown)"
echo "zlib: $("$python" -c 'import zlib; print(zlib.ZLIB_RUNTIME_VERSION)' 2>/dev/null || echo unknown)"
echo "msi compiler: wixl $(first_line wixl --version)"
echo "msitools: $(package msitools)"
echo "olefile: $(module olefile)"
echo "pefile: $(module pefile)"
