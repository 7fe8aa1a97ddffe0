#!/usr/bin/env python3
"""The release notes of a version: its entry in CHANGELOG.md (Keep a Changelog's shape: a
heading "## [VERSION] - YYYY-MM-DD", then its sections up to the next version's heading).
A version without an entry is refused, so no release goes out without its notes.

    changelog.py VERSION CHANGELOG.md [OUT]     prints the entry, or writes it to OUT"""
import pathlib
import re
import sys


def entry(version, text):
    heading = re.compile(rf'^## \[{re.escape(version)}\] - \d{{4}}-\d{{2}}-\d{{2}}$', re.MULTILINE)
    found = heading.search(text)
    if not found:
        return None
    following = re.compile(r'^## \[', re.MULTILINE).search(text, found.end())
    return text[found.start():following.start() if following else len(text)].rstrip() + '\n'


def main():
    version, changelog = sys.argv[1], pathlib.Path(sys.argv[2])
    notes = entry(version, changelog.read_text(encoding='utf-8'))
    if notes is None:
        raise SystemExit(f'{changelog.name} has no entry "## [{version}] - YYYY-MM-DD": write the '
                         'release\'s notes there first')
    if len(sys.argv) > 3:
        pathlib.Path(sys.argv[3]).write_text(notes, encoding='utf-8')
    else:
        sys.stdout.write(notes)


if __name__ == '__main__':
    main()
