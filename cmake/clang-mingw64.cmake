# Cross-build for 64-bit Windows with clang over Debian's MinGW-w64 headers and runtime.
# Clang rather than GCC: its frame-based __try/__except catches faults raised inside the
# print library, which GCC's catch (...) lets through.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

# Clang finds neither libstdc++'s headers nor libgcc of the MinGW GCC by itself. The
# -win32 threading flavour: the -posix one drags winpthread into a static link.
execute_process(COMMAND ${MINGW_TRIPLE}-gcc-win32 -print-libgcc-file-name
                OUTPUT_VARIABLE MINGW_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(MINGW_GCC_DIR "${MINGW_LIBGCC}" DIRECTORY)
set(CMAKE_CXX_FLAGS_INIT
    "-fms-extensions -isystem ${MINGW_GCC_DIR}/include/c++ -isystem ${MINGW_GCC_DIR}/include/c++/${MINGW_TRIPLE}")
set(CMAKE_C_FLAGS_INIT "-fms-extensions")
set(MINGW_LINK_INIT "-fuse-ld=lld -static -L${MINGW_GCC_DIR}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${MINGW_LINK_INIT}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${MINGW_LINK_INIT}")

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
