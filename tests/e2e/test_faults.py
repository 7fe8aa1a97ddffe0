"""Bad input and faults through the real executable: one table, each row with the box it
must show, the exit status and what becomes of the input file. Every row closes with the
same check: nothing but the input path is ever removed or recycled, the input path only
after printFile returned success for it, and only while it still holds the tested file."""
import dataclasses
import ntpath
import os
import pathlib

import harness
from harness import ProductTest, winpath

SWITCHES = ('-DELETE', '-RECYCLE', '-DELETE -RECYCLE')
DISPOSED = 'disposed'      # deleted, or recycled with -RECYCLE alone
KEPT = 'kept'
GONE = 'gone'              # gone whatever the switch (the library removed it)
DEEP = '/'.join(['d' * 90, 'e' * 90, 'f' * 90, 'long.txt'])
COMMAND_LINE_LIMIT = 32767  # characters, the terminating NUL included


def longest_command_line(box, switch):
    """A command line of the platform's full length: the switch over and over, then the path."""
    line = f'"{winpath(box.exe)}" x.txt'
    while len(line) + len(switch) + 1 < COMMAND_LINE_LIMIT - 1:
        line += ' ' + switch
    return line.ljust(COMMAND_LINE_LIMIT - 1)


def absolute_input(box, switch):
    return f'"{winpath(box.exe)}" {switch} "{winpath(box.work / "x.txt")}"'


def replace_with_directory_link(box):
    """While the library prints, x.txt becomes a link to a directory that holds a file."""
    (box.work / 'x.txt').unlink()
    os.symlink(box.work / 'target', box.work / 'x.txt')


@dataclasses.dataclass
class Row:
    name: str
    arguments: object          # text after the program, or f(sandbox, switch) -> whole command line
    input: object              # the input path as the product sees it, or f(sandbox) -> path
    # Its row in endings.py, the input filling its text; outside quiet mode a kept file ends
    # as a printed one: no box, status 0.
    ending: str = 'Printed'
    after: object = KEPT       # KEPT, DISPOSED or GONE, or a dict of those by switch
    variant: str = 'default'
    env: dict = dataclasses.field(default_factory=dict)  # values may name {work}, the working folder
    lock: bool = False
    readonly: bool = False
    during: object = None      # f(sandbox) run while the library holds the file


