#!/usr/bin/env python3
"""What Brenhold.exe holds besides its own code, in the linker's own words: each archive
member the link loaded, the archive it came from, and the Debian package that owns that
archive on this build machine.

    linkmap.py MAP        prints one line per archive: package, version, archive, members

The link runs with lld's --verbose (scripts/record-link.sh), whose account, written beside
the map as Brenhold.link.txt, says "Loaded ARCHIVE(MEMBER) for SYMBOL" for every member it
took; its first line is the linker's command line, with each archive's full path. The map
names members only (two archives can hold a member of one name: libmsvcrt.a and
libmsvcrt-os.a are byte for byte the same), so it serves as a cross-check: every input file
the map shows must be a member the account names."""
import dataclasses
import pathlib
import re
import subprocess
import sys

TRIPLE = 'x86_64-w64-mingw32'
# An input section of the map: address, size, alignment, then the input file and section.
INPUT = re.compile(r'^[0-9a-f]{8} [0-9a-f]{8} +\d+ {9}(\S.*?):\(')
OWN = ('.cpp.obj', '.rc.res')
# lld --verbose: "ld.lld: Loaded libkernel32.a(libkernel32s00140.o) for __declspec(dllimport) CloseHandle"
LOADED = re.compile(r'^ld\.lld: Loaded (\S+)\((\S+)\) for (.*)$')
# CMake packs the program's own objects into this archive and links the whole of it.
OWN_ARCHIVE = 'objects.a'


@dataclasses.dataclass
class Component:
    package: str
    version: str
    architecture: str
    archive: pathlib.Path
    members: list


def library_folders():
    """The folders the link searches, as cmake/clang-mingw64.cmake sets them up."""
    libgcc = subprocess.run([f'{TRIPLE}-gcc-win32', '-print-libgcc-file-name'], check=True,
                            capture_output=True, text=True).stdout.strip()
    return [pathlib.Path(f'/usr/{TRIPLE}/lib'), pathlib.Path(libgcc).parent]


def account_path(map_path):
    """The linker's account of the link that wrote this map."""
    map_path = pathlib.Path(map_path)
    return map_path.with_name(map_path.stem + '.link.txt')


def loaded_members(account_text):
    """(archive path, member, symbol) for every member lld says it loaded from a third-party
    archive, the archive's path as the linker's command line gives it."""
    lines = account_text.splitlines()
    if not lines or not lines[0].startswith('lld-link '):
        raise LookupError('the account does not start with the linker\'s command line')
    paths = {}
    for argument in lines[0].split()[1:]:
        argument = argument.split(':', 1)[1] if argument.startswith('-wholearchive:') else argument
        if argument.endswith('.a'):
            paths.setdefault(pathlib.Path(argument).name, set()).add(argument)
    loaded = []
    for line in lines[1:]:
        found = LOADED.match(line)
        if not found or found.group(1) == OWN_ARCHIVE:
            continue
        archive, member, symbol = found.groups()
        if len(paths.get(archive, ())) != 1:
            raise LookupError(f'{archive}: {len(paths.get(archive, ()))} archives of that name on the command line')
        loaded.append((pathlib.Path(next(iter(paths[archive]))), member, symbol))
    return loaded


def linked_members(map_text):
    """The input files of the map that are not the program's own objects."""
    members = set()
    for line in map_text.splitlines():
        found = INPUT.match(line)
        if found and not found.group(1).endswith(OWN):
            members.add(found.group(1))
    return sorted(members)


def owner(archive):
    """(package, version, architecture) of the package that installed the archive."""
    listed = subprocess.run(['dpkg-query', '-S', str(archive)], check=True, capture_output=True,
                            text=True).stdout
    package = listed.split(':')[0].strip()
    fields = subprocess.run(['dpkg-query', '-W', '-f', '${Version} ${Architecture}', package], check=True,
                            capture_output=True, text=True).stdout.split()
    return package, fields[0], fields[1]


def components(map_path):
    """Every archive the linker loaded members of, with its owner. A member the map shows and
    the account does not name raises: the account is not that of this link."""
    loaded = loaded_members(account_path(map_path).read_text())
    unaccounted = set(linked_members(pathlib.Path(map_path).read_text())) - {member for _, member, _ in loaded}
    if unaccounted:
        raise LookupError(f'the map shows {", ".join(sorted(unaccounted))}, which the linker\'s account '
                          f'{account_path(map_path)} does not name as loaded')
    by_archive = {}
    for archive, member, _ in loaded:
        by_archive.setdefault(archive, []).append(member)
    found = []
    for archive, members in sorted(by_archive.items()):
        package, version, architecture = owner(archive)
        found.append(Component(package, version, architecture, archive, sorted(members)))
    return found


def standard_library_headers(map_path):
    """(package, version, architecture) of libstdc++'s headers when the program's own objects
    hold instances of their templates, else None."""
    if 'std::' not in pathlib.Path(map_path).read_text():
        return None
    return owner(library_folders()[1] / 'include' / 'c++')


@dataclasses.dataclass
class Package:
    name: str
    version: str
    architecture: str
    archives: list  # the Components taken from it; none where only header templates are in


def packages(map_path):
    """The packages whose pieces the program holds: those of the linked archives, by name,
    then the package of libstdc++'s headers where only its templates are in."""
    found = {}
    for component in components(map_path):
        package = found.setdefault(component.package,
                                   Package(component.package, component.version, component.architecture, []))
        package.archives.append(component)
    headers = standard_library_headers(map_path)
    if headers and headers[0] not in found:
        found[headers[0]] = Package(*headers, [])
    return list(found.values())


def main():
    for component in components(sys.argv[1]):
        print(component.package, component.version, component.archive.name, len(component.members))


if __name__ == '__main__':
    main()
