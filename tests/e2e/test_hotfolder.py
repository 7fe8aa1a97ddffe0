"""A hot folder: while the library prints label.txt, the producer puts the next file at the
same name, appends to this one, or puts a directory or a directory link there. Only the
very file that was printed, unchanged, may be deleted or recycled; whatever stands at the
name now stays, with its content, and nothing of it reaches the trash."""
import os

import harness
from endings import quiet_line
from harness import ProductTest

SWITCHES = ('-DELETE', '-RECYCLE', '-DELETE -RECYCLE')
PRINTED = b'the label that was printed'
TARGET = {'target': 'dir', 'target/keep.txt': b'behind the link'}


def link_to_directory(box):
    """Wine cannot make links: the test puts a Unix link to a directory at the name."""
    (box.work / 'label.txt').unlink()
    os.symlink(box.work / 'target', box.work / 'label.txt')


# (change, how the stand-in or the test makes it, what stays in work/ afterwards by switch)
CHANGES = [
    ('nothing changed', {}, None, {s: TARGET for s in SWITCHES}),
    ('a new file at the name', {'TAMSEL_ACTION': 'replace'}, None,
     {s: dict(TARGET, **{'label.txt': b'the next file, never printed'}) for s in SWITCHES}),
    ('appended to', {'TAMSEL_ACTION': 'append'}, None,
     {s: dict(TARGET, **{'label.txt': PRINTED + b' and more, never printed'}) for s in SWITCHES}),
    ('a directory holding a file', {'TAMSEL_ACTION': 'directory'}, None,
     {s: dict(TARGET, **{'label.txt': 'dir', 'label.txt/inside.txt': b'inside the directory'}) for s in SWITCHES}),
    # -DELETE asks for a directory link to go as a link (DeleteFileW, then RemoveDirectoryW),
    # which on Windows removes the link and never its target; Wine's RemoveDirectoryW acts on
    # the target instead, which it cannot remove while it holds a file, so here the link
    # stays under every switch. test_faults checks the requests; the unit tests the rule.
    ('a directory link', {'TAMSEL_ACTION': 'pause'}, link_to_directory,
     {s: dict(TARGET, **{'label.txt': 'link'}) for s in SWITCHES}),
]


def snapshot(folder):
    entries = {}
    for path in sorted(folder.rglob('*')):
        key = str(path.relative_to(folder))
        if path.is_symlink():
            entries[key] = 'link'
        elif path.is_dir():
            entries[key] = 'dir'
        else:
            entries[key] = path.read_bytes()
    return entries


class HotFolder(ProductTest):

    def run_change(self, env, during, switch):
        box = self.sandbox()
        box.file('label.txt', PRINTED)
        box.file('target/keep.txt', b'behind the link')
        return box, box.run_changing(during, arguments=f'{switch} label.txt', env=dict(env, TAMSEL_WATCH='1'))

    def test_only_the_printed_file_goes(self):
        for change, env, during, stays in CHANGES:
            for switch in SWITCHES:
                with self.subTest(change, switch=switch):
                    box, run = self.run_change(env, during, switch)
                    self.assertPrintedQuietly(run)
                    self.assertEqual(run.printed, b'label.txt')
                    # A dangling link reads as 'link' too: the target is checked by content.
                    self.assertEqual(snapshot(box.work), stays[switch], run.output)
                    recycled = change == 'nothing changed' and switch == '-RECYCLE'
                    self.assertEqual(box.trashed(), ['label.txt'] if recycled else [])
                    if recycled:
                        self.assertEqual((box.trash / 'Trash' / 'files' / 'label.txt').read_bytes(), PRINTED)

    def test_quiet_mode_says_printed_but_kept(self):
        for change, env, during, _ in CHANGES[1:4]:
            with self.subTest(change):
                box = self.sandbox()
                box.file('label.txt', PRINTED)
                stderr = box.root / 'stderr.txt'
                run = box.run('-SILENT -DELETE label.txt', env=env, stderr=stderr)
                self.assertEqual((run.boxes, run.exit), ([], 80))
                self.assertEqual(stderr.read_bytes(), quiet_line('PrintedButKept', path='label.txt'))


if __name__ == '__main__':
    harness.main()