ROWS = [
    Row('missing file', 'missing.txt', 'missing.txt', 'FileNotFound'),
    Row('directory', 'folder', 'folder', 'FileNotFound'),
    Row('wildcard', 'x?txt', 'x?txt', 'FileNotFound'),
    # Wine answers the device NUL as an existing file, so the library is called with "NUL";
    # Windows may answer otherwise, and then the row ends in "does not exist". Either way
    # nothing is removed: the shell is never handed a \\.\ path, and a device has no file
    # ID to compare, so -DELETE keeps it.
    Row('device name', 'NUL', 'NUL'),
    # Found, but the stand-in reads through the 8-bit API, which stops at MAX_PATH.
    Row('path longer than MAX_PATH', DEEP.replace('/', '\\'), DEEP.replace('/', '\\'), 'RuntimeError'),
    Row('command line of 32,767 characters', longest_command_line, 'x.txt', after=DISPOSED),
    # What the shell does with a locked or read-only file under -RECYCLE is Wine's shell's
    # answer here; Windows' shell may refuse where Wine's recycles, or ask, which
    # FOF_NOCONFIRMATION answers, and shows its own error window outside quiet mode. Either
    # way the file is recycled by the shell or stays: the program never removes it another way.
    Row('locked, library succeeds without reading', 'x.txt', 'x.txt', lock=True, env={'TAMSEL_RESULT': '0'}),
    Row('locked, library cannot read it', 'x.txt', 'x.txt', 'RuntimeError', lock=True),
    # DeleteFileW refuses a read-only file; the shell recycles it.
    Row('read-only', 'x.txt', 'x.txt', readonly=True,
        after={'-DELETE': KEPT, '-RECYCLE': DISPOSED, '-DELETE -RECYCLE': KEPT}),
    Row('library deletes the file', 'x.txt', 'x.txt', after=GONE, env={'TAMSEL_ACTION': 'delete'}),
    Row('library renames the file', 'x.txt', 'x.txt', after=GONE, env={'TAMSEL_ACTION': 'rename'}),
    # Another writer changes the file while it prints: what was not printed stays.
    Row('a new file put at the name', 'x.txt', 'x.txt', env={'TAMSEL_ACTION': 'replace'}),
    Row('the file appended to', 'x.txt', 'x.txt', env={'TAMSEL_ACTION': 'append'}),
    # The shell is handed the full path with backslashes, which Windows needs to recycle at all.
    Row('forward slashes', './x.txt', './x.txt', after=DISPOSED),
    Row('dot-dot', 'folder\\..\\x.txt', 'folder\\..\\x.txt', after=DISPOSED),
    Row('forward slashes and dot-dot', 'folder/../x.txt', 'folder/../x.txt', after=DISPOSED),
    # A library that moves the working directory: the relative name would now name
    # elsewhere/x.txt, so nothing is disposed of; an absolute name still names the tested file.
    Row('library moves the working directory', 'x.txt', 'x.txt', env={'TAMSEL_CHDIR': '{work}\\elsewhere'}),
    Row('library moves the working directory, absolute path', absolute_input,
        lambda box: winpath(box.work / 'x.txt'), after=DISPOSED, env={'TAMSEL_CHDIR': '{work}\\elsewhere'}),
    Row('file becomes a directory link', 'x.txt', 'x.txt', after=None, env={'TAMSEL_ACTION': 'pause'},
        during=replace_with_directory_link),
    Row('failure result', 'x.txt', 'x.txt', 'RuntimeError', env={'TAMSEL_RESULT': '0x80070005'}),
    Row('access violation', 'x.txt', 'x.txt', 'RuntimeError', env={'TAMSEL_FAULT': 'access'}),
    Row('divide by zero', 'x.txt', 'x.txt', 'RuntimeError', env={'TAMSEL_FAULT': 'divide'}),
    Row('software exception of the library', 'x.txt', 'x.txt', 'RuntimeError', env={'TAMSEL_FAULT': 'raise'}),
    Row('fault under a foreign filter', 'x.txt', 'x.txt', 'RuntimeError',
        env={'TAMSEL_FAULT': 'access', 'TAMSEL_FILTER': '1'}),
    # Faults that no handler of the program's frames sees: one in the library's own window
    # procedure, which the system swallows (printFile then answers S_OK as if nothing had
    # happened), and one on a thread of the library's own, which would end the process with
    # 0xC0000005. Both end as a fault, also where the library set a filter of its own while it
    # loaded.
    Row("fault in the library's window procedure", 'x.txt', 'x.txt', 'RuntimeError', env={'TAMSEL_FAULT': 'window'}),
    Row('fault on a thread of the library', 'x.txt', 'x.txt', 'RuntimeError', env={'TAMSEL_FAULT': 'thread'}),
    Row('window procedure fault under a foreign filter', 'x.txt', 'x.txt', 'RuntimeError',
        env={'TAMSEL_FAULT': 'window', 'TAMSEL_FILTER': '1'}),
    Row('thread fault under a foreign filter', 'x.txt', 'x.txt', 'RuntimeError',
        env={'TAMSEL_FAULT': 'thread', 'TAMSEL_FILTER': '1'}),
    # A fault the library traps and catches itself is its way of working, not a crash: its
    # answer stands.
    Row('fault the library catches itself', 'x.txt', 'x.txt', 'Printed', after=DISPOSED, env={'TAMSEL_FAULT': 'caught'}),
    Row('no library', 'x.txt', 'x.txt', 'LibraryMissing', variant=None),
    Row('library dependency missing', 'x.txt', 'x.txt', 'LibraryMissing', variant='missing-dependency'),
    Row('no printFile', 'x.txt', 'x.txt', 'EntryPointMissing', variant='no-entry'),
    Row('only PrintFile', 'x.txt', 'x.txt', 'EntryPointMissing', variant='wrong-case'),
    Row('printFile by ordinal only', 'x.txt', 'x.txt', 'EntryPointMissing', variant='ordinal'),
]


