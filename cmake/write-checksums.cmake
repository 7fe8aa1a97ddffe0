# Runs last at install: writes SHA256SUMS.txt beside the installed files, one line per file
# in the form `sha256sum -c` reads. The names are the build's (BRENHOLD_SHIPPED_NAMES, set by
# CMakeLists.txt's install(CODE) just before), sorted.
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(lines "")
set(names ${BRENHOLD_SHIPPED_NAMES})
if(NOT names)
  message(FATAL_ERROR "write-checksums.cmake: no BRENHOLD_SHIPPED_NAMES")
endif()
list(SORT names)
foreach(name ${names})
  file(SHA256 "${root}/${name}" hash)
  string(APPEND lines "${hash}  ${name}\n")
endforeach()
file(WRITE "${root}/SHA256SUMS.txt" "${lines}")
