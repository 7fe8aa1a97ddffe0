# Runs last at install: writes SHA256SUMS.txt beside the installed files, one line per file
# in the form `sha256sum -c` reads.
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(lines "")
foreach(name BUILD-INFO.txt Brenhold.exe CHANGELOG.md DEPLOYING.md LICENSE.txt README.md REFERENCE.md
             SECURITY.md THIRD-PARTY-NOTICES.txt)
  file(SHA256 "${root}/${name}" hash)
  string(APPEND lines "${hash}  ${name}\n")
endforeach()
file(WRITE "${root}/SHA256SUMS.txt" "${lines}")
