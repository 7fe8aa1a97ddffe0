#!/usr/bin/env bash
# Prints what a release was made with: the versions of the compiler, linker, resource
# compiler, CMake, the MinGW-w64 packages and wixl. Two builds of one commit give the same
# bytes when these are the same.
#   scripts/build-info.sh VERSION
set -euo pipefail
first_line() { "$@" 2>/dev/null | head -n 1 || echo unknown; }
package() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo unknown; }
echo "Brenhold caller ${1:?usage: build-info.sh VERSION}"
echo "compiler: $(first_line clang --version)"
echo "linker: $(first_line ld.lld --version)"
echo "resource compiler: $(first_line x86_64-w64-mingw32-windres --version)"
echo "cmake: $(first_line cmake --version)"
echo "msi compiler: wixl $(first_line wixl --version)"
for name in mingw-w64-x86-64-dev gcc-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64; do
  echo "$name: $(package "$name")"
done
