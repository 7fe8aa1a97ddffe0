#!/usr/bin/env python3
"""The release notes of a version: its entry in CHANGELOG.md (Keep a Changelog's shape: a
heading "## [VERSION] - YYYY-MM-DD", then its sections up to the next version's heading).
A release is refused, with what to change, when the entry is missing or implausible:

- it is not the newest entry (the first heading), or its date is no calendar date;
- it lists no change: each of its sections ("### Added", "Changed", "Deprecated", "Removed",
  "Fixed", "Security") needs at least one "- " item, and it needs at least one section;
- its date is not the release's: the release's date is SOURCE_DATE_EPOCH (the commit's time,
  as scripts/release.sh sets it), and the entry may be dated up to RELEASE_WINDOW_DAYS before
  it (written before the commit) or one day after (time zones);
- its date lies before the date of the entry below it.

    changelog.py VERSION CHANGELOG.md [OUT]     prints the entry, or writes it to OUT"""
import datetime
import os
import pathlib
import re
import sys

KINDS = ('Added', 'Changed', 'Deprecated', 'Removed', 'Fixed', 'Security')
RELEASE_WINDOW_DAYS = 14
HEADING = re.compile(r'^## \[([^\]]+)\] - (\S+)$', re.MULTILINE)


def entry(version, text):
    heading = re.compile(rf'^## \[{re.escape(version)}\] - \d{{4}}-\d{{2}}-\d{{2}}$', re.MULTILINE)
    found = heading.search(text)
    if not found:
        return None
    following = re.compile(r'^## \[', re.MULTILINE).search(text, found.end())
    return text[found.start():following.start() if following else len(text)].rstrip() + '\n'


def parse_date(text):
    try:
        return datetime.date.fromisoformat(text)
    except ValueError:
        return None


def empty_sections(notes):
    """Problems of the entry's body: no section, an unknown section, a section without an item."""
    sections = re.split(r'^### ', notes, flags=re.MULTILINE)[1:]
    if not sections:
        return [f'it lists no change: add a section ({", ".join("### " + k for k in KINDS)}) with "- " items']
    found = []
    for section in sections:
        title, _, body = section.partition('\n')
        if title.strip() not in KINDS:
            found.append(f'its section "### {title.strip()}" is none of {", ".join(KINDS)}')
        elif not re.search(r'^- \S', body, re.MULTILINE):
            found.append(f'its section "### {title.strip()}" lists no change: add "- " items or remove it')
    return found


def problems(version, text, release_epoch=None):
    """What is wrong with VERSION's entry for a release made at RELEASE_EPOCH, each saying
    what to change; [] when it will do."""
    notes = entry(version, text)
    if notes is None:
        return [f'there is no entry "## [{version}] - YYYY-MM-DD": write the release\'s notes there first']
    headings = HEADING.findall(text)
    position = [name for name, _ in headings].index(version)
    date = parse_date(headings[position][1])
    found = []
    if position != 0:
        found.append(f'the entry of {version} is not the newest: the release\'s entry stands first')
    if date is None:
        return found + [f'"{headings[position][1]}" is no calendar date: write the release\'s date, YYYY-MM-DD']
    found += empty_sections(notes)
    if release_epoch is not None:
        released = datetime.datetime.fromtimestamp(release_epoch, datetime.timezone.utc).date()
        if not released - datetime.timedelta(days=RELEASE_WINDOW_DAYS) <= date <= released + datetime.timedelta(days=1):
            found.append(f'the entry is dated {date}, the release {released} (SOURCE_DATE_EPOCH, the commit\'s time): date the entry '
                         f'with the release\'s day, at most {RELEASE_WINDOW_DAYS} days before it')
    older = [parse_date(d) for _, d in headings[position + 1:]]
    if older and older[0] and date < older[0]:
        found.append(f'the entry is dated {date}, before the entry below it ({older[0]}): correct the date')
    return found


def main():
    version, changelog = sys.argv[1], pathlib.Path(sys.argv[2])
    text = changelog.read_text(encoding='utf-8')
    epoch = os.environ.get('SOURCE_DATE_EPOCH')
    found = problems(version, text, int(epoch) if epoch else None)
    if found:
        raise SystemExit(f'{changelog.name}, version {version}: ' + '; '.join(found))
    notes = entry(version, text)
    if len(sys.argv) > 3:
        pathlib.Path(sys.argv[3]).write_text(notes, encoding='utf-8')
    else:
        sys.stdout.write(notes)


if __name__ == '__main__':
    main()
