#!/usr/bin/env python3
"""THIRD-PARTY-NOTICES.txt names every third-party piece the link put into Brenhold.exe: for
each archive the linker says it loaded members of (its --verbose account, beside the map:
scripts/linkmap.py), a section with the archive's owning package (as this build machine's
dpkg knows it), that package's version and the archive's name; for libstdc++'s header
templates, when the program's objects hold instances of them, a section of the package of
those headers. A change that pulls in members of another archive (libmingwex.a,
libstdc++.a, libgcc.a...) fails here until the notices say what it brought in. A section
naming an archive the linker did not load fails too (libmsvcrt-os.a holds members of the
same names as libmsvcrt.a: only the linker's account tells which one it took).

A release is built on Debian 12 or Debian 13, whose packages differ in version only: a
section names the version of each release, "Package: NAME VERSION (Debian 12), VERSION
(Debian 13)", and the build's must be one of them.

    check-notices.py MAP NOTICES"""
import pathlib
import re
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / 'scripts'))
import linkmap  # noqa: E402

SECTION = re.compile(r'^Package: (\S+) (.+)\nArchives: (.*)$', re.MULTILINE)
VERSION = re.compile(r'(\S+) \(Debian \d+\)')


def sections(notices_text):
    """{package: (set of versions, set of archive names)}"""
    found = {}
    for package, versions, archives in SECTION.findall(notices_text):
        names = set() if archives.strip() == 'none' else set(archives.split())
        found[package] = (set(VERSION.findall(versions)) or {versions.strip()}, names)
    return found


def problems(map_path, notices_text):
    listed = sections(notices_text)
    linked = {package.name: (package.version, {component.archive.name for component in package.archives})
              for package in linkmap.packages(map_path)}
    found = []
    for package, (version, archives) in sorted(linked.items()):
        if package not in listed:
            found.append(f'{package} {version}: no section (archives {", ".join(sorted(archives)) or "none"})')
            continue
        listed_versions, listed_archives = listed[package]
        if version not in listed_versions:
            found.append(f'{package}: the notices name version {", ".join(sorted(listed_versions))}, '
                         f'the build used {version}')
        for archive in sorted(archives - listed_archives):
            found.append(f'{package}: {archive} is linked but not named')
        for archive in sorted(listed_archives - archives):
            found.append(f'{package}: {archive} is named but no longer linked')
    for package in sorted(set(listed) - set(linked)):
        found.append(f'{package}: a section, but nothing of it is linked')
    return found


def main():
    map_path, notices = sys.argv[1], pathlib.Path(sys.argv[2])
    found = problems(map_path, notices.read_text(encoding='utf-8'))
    for problem in found:
        print(problem)
    if found:
        print(f'{notices.name} does not match the link: say what the change brought in.')
        sys.exit(1)
    print('every linked third-party piece has its section')


if __name__ == '__main__':
    main()
