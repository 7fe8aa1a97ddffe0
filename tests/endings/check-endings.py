#!/usr/bin/env python3
"""The tests' table of endings (tests/e2e/endings.py) against the tests that use it and the
README that promises it:

- every ending is named by at least one end-to-end test (a string in a tests/e2e/test_*.py
  that is the ending's name), so that no row is promised and never run;
- README.md's table "What each ending means" has one row per ending, in the same order, keyed
  by the name in its first column, with the same box (its text with PATH for the path and
  -DEL for the refused argument, "none", or "the same report" as the row before), the same
  statuses (the quiet one also in hexadecimal where given) and the same event; and the
  README names each line quiet mode writes in place of a box.

    check-endings.py SOURCE_ROOT"""
import ast
import pathlib
import re
import sys

SOURCE_ROOT = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2])
sys.path.insert(0, str(SOURCE_ROOT / 'tests' / 'e2e'))
import endings  # noqa: E402
from endings import ENDINGS  # noqa: E402

# How the README writes the fields of a text.
README_FIELDS = {'path': 'PATH', 'argument': '-DEL'}
HEADING = '## What each ending means'


def names_used_by_tests():
    used = set()
    for script in sorted((SOURCE_ROOT / 'tests' / 'e2e').glob('test_*.py')):
        tree = ast.parse(script.read_text(encoding='utf-8'))
        used |= {node.value for node in ast.walk(tree) if isinstance(node, ast.Constant) and isinstance(node.value, str)}
    return used


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
        return [] if cell == 'none' else [f'{name}: the README shows a box ({cell}), the tests expect none']
    if cell == 'the same report':
        if previous is None or (previous.box, previous.caption) != (ending.box, ending.caption):
            return [f'{name}: "the same report" in the README, but the row before has another box']
        return []
    text = endings.fill(ending.box, **README_FIELDS)
    quoted = re.findall(r'"([^"]*)"|`([^`]*)`', cell)
    shown = [a or b for a, b in quoted]
    problems = []
    if '{address}' in text:
        if text.split('{address}')[0] not in shown:
            problems.append(f'{name}: the README\'s box {cell!r} does not begin as {text!r}')
    elif text not in shown:
        problems.append(f'{name}: the README\'s box {cell!r}, the tests expect {text!r}')
    if ending.caption != endings.CAPTION and f'caption "{ending.caption}"' not in cell:
        problems.append(f'{name}: the README does not give the caption "{ending.caption}"')
    return problems


def status_problems(name, expected, cell, column):
    match = re.match(r'^(\d+)(?: = 0x([0-9A-F]+))?', cell)
    if not match:
        return [f'{name}: no status in the README\'s {column} cell {cell!r}']
    problems = []
    if int(match.group(1)) != expected:
        problems.append(f'{name}: {column} {match.group(1)} in the README, {expected} in the tests')
    if match.group(2) and int(match.group(2), 16) != int(match.group(1)):
        problems.append(f'{name}: {match.group(1)} is not 0x{match.group(2)}')
    return problems


def main():
    problems = []
    used = names_used_by_tests()
    for name in ENDINGS:
        if name not in used:
            problems.append(f'{name}: no end-to-end test runs this ending (no tests/e2e/test_*.py names it)')

    readme = (SOURCE_ROOT / 'README.md').read_text(encoding='utf-8')
    header, rows = readme_rows(readme)
    if header[0] != 'ending':
        problems.append(f'the README\'s table of endings has no first column "ending": {header}')
    named = [row[header[0]].strip('`') for row in rows]
    if named != list(ENDINGS):
        problems.append(f'the README\'s endings {named} are not the tests\' {list(ENDINGS)}, in that order')
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
            problems.append(f'{name}: event {row["event"]!r} in the README, {ending.event or "none"!r} in the tests')
        if ending.quiet_text not in (None, ending.box):
            line = endings.fill(ending.quiet_text, **README_FIELDS)
            if f'`{line}`' not in readme:
                problems.append(f'{name}: the README does not give quiet mode\'s line `{line}`')
        previous = ending

    for problem in problems:
        print(problem)
    if problems:
        sys.exit(1)
    print(f'{len(ENDINGS)} endings: each run by a test, each as the README says')


if __name__ == '__main__':
    main()
