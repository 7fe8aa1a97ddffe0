#!/usr/bin/env python3
"""The tests' table of endings (tests/e2e/endings.py) against the tests that use it and the
README that promises it:

- every ending is named by at least one end-to-end test (a string in a tests/e2e/test_*.py
  that is the ending's name), so that no row is promised and never run;
- every cause of an ending whose quiet line depends on its cause is named by an end-to-end
  test too;
- README.md's table "What each ending means" has one row per ending, in the same order, keyed
  by the name in its first column, with the same box (its text with PATH for the path, -DEL
  for the refused argument, any other field in capitals, "none", or "the same report" as the
  row before), the same statuses (the quiet one also in hexadecimal where given) and the same
  event; and the README names each line quiet mode writes in place of a box, for each cause,
  with the ending's quiet status where it gives one beside the line;
- the readers' documents quote the report's text (a quoted text holding its status) only as
  the table has it, whole or its beginning.

Each problem names the file to change: the tests' table or the document, whichever is wrong.

    check-endings.py SOURCE_ROOT"""
import ast
import pathlib
import re
import sys

SOURCE_ROOT = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2])
sys.path.insert(0, str(SOURCE_ROOT / 'tests' / 'e2e'))
import endings  # noqa: E402
from endings import ENDINGS  # noqa: E402

ENDINGS_FILE = 'tests/e2e/endings.py'
# How the README writes the fields of a text; any other field in capitals.
README_FIELDS = {'argument': '-DEL'}
HEADING = '## What each ending means'
# The readers' documents that may quote the report (CHANGELOG.md keeps what each release said).
QUOTING_DOCUMENTS = ['README.md', 'REFERENCE.md', 'DEPLOYING.md', 'SECURITY.md', 'VENDOR-CONTRACT.md']


def names_used_by_tests():
    used = set()
    for script in sorted((SOURCE_ROOT / 'tests' / 'e2e').glob('test_*.py')):
        tree = ast.parse(script.read_text(encoding='utf-8'))
        used |= {node.value for node in ast.walk(tree) if isinstance(node, ast.Constant) and isinstance(node.value, str)}
    return used


def readme_text(template):
    """The template as the README writes it: each field named as README_FIELDS says."""
    names = set(endings.FIELD.findall(template))
    text = endings.fill(template, **{name: README_FIELDS.get(name, name.upper()) for name in names})
    return text.replace('{address}', 'ADDRESS')


def readme_rows(text):
    lines = text[text.index(HEADING):].splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith('|'))
    header = [cell.strip() for cell in lines[start].strip('|').split('|')]
    rows = []
    for line in lines[start + 2:]:
        if not line.startswith('|'):
            break
        rows.append(dict(zip(header, (cell.strip() for cell in line.strip().strip('|').split('|')))))
    return header, rows


def box_problems(name, ending, cell, previous):
    if ending.box is None:
        return [] if cell == 'none' else [f'README.md or {ENDINGS_FILE}: {name}: the README shows a box ({cell}), '
                                          f'the tests expect none']
    if cell == 'the same report':
        if previous is None or (previous.box, previous.caption) != (ending.box, ending.caption):
            return [f'README.md or {ENDINGS_FILE}: {name}: "the same report" in the README, but the row before '
                    f'has another box']
        return []
    text = readme_text(ending.box)
    quoted = re.findall(r'"([^"]*)"|`([^`]*)`', cell)
    shown = [a or b for a, b in quoted]
    problems = []
    if 'ADDRESS' in text:
        if text.split('ADDRESS')[0] not in shown:
            problems.append(f'README.md or {ENDINGS_FILE}: {name}: the README\'s box {cell!r} does not begin '
                            f'as {text!r}')
    elif text not in shown:
        problems.append(f'README.md or {ENDINGS_FILE}: {name}: the README\'s box {cell!r}, the tests expect {text!r}')
    if ending.caption != endings.CAPTION and f'caption "{ending.caption}"' not in cell:
        problems.append(f'README.md or {ENDINGS_FILE}: {name}: the README does not give the caption '
                        f'"{ending.caption}"')
    return problems


