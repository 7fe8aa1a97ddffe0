#!/usr/bin/env python3
"""What Brenhold.exe holds besides its own code, read from the linker's map: each archive
member the link took, the archive it came from, and the Debian package that owns that
archive on this build machine.

    linkmap.py MAP        prints one line per archive: package, version, archive, members

lld's map names a member but not its archive, so every archive in the toolchain's library
folders (the MinGW-w64 runtime's and GCC's, the folders the link searches) is indexed by
member name."""
import dataclasses
import functools
import pathlib
import re
import subprocess
import sys

TRIPLE = 'x86_64-w64-mingw32'
# An input section of the map: address, size, alignment, then the input file and section.
INPUT = re.compile(r'^[0-9a-f]{8} [0-9a-f]{8} +\d+ {9}(\S.*?):\(')
OWN = ('.cpp.obj', '.rc.res')


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


@functools.lru_cache(maxsize=None)
def member_index():
    index = {}
    for folder in library_folders():
        for archive in sorted(folder.glob('*.a')):
            listed = subprocess.run(['ar', 't', str(archive)], capture_output=True, text=True).stdout
            for member in listed.split():
                index.setdefault(member, []).append(archive)
    return index


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
    """Every archive the link took members of, with its owner; unknown members raise."""
    by_archive = {}
    index = member_index()
    members = linked_members(pathlib.Path(map_path).read_text())
    for member in members:
        if member not in index:
            raise LookupError(f'{member}: in no archive of {", ".join(map(str, library_folders()))}')
    # A name in one archive only says where it came from; a name in several counts for those
    # of them that other members already show linked, else for all.
    for member in (m for m in members if len(index[m]) == 1):
        by_archive.setdefault(index[member][0], []).append(member)
    for member in (m for m in members if len(index[m]) > 1):
        known = [archive for archive in index[member] if archive in by_archive]
        for archive in known or index[member]:
            by_archive.setdefault(archive, []).append(member)
    found = []
    for archive, members in sorted(by_archive.items()):
        package, version, architecture = owner(archive)
        found.append(Component(package, version, architecture, archive, members))
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