def snapshot(folder):
    """Every entry under folder: file contents, 'dir', or the target of a link."""
    entries = {}
    for path in folder.rglob('*'):
        key = str(path.relative_to(folder))
        if path.is_symlink():
            entries[key] = 'link:' + os.readlink(path)
        elif path.is_dir():
            entries[key] = 'dir'
        else:
            entries[key] = path.read_bytes()
    return entries


class BadInputAndFaults(ProductTest):

    def prepare(self, row):
        box = self.sandbox(row.variant)
        box.file('x.txt', b'the input')
        box.file('decoy.txt', b'not to be touched')
        box.file('xatxt', b'matches the wildcard x?txt')
        box.file('target/keep.txt', b'behind the link')
        box.file('elsewhere/x.txt', b'same name, another folder')
        box.file(DEEP, b'deep')
        (box.work / 'folder').mkdir()
        if row.readonly:
            (box.work / 'x.txt').chmod(0o444)
        return box

    def run_row(self, row, switch):
        box = self.prepare(row)
        env = {name: value.format(work=winpath(box.work)) for name, value in row.env.items()}
        env.update(TAMSEL_WATCH='1')
        kwargs = {'env': env, 'lock': box.work / 'x.txt' if row.lock else None}
        if callable(row.arguments):
            kwargs['command_line'] = row.arguments(box, switch)
        else:
            kwargs['arguments'] = f'{switch} {row.arguments}'
        before = snapshot(box.work)
        return box, before, box.run_changing(row.during, **kwargs)

    def assertBoxes(self, row, run, box):
        self.assertEnding(run, row.ending, False, path=row.input(box) if callable(row.input) else row.input)

    def assertInputAfter(self, row, switch, box):
        exists = os.path.lexists(box.work / 'x.txt')
        after = row.after.get(switch) if isinstance(row.after, dict) else row.after
        if after == KEPT:
            self.assertTrue(exists)
        elif after == GONE:
            self.assertFalse(exists)
        elif after == DISPOSED:
            self.assertFalse(exists)
            recycled = switch == '-RECYCLE'
            self.assertEqual(box.trashed(), ['x.txt'] if recycled else [])

    def assertNothingLost(self, row, box, before, run):
        """Only the input path may go, only after printFile returned success for it, and only
        while it holds the tested file: the deletion names it as given, the recycling by its
        full path, and what either removed had the tested bytes (the stand-in reads them at
        the request); a directory link goes only as a link, by RemoveDirectoryW."""
        given = row.input(box) if callable(row.input) else row.input
        full_path = ntpath.normpath(ntpath.join(winpath(box.work), given))
        returned = [e for e in run.events if e.kind in ('return', 'delete', 'rmdir', 'recycle')]
        succeeded = False
        for event in returned:
            if event.kind == 'return':
                succeeded = int(event.fields['result'], 16) < 0x80000000
                continue
            self.assertTrue(succeeded, f'{event.kind} before a successful print')
            path = event.fields['path' if event.kind != 'recycle' else 'from']
            expected = full_path + '\0\0' if event.kind == 'recycle' else given
            self.assertEqual(bytes.fromhex(path).decode('utf-16-le'), expected)
            if event.kind != 'rmdir' and event.fields['ok'] == '1':
                self.assertEqual(event.fields['content'], before['x.txt'].hex(), 'removed what was not tested')
        after = snapshot(box.work)
        library_changed = {'x.txt', 'x.txt.moved'} if row.env.get('TAMSEL_ACTION') else set()
        for entry, content in before.items():
            if entry in {'x.txt', DEEP} | library_changed:
                continue
            self.assertEqual(after.get(entry), content, f'{entry} changed or lost')
        if any(e.kind == 'recycle' for e in returned):
            self.assertLessEqual(set(box.trashed()), {ntpath.basename(full_path)})
        else:
            self.assertEqual(box.trashed(), [])
        if not succeeded:
            self.assertEqual(after.get('x.txt'), before['x.txt'], 'input lost without a successful print')
            self.assertEqual(after.get(DEEP), before[DEEP])

    def test_table(self):
        rows = 0
        for row in ROWS:
            for switch in SWITCHES:
                with self.subTest(row.name, switch=switch):
                    rows += 1
                    box, before, run = self.run_row(row, switch)
                    self.assertBoxes(row, run, box)
                    self.assertInputAfter(row, switch, box)
                    self.assertNothingLost(row, box, before, run)
        print(f'\n{rows} rows')

    def test_the_prefix_runs_with_wines_debugger_off(self):
        # As on a machine where nobody debugs: with winedbg configured, a fault that no handler
        # takes would wait in the debugger, and the driver's time limit would hide what the
        # program did (scripts/wine-prefix.sh sets it).
        registry = (pathlib.Path(os.environ['WINEPREFIX']) / 'system.reg').read_text('utf-8', 'replace')
        key = registry.split('[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\\\AeDebug]', 1)[1]
        values = key.split('\n\n', 1)[0].splitlines()
        self.assertIn('"Debugger"=""', values)

    def test_directory_reparse_point_of_no_link_kind_is_kept(self):
        # -DELETE removes a directory at the name only when its reparse tag says junction or
        # symbolic link. Wine shows a Unix link to a directory as a reparse point with no tag
        # (0), as no Windows volume does: it stands here for any other directory reparse point
        # (a cloud-files placeholder, say), which -DELETE must keep, without a removal call.
        # Junctions and symbolic links going as links are held by the unit tests.
        for switch in ('-DELETE', '-DELETE -RECYCLE'):
            with self.subTest(switch):
                row = ROWS[[r.name for r in ROWS].index('file becomes a directory link')]
                box, _, run = self.run_row(row, switch)
                self.assertEqual((box.work / 'target' / 'keep.txt').read_bytes(), b'behind the link')
                self.assertTrue((box.work / 'x.txt').is_symlink())
                removals = [e.kind for e in run.events if e.kind in ('delete', 'rmdir')]
                self.assertEqual(removals, [])