def status_problems(name, expected, cell, column):
    match = re.match(r'^(\d+)(?: = 0x([0-9A-F]+))?', cell)
    if not match:
        return [f'README.md: {name}: no status in the README\'s {column} cell {cell!r}']
    problems = []
    if int(match.group(1)) != expected:
        problems.append(f'README.md or {ENDINGS_FILE}: {name}: {column} {match.group(1)} in the README, '
                        f'{expected} in the tests')
    if match.group(2) and int(match.group(2), 16) != int(match.group(1)):
        problems.append(f'README.md: {name}: {match.group(1)} is not 0x{match.group(2)}')
    return problems


def test_problems():
    problems = []
    used = names_used_by_tests()
    for name, ending in ENDINGS.items():
        if name not in used:
            problems.append(f'tests/e2e/test_*.py: {name}: no end-to-end test runs this ending (none names it)')
        for cause in ending.quiet_texts():
            if cause is not None and cause not in used:
                problems.append(f'tests/e2e/test_*.py: {name}: no end-to-end test names the cause {cause!r} '
                                f'(cause={cause!r} where it expects that line)')
    return problems


def readme_problems(readme):
    problems = []
    header, rows = readme_rows(readme)
    if header[0] != 'ending':
        problems.append(f'README.md: the table of endings has no first column "ending": {header}')
    named = [row[header[0]].strip('`') for row in rows]
    if named != list(ENDINGS):
        problems.append(f'README.md or {ENDINGS_FILE}: the README\'s endings {named} are not the tests\' '
                        f'{list(ENDINGS)}, in that order')
    previous = None
    for row in rows:
        name = row[header[0]].strip('`')
        ending = ENDINGS.get(name)
        if ending is None:
            continue
        box_column = next(column for column in header if column.startswith('box'))
        problems += box_problems(name, ending, row[box_column], previous)
        problems += status_problems(name, ending.visible, row['status'], 'status')
        problems += status_problems(name, ending.quiet, row['status in quiet mode'], 'quiet status')
        if row['event'] != (ending.event or 'none'):
            problems.append(f'README.md or {ENDINGS_FILE}: {name}: event {row["event"]!r} in the README, '
                            f'{ending.event or "none"!r} in the tests')
        for cause, template in ending.quiet_texts().items():
            if template in (None, ending.box):
                continue
            line = readme_text(template)
            if f'`{line}`' not in readme:
                said = f' for the cause {cause!r}' if cause else ''
                problems.append(f'README.md or {ENDINGS_FILE}: {name}: the README does not give quiet mode\'s '
                                f'line{said} `{line}`')
            # Where the README gives the line with its status, "(80)" or "(status 80)".
            for status in re.findall(re.escape(f'`{line}`') + r' \((?:status )?(\d+)\)', readme):
                if int(status) != ending.quiet:
                    problems.append(f'README.md or {ENDINGS_FILE}: {name}: the README gives `{line}` with status '
                                    f'{status}, the tests {ending.quiet}')
        previous = ending
    return problems


def quoted_report_problems():
    """A quoted text that holds the report's status is the report's text, whole or cut short."""
    report = readme_text(endings.REPORT_TEXT)
    status = str(ENDINGS['RuntimeError'].visible)
    problems = []
    for document in QUOTING_DOCUMENTS:
        text = (SOURCE_ROOT / document).read_text(encoding='utf-8')
        for quoted in re.findall(r'"([^"\n]{1,80})"', text):
            if re.search(rf'\b{status}\b', quoted) and not report.startswith(quoted):
                problems.append(f'{document}: "{quoted}" is not the report\'s text as {ENDINGS_FILE} has it, '
                                f'"{report}" (nor its beginning)')
    return problems


def main():
    readme = (SOURCE_ROOT / 'README.md').read_text(encoding='utf-8')
    problems = test_problems() + readme_problems(readme) + quoted_report_problems()
    for problem in problems:
        print(problem)
    if problems:
        sys.exit(1)
    print(f'{len(ENDINGS)} endings: each run by a test, each as the README says')


if __name__ == '__main__':
    main()
