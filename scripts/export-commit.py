#!/usr/bin/env python3
"""Writes a commit's own tree into an empty folder, the source a release is built from, and
checks it: `git archive` of the commit, unpacked, must hold every file of the commit with the
commit's very bytes (its blob) and mode, and nothing else.

    export-commit.py CHECKOUT COMMIT FOLDER

`git archive` applies export attributes (`export-ignore`, `export-subst`), line-end and filter
attributes, from the commit's `.gitattributes` and also from the machine's own
(`.git/info/attributes`, the global attributes file), which are no part of the commit: any
file they change, leave out or add makes the export fail, so the release is refused rather
than built from something else. What is not in the commit (a change hidden with
`--skip-worktree` or `--assume-unchanged`, an untracked file, ignored or not) never enters."""
import io
import pathlib
import subprocess
import sys
import tarfile


def git(checkout, *arguments, data=None):
    return subprocess.run(['git', '-C', str(checkout), *arguments], input=data, capture_output=True,
                          check=True).stdout


def export(checkout, commit, folder):
    archive = git(checkout, 'archive', '--format=tar', commit)
    with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
        # Python's tar filters (3.12, and backported) refuse links out of the folder.
        if hasattr(tarfile, 'tar_filter'):
            tar.extractall(folder, filter='tar')
        else:
            tar.extractall(folder)
    listed = git(checkout, 'ls-tree', '-r', '-z', '--full-tree', commit).decode().split('\0')
    expected = {}
    for line in filter(None, listed):
        info, path = line.split('\t', 1)
        mode, kind, blob = info.split()
        expected[path] = (mode, kind, blob)
    written = {str(p.relative_to(folder)) for p in folder.rglob('*') if not p.is_dir() or p.is_symlink()}
    wrong = sorted(written - set(expected))
    wrong += [f'{path}: missing' for path in sorted(set(expected) - written)]
    present = sorted(set(expected) & written)
    if present:
        hashes = git(folder.parent, 'hash-object', '--no-filters', '--stdin-paths',
                     data=''.join(f'{folder / path}\n' for path in present).encode()).decode().split()
        for path, found in zip(present, hashes):
            mode, kind, blob = expected[path]
            file = folder / path
            actual_mode = '120000' if file.is_symlink() else '100755' if file.stat().st_mode & 0o100 else '100644'
            if kind != 'blob' or found != blob or actual_mode != mode:
                wrong.append(f'{path}: not the commit\'s')
    return wrong


def main():
    checkout, commit, folder = pathlib.Path(sys.argv[1]), sys.argv[2], pathlib.Path(sys.argv[3])
    wrong = export(checkout, commit, folder)
    if wrong:
        raise SystemExit('export-commit.py: git archive of the commit does not give its own files (an export, '
                         'line-end or filter attribute of .gitattributes or of .git/info/attributes?):\n  ' +
                         '\n  '.join(wrong))


if __name__ == '__main__':
    main()
