"""The DLLs Brenhold.exe imports, as the tests expect them: Windows' own and no other, so that
the program runs where nothing but Windows is installed. Written by hand, never read from the
build; e2e.test_image compares it with the built image's import table and e2e.test_release
with the SBOM's dependency graph. A DLL newly imported (or no longer) is one line here and
its import library in BRENHOLD_SYSTEM_LIBRARIES in CMakeLists.txt."""

SYSTEM_DLLS = {
    'advapi32.dll',  # the event log that quiet mode reports to
    'kernel32.dll',
    'msvcrt.dll',    # the C runtime's few functions, linked by the toolchain
    'ole32.dll',
    'shell32.dll',
    'user32.dll',
}
