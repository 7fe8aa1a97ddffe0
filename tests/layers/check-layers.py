#!/usr/bin/env python3
"""Dependencies run one way: app/ -> job/ -> printlib/ -> win32/. A file may include its
own folder and the folders below it, never one above. res/'s build-time generator reads the
process's outcome table. Run with the source root; prints every wrong include and fails."""
import pathlib
import re
import sys

LAYERS = ['app', 'job', 'printlib', 'win32']
ALLOWED = {folder: set(LAYERS[index:]) for index, folder in enumerate(LAYERS)}
ALLOWED['res'] = {'app', 'job'}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def wrong_includes(root):
    for folder, allowed in sorted(ALLOWED.items()):
        for source in sorted((root / folder).glob('*')):
            if source.suffix not in ('.h', '.cpp'):
                continue
            for included in INCLUDE.findall(source.read_text(encoding='utf-8')):
                target = included.split('/')[0] if '/' in included else folder
                if target in LAYERS and target not in allowed:
                    yield f'{source.relative_to(root)} includes "{included}"'


def main():
    root = pathlib.Path(sys.argv[1]).resolve()
    missing = [folder for folder in LAYERS if not (root / folder).is_dir()]
    if missing:
        sys.exit(f'no such folder: {", ".join(missing)}')
    wrong = list(wrong_includes(root))
    for line in wrong:
        print(line)
    sys.exit(1 if wrong else 0)


if __name__ == '__main__':
    main()