STATUS_ACCESS_VIOLATION = 0xC0000005
STATUS_STACK_BUFFER_OVERRUN = 0xC0000409  # the status of a process that failed fast
READING_MS = 3000  # a person reads the report for a few seconds before pressing OK
# Wine 10 commits a new thread's whole stack but its last two pages and guards only the one
# above the last: an overflow there leaves no room to hand the exception to anyone, and Wine
# ends that thread alone with this line (virtual_setup_exception in dlls/ntdll/unix/virtual.c,
# "stack overflow on last page, unrecoverable", then abort_thread). No handler or filter of
# the process runs, the library goes on as if its thread had ended, and no program can tell.
# Wine 8 grows such a stack page by page and hands the overflow on, as Windows does with the
# reserve it keeps below the guard page (SetThreadStackGuarantee page; the
# SetUnhandledExceptionFilter page on filters that run on an exhausted stack).
WINE_ENDED_THE_THREAD = 'err:virtual:virtual_setup_exception stack overflow'


@dataclasses.dataclass
class CrashRow:
    """A fault that no frame handler of the printing thread sees, one that the vendor's code
    handles in a way the program must tell apart, or one in the program's own ending. Each runs
    with -DELETE (and with -RECYCLE where the switch matters) shown to a person who reads the
    box for three seconds, and quietly; none may hang."""
    name: str
    env: dict
    ending: str | None         # its row in endings.py; None: Windows ends the process (status)
    removed: bool = False      # the disposal had removed the file when the crash came
    quiet_env: dict = None     # replaces env in quiet mode
    switches: tuple = ('-DELETE',)
    status: int = STATUS_ACCESS_VIOLATION  # where Windows ends the process
    # With -DELETE the ending follows the file: kept (ErrorAfterPrint) where it is still
    # there, as it must be after the older disposition class; removed where it is gone.
    kept_by_the_older_class: bool = False
    # A thread's stack overflow that Wine 10 can end without any exception (WINE_ENDED_THE_THREAD).
    wine_may_end_the_thread: bool = False


