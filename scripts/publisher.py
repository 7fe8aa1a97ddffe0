#!/usr/bin/env python3
"""Who publishes the program and how to reach them, kept once in publisher.json at the top of
the source tree, and what a release writes from it:

    publisher.py build-info SOURCE-DIR       the publisher's lines of BUILD-INFO.txt
    publisher.py security SOURCE-DIR OUT     SECURITY.md with its publisher blocks filled in
    publisher.py check SOURCE-DIR            fails when SECURITY.md's blocks say otherwise

publisher.json: "name" (required: Windows Installer's Manufacturer, the SBOM's author and
supplier, SECURITY.md, BUILD-INFO.txt), "website", "source_repository" (https URLs),
"security_contact" (an https URL or an e-mail address) and "support_years" (whole years from
a release's date, at least five: SECURITY.md says five years is the least). A fact nobody has yet stays empty: the release then says so where it would
stand, and leaves it out where a field is optional (the MSI's ARP properties, the SBOM).

The end of support is a month and year counted from the release's date, SOURCE_DATE_EPOCH,
which scripts/release.sh takes from the commit (else the commit's time, never the clock)."""
import datetime
import json
import os
import pathlib
import re
import subprocess
import sys

FILE = 'publisher.json'
TEXTS = ('name', 'website', 'source_repository', 'security_contact')
URL = re.compile(r'^https://[^\s/]+\S*$')
EMAIL = re.compile(r'^[^\s@]+@[^\s@]+\.[^\s@]+$')
# SECURITY.md's generated blocks: <!-- publisher: NAME --> ... <!-- publisher: end -->
BLOCK = re.compile(r'(<!-- publisher: (\w+) -->\n)(.*?)(<!-- publisher: end -->)', re.DOTALL)
NONE_YET = 'none yet'
# SECURITY.md's own text: "Five years is the least that the EU Cyber Resilience Act ... asks".
LEAST_SUPPORT_YEARS = 5


def load(source_dir):
    path = pathlib.Path(source_dir) / FILE
    facts = json.loads(path.read_text(encoding='utf-8'))
    unknown = set(facts) - set(TEXTS) - {'support_years'}
    problems = [f'unknown field {name!r}' for name in sorted(unknown)]
    problems += [f'{name!r} must be text' for name in TEXTS if not isinstance(facts.get(name, ''), str)]
    # The facts pass through wixl's variables and the MSI's SQL as they stand.
    problems += [f'{name!r} holds one of \' " < > &' for name in TEXTS
                 if isinstance(facts.get(name, ''), str) and set(facts.get(name, '')) & set('\'"<>&')]
    if not facts.get('name', '').strip():
        problems.append('"name" is required')
    for name in ('website', 'source_repository'):
        if facts.get(name) and not URL.match(facts[name]):
            problems.append(f'{name!r} must be an https URL')
    contact = facts.get('security_contact', '')
    if contact and not (URL.match(contact) or EMAIL.match(contact)):
        problems.append('"security_contact" must be an https URL or an e-mail address')
    years = facts.get('support_years')
    if not isinstance(years, int) or isinstance(years, bool):
        problems.append(f'"support_years" must be a whole number of years, at least {LEAST_SUPPORT_YEARS}')
    elif years < LEAST_SUPPORT_YEARS:
        problems.append(f'"support_years" is {years}, and SECURITY.md says five years is the least (the EU Cyber '
                        f'Resilience Act\'s): set it to {LEAST_SUPPORT_YEARS} or more')
    if problems:
        raise SystemExit(f'{path}: ' + '; '.join(problems))
    return {name: facts.get(name, '').strip() for name in TEXTS} | {'support_years': years}


def release_epoch(source_dir):
    """The release's date: SOURCE_DATE_EPOCH, else the commit's time, else 1980-01-01."""
    if os.environ.get('SOURCE_DATE_EPOCH'):
        return int(os.environ['SOURCE_DATE_EPOCH'])
    committed = subprocess.run(['git', '-C', str(source_dir), 'log', '-1', '--format=%ct'], capture_output=True,
                               text=True).stdout.strip()
    return int(committed) if committed else 315532800


def end_of_support(epoch, years):
    """'December 2031': the month of the release's date, that many years on."""
    released = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)
    return released.replace(day=1, year=released.year + years).strftime('%B %Y')


def contact_kind(contact):
    return 'e-mail' if EMAIL.match(contact) else 'url'


def build_info_lines(facts, epoch):
    return [f'publisher: {facts["name"]}',
            f'website: {facts["website"] or NONE_YET}',
            f'source repository: {facts["source_repository"] or NONE_YET}',
            f'security contact: {facts["security_contact"] or NONE_YET}',
            f'supported until: end of {end_of_support(epoch, facts["support_years"])} '
            f'({facts["support_years"]} years from the release)']


def security_blocks(facts):
    """The text of each publisher block of SECURITY.md."""
    contact = facts['security_contact']
    if not contact:
        report = ('No security contact has been named yet, so there is no private channel for reports. '
                  'Until this line names one, do not report a vulnerability in public; tell whoever supplied '
                  'you the program.')
    elif contact_kind(contact) == 'e-mail':
        report = f'Report it privately, never in a public issue, by e-mail to {contact}.'
    else:
        report = f'Report it privately, never in a public issue, at {contact}.'
    if facts['website']:
        advisories = f'Advisories appear on {facts["website"]}'
    elif facts['source_repository']:
        advisories = f'Advisories appear in the source repository, {facts["source_repository"]}'
    else:
        advisories = ('There is no website or public source repository yet, so advisories have no place of '
                      'their own: until they do, an advisory is the entry of the fixing release in `CHANGELOG.md`, '
                      'which ships in both packages')
    return {
        'publisher': f'Publisher: {facts["name"]}. Website: {facts["website"] or NONE_YET}. '
                     f'Source repository: {facts["source_repository"] or NONE_YET}.\n',
        'support': f'Each release is supported for {facts["support_years"]} years from its release date: until '
                   'the end of the month its `BUILD-INFO.txt` names on its line "supported until".\n',
        'contact': report + '\n',
        'advisories': advisories + '; each names the fixed version.\n',
    }


def fill(text, facts):
    blocks = security_blocks(facts)
    found = [match.group(2) for match in BLOCK.finditer(text)]
    if sorted(found) != sorted(blocks):
        raise SystemExit(f'SECURITY.md: publisher blocks {found}, expected one each of {sorted(blocks)}')
    return BLOCK.sub(lambda m: m.group(1) + blocks[m.group(2)] + m.group(4), text)


def main():
    command, source_dir = sys.argv[1], pathlib.Path(sys.argv[2])
    facts = load(source_dir)
    security = (source_dir / 'SECURITY.md').read_text(encoding='utf-8')
    if command == 'build-info':
        print('\n'.join(build_info_lines(facts, release_epoch(source_dir))))
    elif command == 'security':
        pathlib.Path(sys.argv[3]).write_text(fill(security, facts), encoding='utf-8')
    elif command == 'check':
        if fill(security, facts) != security:
            raise SystemExit(f'SECURITY.md does not say what {FILE} says: run '
                             f'scripts/publisher.py security . SECURITY.md')
        print(f'SECURITY.md carries the facts of {FILE}')
    else:
        raise SystemExit(__doc__)


if __name__ == '__main__':
    main()
