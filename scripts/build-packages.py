#!/usr/bin/env python3
"""The Debian packages, with their exact versions (Debian revision included), whose files
shape a release's bytes: every program the build runs on the way to the program, the ZIP and
the MSI (found on PATH as the build finds them), the shared libraries each of them loads, the
headers and archives the program is compiled and linked against, and the Python modules that
write the packages. One line each, sorted: NAME VERSION ARCHITECTURE.

    build-packages.py PYTHON

A file that no package owns (a tool installed by hand) is named instead, as "unpackaged PATH",
so that a rebuild elsewhere sees that it cannot match by package versions alone."""
import pathlib
import re
import shutil
import subprocess
import sys

TRIPLE = 'x86_64-w64-mingw32'
# The programs of the build: compiler and linker, the resource and message compilers
# (windres preprocesses with the MinGW gcc), the host compiler of the message-file generator,
# CMake, and what writes and signs the packages. No archiver: the build makes no static
# library, and which one CMake found (llvm-ar where Debian's llvm is installed, else ar)
# depends on the machine, not on the bytes.
TOOLS = ['clang', 'clang++', 'ld.lld', 'lld-link', f'{TRIPLE}-windres', f'{TRIPLE}-windmc',
         f'{TRIPLE}-gcc', f'{TRIPLE}-gcc-win32', f'{TRIPLE}-g++-win32', 'g++', 'cmake', 'wixl', 'msibuild',
         'osslsigncode', 'openssl']
# Programs the compiler drivers run in turn.
HELPERS = {'g++': ['cc1plus', 'as', 'ld'], f'{TRIPLE}-gcc': ['cc1']}
# What writes the ZIP, the MSI, the SBOM and the checksums.
MODULES = ['zipfile', 'zlib', 'hashlib', 'json', 'uuid', 'olefile', 'pefile']


def run(*command):
    return subprocess.run(command, capture_output=True, text=True).stdout.strip()


def programs():
    found = []
    for tool in TOOLS:
        path = shutil.which(tool)
        if not path:
            continue
        found.append(pathlib.Path(path).resolve())
        for helper in HELPERS.get(tool, []):
            helper_path = run(tool, f'-print-prog-name={helper}')
            helper_path = shutil.which(helper_path) if not helper_path.startswith('/') else helper_path
            if helper_path:
                found.append(pathlib.Path(helper_path).resolve())
    return found


def libraries(program):
    """The shared libraries the dynamic loader maps for the program."""
    listed = run('ldd', str(program))
    return [pathlib.Path(path).resolve() for path in re.findall(r'=> (/\S+)', listed)]


def inputs(python):
    """Headers and archives the program is built from, one file of each folder."""
    libgcc = pathlib.Path(run(f'{TRIPLE}-gcc-win32', '-print-libgcc-file-name'))
    resource = pathlib.Path(run('clang', '-print-resource-dir'))
    modules = run(python, '-c', 'import importlib, sys\n'
                  'for name in sys.argv[1:]:\n'
                  '    module = importlib.import_module(name)\n'
                  '    print(getattr(module, "__file__", None) or "")', *MODULES).split()
    return [pathlib.Path(f'/usr/{TRIPLE}/include/windows.h'), pathlib.Path(f'/usr/{TRIPLE}/lib/libkernel32.a'),
            libgcc, libgcc.parent / 'include' / 'c++' / 'vector', resource / 'include' / 'intrin.h',
            pathlib.Path(run(python, '-c', 'import sys; print(sys.executable)')).resolve()] + \
        [pathlib.Path(module) for module in modules]


def owners(paths):
    """{path: package} for the paths dpkg knows, in one query (and one more for Debian's merged
    /usr, where a file under /usr/lib is registered under /lib)."""
    def query(names):
        listed = subprocess.run(['dpkg-query', '-S', *names], capture_output=True, text=True).stdout
        found = {}
        for line in listed.splitlines():
            packages, _, path = line.partition(': ')
            found[path] = packages.split(',')[0].strip().split(':')[0]
        return found
    found = query(sorted(paths))
    aliases = {str(p).replace('/usr/lib/', '/lib/', 1): p for p in paths if p not in found}
    found.update({aliases[a]: package for a, package in query(sorted(aliases)).items() if a in aliases})
    return found


def main():
    python = sys.argv[1] if len(sys.argv) > 1 else sys.executable
    files = []
    for program in programs():
        files += [program] + libraries(program)
    files = {str(path) for path in files + inputs(python)}
    found = owners(files)
    packages = sorted(set(found.values()))
    versions = run('dpkg-query', '-W', '-f', '${Package} ${Version} ${Architecture}\n', *packages).splitlines()
    lines = sorted(versions) + [f'unpackaged {path}' for path in sorted(files - set(found))]
    print('\n'.join(lines))


if __name__ == '__main__':
    main()
