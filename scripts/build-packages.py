#!/usr/bin/env python3
"""The Debian packages, with their exact versions (Debian revision included), of a release's
build. One line each, sorted: NAME VERSION ARCHITECTURE.

    build-packages.py PYTHON                   what shapes the bytes (BUILD-INFO.txt, in the packages)
    build-packages.py --environment PYTHON     the whole build environment (the .buildinfo beside them)

What shapes the bytes: the programs that write the program, the ZIP and the MSI (compiler,
linker, resource and message compilers, the MinGW gcc that windres preprocesses with, wixl
and msibuild; found on PATH as the build finds them), the shared libraries those writers load
(libLLVM, libmsi, libgcab, zlib...) but for the machine's C and C++ runtimes, the packages of
the host compiler that builds the message-file generator and of CMake (not their libraries),
the headers and archives the program is compiled and linked against, and Python with the
modules that write the packages (and the libraries their extension modules load). The whole
environment adds what does not reach the bytes of an unsigned release: the signing tools
(osslsigncode, openssl: a signed program is compared by its Authenticode digest, which the
signature leaves out), the libraries of CMake and of the host compiler, and the runtimes.

A file that no package owns (a tool installed by hand) is named instead, as "unpackaged PATH",
so that a rebuild elsewhere sees that it cannot match by package versions alone."""
import pathlib
import re
import shutil
import subprocess
import sys

TRIPLE = 'x86_64-w64-mingw32'
# The programs that write the bytes, whose libraries count too. No archiver: the build makes
# no static library, and which one CMake found (llvm-ar where Debian's llvm is installed,
# else ar) depends on the machine, not on the bytes.
WRITERS = ['clang', 'clang++', 'ld.lld', 'lld-link', f'{TRIPLE}-windres', f'{TRIPLE}-windmc',
           f'{TRIPLE}-gcc', f'{TRIPLE}-gcc-win32', f'{TRIPLE}-g++-win32', 'wixl', 'msibuild']
# Programs the build runs whose own package counts, not their libraries: the host compiler of
# the message-file generator (whose output is text) and CMake.
RUNNERS = ['g++', 'cmake']
# Programs only a signed release runs.
SIGNERS = ['osslsigncode', 'openssl']
# Programs the compiler drivers run in turn.
HELPERS = {'g++': ['cc1plus', 'as', 'ld'], f'{TRIPLE}-gcc': ['cc1']}
# The machine's C and C++ runtimes, which every program loads: they run the tools, they do
# not make what the tools write.
RUNTIMES = ('ld-linux', 'libc.so', 'libm.so', 'libgcc_s.so', 'libstdc++.so')
# What writes the ZIP, the MSI, the SBOM and the checksums.
MODULES = ['zipfile', 'zlib', 'hashlib', 'json', 'uuid', 'olefile', 'pefile']


def run(*command):
    return subprocess.run(command, capture_output=True, text=True).stdout.strip()


def programs(tools):
    found = []
    for tool in tools:
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


def is_runtime(path):
    return path.name.startswith(RUNTIMES)


def shaping_files(python):
    writers = programs(WRITERS)
    inputs_ = inputs(python)
    files = writers + programs(RUNNERS) + inputs_
    # Python writes the ZIP and the checksums: it and its extension modules are writers too.
    python_files = [pathlib.Path(python).resolve()] + [path for path in inputs_ if path.suffix == '.so']
    for program in writers + python_files:
        files += [library for library in libraries(program) if not is_runtime(library)]
    return {str(path) for path in files}


def environment_files(python):
    files = shaping_files(python)
    for program in programs(WRITERS + RUNNERS + SIGNERS) + [pathlib.Path(python).resolve()]:
        files |= {str(path) for path in [program] + libraries(program)}
    return files


def main():
    arguments = sys.argv[1:]
    whole = arguments[:1] == ['--environment']
    arguments = arguments[1:] if whole else arguments
    python = arguments[0] if arguments else sys.executable
    files = environment_files(python) if whole else shaping_files(python)
    found = owners(files)
    packages = sorted(set(found.values()))
    versions = run('dpkg-query', '-W', '-f', '${Package} ${Version} ${Architecture}\n', *packages).splitlines()
    lines = sorted(versions) + [f'unpackaged {path}' for path in sorted(files - set(found))]
    print('\n'.join(lines))


if __name__ == '__main__':
    main()