CRASH_ROWS = [
    # printFile goes on for 1.5 s after its thread crashed, then answers S_OK: the report box is
    # up on the crashed thread while printFile returns, and nothing is disposed of after it.
    CrashRow('a thread of the library crashes while printFile goes on', {'TAMSEL_FAULT': 'thread-nowait'},
             'RuntimeError'),
    # The crash comes while the shell moves the file: the move cannot be taken back, the ending
    # waits for it and then says that the file is gone.
    CrashRow('a thread of the library crashes while the shell moves the file', {'TAMSEL_FAULT': 'thread-in-disposal'},
             'ErrorAfterRemoval', removed=True, switches=('-RECYCLE',)),
    # The crash comes once the deletion is marked, before the handle that carries the mark
    # closes (the point of no return): the mark is taken back and the printed file kept.
    CrashRow('a thread of the library crashes once the deletion is marked', {'TAMSEL_FAULT': 'thread-in-disposal'},
             'ErrorAfterPrint'),
    # The crash comes while the disposal opens and compares the file: nothing is removed after
    # the ending began.
    CrashRow('a thread of the library crashes while the disposal checks the file',
             {'TAMSEL_FAULT': 'thread-in-checks'}, 'ErrorAfterPrint', switches=('-DELETE', '-RECYCLE')),
    # The program's own removal faults on the main thread once it has done its work (a shell
    # extension failing after the move, say): the ending tells what became of the file, and
    # never says "kept" of a removed one. The shell's move is done: removed. The older
    # deletion class (Wine 8 refuses the POSIX one) only marks the file, to go when the handle
    # closes at the process's end: the ending takes the mark back, and the printed file is
    # kept. A POSIX deletion takes the name at once on Windows (FILE_DISPOSITION_INFORMATION_EX
    # page); Wine 10 takes the class, yet after the mark is taken back the file is still
    # found there: the ending is held to whatever became of the file.
    CrashRow('the removal faults after doing its work', {'TAMSEL_FAULT': 'fault-in-disposal'},
             'ErrorAfterRemoval', removed=True, switches=('-DELETE', '-RECYCLE'),
             kept_by_the_older_class=True),
    # A crashing thread of the library's holds a lock: the loader's (a new thread for the ending
    # would never start), the process heap's (another thread's report would block on it), or
    # one of the library's that its DLL_PROCESS_DETACH takes again (an ExitProcess after the
    # crash would never return). The ending runs on the faulting thread and ends the process
    # without running the library's detach: no hang, the file kept.
    CrashRow('a thread of the library crashes holding the loader lock', {'TAMSEL_FAULT': 'thread-loader-lock'},
             'RuntimeError'),
    CrashRow("a thread of the library crashes holding the heap's lock", {'TAMSEL_FAULT': 'thread-heap-lock'},
             'RuntimeError'),
    CrashRow("a thread of the library crashes while printFile holds a lock its detach takes",
             {'TAMSEL_FAULT': 'thread-library-lock'}, 'RuntimeError'),
    # The filter runs on a stack used up to the guard page.
    CrashRow('a thread of the library overflows its stack', {'TAMSEL_FAULT': 'thread-overflow'}, 'RuntimeError',
             wine_may_end_the_thread=True),
    CrashRow('printFile overflows the stack of its caller', {'TAMSEL_FAULT': 'overflow'}, 'RuntimeError'),
    # A fault while the program shuts down after a confirmed print (the stand-in breaks the
    # program's call that destroys its window, or the one that leaves OLE, as a shell
    # extension's fault there would): told as what it is, after the print, never "kept" of a
    # removed file.
    CrashRow('a fault while the program shuts down after removing the file', {'TAMSEL_BREAK': 'DestroyWindow'},
             'ErrorAfterRemoval', removed=True, switches=('-DELETE', '-RECYCLE')),
    CrashRow('a fault while the program shuts down after a print it was not to remove',
             {'TAMSEL_BREAK': 'OleUninitialize'}, 'ErrorAfterPrint', switches=('',)),
    # Faults the vendor's code handles: the library's own vectored handler, added when it
    # loaded, steps over its fault (the program's watch comes after it in line); a handler in
    # another DLL of the vendor's catches it. The print stands.
    CrashRow("the library's own vectored handler steps over its fault", {'TAMSEL_FAULT': 'stepped'}, 'Printed',
             removed=True),
    CrashRow("another DLL of the library's vendor handles its fault", {'TAMSEL_FAULT': 'helper'}, 'Printed',
             removed=True),
    # Handlers that do not handle: a destructor pending in the library's window procedure (a
    # C++ frame handler) when it faults, which the system then swallows; a fault in a timer
    # callback, which Windows swallows unless told not to.
    CrashRow("a fault in the library's window procedure with a destructor pending",
             {'TAMSEL_FAULT': 'window-cleanup'}, 'RuntimeError'),
    CrashRow("a fault in a timer callback of the library's", {'TAMSEL_FAULT': 'timer'}, 'RuntimeError'),
    # A thread started while the library loads crashes before printFile: the filter is there
    # before the load.
    CrashRow('a thread the library starts as it loads crashes before printFile', {'TAMSEL_FAULT': 'attach-thread'},
             'RuntimeError'),
    # A filter of the library's own around the fault in its window procedure that logs and
    # declines, as a crash logger's does: the system behind it swallows the fault. A filter
    # may decline, so only a constant EXCEPTION_EXECUTE_HANDLER counts as handling there.
    CrashRow("a fault in the library's window procedure under a filter of its own that declines",
             {'TAMSEL_FAULT': 'window-filter'}, 'RuntimeError'),
    # Where nothing of the system's stands behind such a filter (in printFile itself, the
    # program's own frame next), the program's frame judges the fault if it ever gets there:
    # the filter accepts, and the print stands.
    CrashRow('a fault the library catches in printFile under a filter of its own',
             {'TAMSEL_FAULT': 'filter-accepts'}, 'Printed', removed=True),
    # A software exception leaving a callback of the library's into the system is a crash; a C++
    # exception the library throws and catches itself there is its way of working.
    CrashRow("a software exception leaves the library's window procedure", {'TAMSEL_FAULT': 'window-raise'},
             'RuntimeError'),
    CrashRow("a C++ exception the library throws and catches in its window procedure",
             {'TAMSEL_FAULT': 'window-throw'}, 'Printed', removed=True),
    # Writing a debug string raises a software exception that the system catches itself
    # (OutputDebugStringA): no crash.
    CrashRow('the library writes a debug string', {'TAMSEL_FAULT': 'debug-string'}, 'Printed', removed=True),
    # Handled in the library's window procedure, with the system behind: a frame laid out as
    # MSVC lays out a function with __try and a /GS buffer, its handler linked in and exported
    # by no name (the scope table is read by its shape); a vectored handler the library adds
    # during printFile, after the program's watch, that steps over the fault and continues (the
    # watch sees the context continued). The print stands.
    CrashRow("a fault the library catches in its window procedure, in a frame with a linked-in handler (MSVC, /GS)",
             {'TAMSEL_FAULT': 'window-gs-frame'}, 'Printed', removed=True),
    CrashRow("a vectored handler the library adds during printFile steps over its fault in its window procedure",
             {'TAMSEL_FAULT': 'window-stepped'}, 'Printed', removed=True),
    # Failing fast (__fastfail) ends the process at once on Windows 8 and later, no handler or
    # filter run (the __fastfail page): no report, no line, the file untouched.
    CrashRow('the library fails fast', {'TAMSEL_FAULT': 'fastfail'}, None, status=STATUS_STACK_BUFFER_OVERRUN),
    # A fault inside the ending itself (the stand-in breaks the call that shows or writes the
    # report) ends the process with the ending's status, the file kept: no second report, no
    # hang.
    CrashRow('a fault inside the ending of a crash on a thread of the library',
             {'TAMSEL_FAULT': 'thread', 'TAMSEL_BREAK': 'MessageBoxA'}, None, status=217,
             quiet_env={'TAMSEL_FAULT': 'thread', 'TAMSEL_BREAK': 'ReportEventW'}),
    CrashRow('a fault inside the report of a print failure',
             {'TAMSEL_RESULT': '0x80004005', 'TAMSEL_BREAK': 'MessageBoxA'}, None, status=217,
             quiet_env={'TAMSEL_RESULT': '0x80004005', 'TAMSEL_BREAK': 'ReportEventW'}),
]


class CrashesAndHandledFaults(ProductTest):

    def run_crash(self, row, switch, quiet):
        box = self.sandbox()
        box.file('x.txt', b'the input')
        env = dict((row.quiet_env or row.env) if quiet else row.env, TAMSEL_WATCH='1')
        stderr = box.root / 'stderr.txt'
        arguments = f'{"-SILENT " if quiet else ""}{switch} x.txt'
        run = box.run(arguments, env=dict(env, WINEDEBUG='fixme+advapi,err+eventlog,warn+eventlog'),
                      stderr=stderr, read_ms=0 if quiet else READING_MS, timeout_ms=20000)
        return box, run, stderr.read_bytes() if stderr.exists() else b''

    def assertFileAfter(self, row, switch, box):
        if not row.removed:
            self.assertEqual((box.work / 'x.txt').read_bytes(), b'the input')
            self.assertEqual(box.trashed(), [])
            return
        self.assertFalse((box.work / 'x.txt').exists())
        self.assertEqual(box.trashed(), ['x.txt'] if switch == '-RECYCLE' else [])

    def test_table(self):
        only = os.environ.get('BRENHOLD_CRASH_ROWS')
        for row in CRASH_ROWS:
            if only and row.name not in only.split('|'):
                continue
            for switch in row.switches:
                for quiet in (False, True):
                    with self.subTest(row.name, switch=switch, quiet=quiet):
                        box, run, written = self.run_crash(row, switch, quiet)
                        if row.wine_may_end_the_thread and WINE_ENDED_THE_THREAD in run.wine_errors:
                            # Wine's own loss, before anything reached the program: its ending
                            # is held where the exception comes (Wine 8; Windows).
                            self.assertEqual((run.boxes, written), ([], b''), run.output)
                            continue
                        expected = row
                        classes = [e.fields['class'] for e in run.events_of('delete') if e.fields.get('ok') == '1']
                        if row.kept_by_the_older_class and switch == '-DELETE':
                            still_there = (box.work / 'x.txt').exists()
                            if classes == ['legacy']:
                                self.assertTrue(still_there, run.output)
                            if still_there:
                                expected = dataclasses.replace(row, ending='ErrorAfterPrint', removed=False)
                        if expected.ending is None:
                            self.assertEqual((run.exit, run.boxes), (expected.status, []), run.output)
                        else:
                            self.assertEnding(run, expected.ending, quiet, written, path='x.txt')
                        self.assertFileAfter(expected, switch, box)


if __name__ == '__main__':
    harness.main()
