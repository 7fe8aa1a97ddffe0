"""Unattended runs: on a window station nobody can see (a service's, a task's that runs
whether a user is logged on or not), or with -SILENT, no box is ever shown; each message goes
to standard error and to the event log, and the exit status says what happened. A box there
would never be answered: the driver's time limit then ends the run and the test fails."""
import dataclasses

import endings
import harness
from harness import ProductTest, utf16

EVENTS = {'WINEDEBUG': 'fixme+advapi,err+eventlog,warn+eventlog'}
FOF_ALLOWUNDO_NOCONFIRMATION = 0x0050
FOF_SILENT_NOERRORUI = 0x0004 | 0x0400
UNTOUCHED, GONE, RECYCLED = 'untouched', 'gone', 'recycled'
# How quiet mode comes about: the station alone, the switch alone, both.
MODES = {'invisible station': (True, ''), '-SILENT': (False, '-SILENT '), 'both': (True, '-SILENT ')}


@dataclasses.dataclass
class Row:
    name: str
    ending: str                # its row in endings.py
    arguments: str
    fields: dict = dataclasses.field(default_factory=lambda: {'path': 'x.txt'})  # fill the ending's texts
    after: str = UNTOUCHED
    variant: str = 'default'
    env: dict = dataclasses.field(default_factory=dict)
    readonly: bool = False


ROWS = [
    Row('printed and deleted', 'Printed', '-DELETE x.txt', after=GONE),
    Row('printed and recycled', 'Printed', '-RECYCLE x.txt', after=RECYCLED),
    Row('printed, no switch', 'Printed', 'x.txt'),
    # DeleteFileW refuses a read-only file: printed, but it stays.
    Row('printed, but kept', 'PrintedButKept', '-DELETE x.txt', readonly=True),
    Row('invalid keyword', 'InvalidKeyword', '-Bad x.txt', {'argument': '-Bad'}),
    Row('no input file', 'NoInputFile', '', {}),
    Row('input file does not exist', 'FileNotFound', 'missing.txt', {'path': 'missing.txt'}),
    Row('library missing', 'LibraryMissing', 'x.txt', variant=None),
    Row('entry point missing', 'EntryPointMissing', 'x.txt', variant='no-entry'),
    Row('print failure', 'RuntimeError', '-DELETE x.txt', env={'TAMSEL_RESULT': '0x80004005'}),
    # Faults no frame handler sees (see test_faults): the report, and no hang. With -RECYCLE
    # the library also sets a filter of its own while it loads.
    Row("fault in the library's window procedure", 'RuntimeError', '-DELETE x.txt', env={'TAMSEL_FAULT': 'window'}),
    Row("fault in the library's window procedure, -RECYCLE", 'RuntimeError', '-RECYCLE x.txt',
        env={'TAMSEL_FAULT': 'window', 'TAMSEL_FILTER': '1'}),
    Row('fault on a thread of the library', 'RuntimeError', '-DELETE x.txt', env={'TAMSEL_FAULT': 'thread'}),
    Row('fault on a thread of the library, -RECYCLE', 'RuntimeError', '-RECYCLE x.txt',
        env={'TAMSEL_FAULT': 'thread', 'TAMSEL_FILTER': '1'}),
]


def row_named(name):
    return ROWS[[r.name for r in ROWS].index(name)]


class UnattendedRuns(ProductTest):

    def run_quietly(self, row, arguments, hidden_station, give_stderr=True):
        box = self.sandbox(row.variant)
        box.file('x.txt', b'the input', readonly=row.readonly)
        stderr = box.root / 'stderr.txt' if give_stderr else None
        env = dict(EVENTS, TAMSEL_WATCH='1', **row.env)
        run = box.run(arguments, env=env, hidden_station=hidden_station, stderr=stderr, timeout_ms=15000)
        written = stderr.read_bytes() if give_stderr else None
        return box, run, written

    def assertFileAfter(self, row, box):
        present = (box.work / 'x.txt').exists()
        self.assertEqual(present, row.after == UNTOUCHED, row.after)
        if present:
            self.assertEqual((box.work / 'x.txt').read_bytes(), b'the input')
        self.assertEqual(box.trashed(), ['x.txt'] if row.after == RECYCLED else [])

    def test_every_outcome_in_every_quiet_mode(self):
        for row in ROWS:
            for mode, (hidden_station, switch) in MODES.items():
                with self.subTest(row.name, mode=mode):
                    box, run, written = self.run_quietly(row, switch + row.arguments, hidden_station)
                    self.assertEnding(run, row.ending, True, written, **row.fields)
                    self.assertFileAfter(row, box)

    def test_the_switch_in_any_case_and_after_a_refused_keyword(self):
        cases = [
            Row('lower case', 'FileNotFound', '-silent missing.txt', {'path': 'missing.txt'}),
            Row('mixed case, after the path', 'FileNotFound', 'missing.txt -SiLeNt', {'path': 'missing.txt'}),
            Row('after a refused keyword', 'InvalidKeyword', '-Bad -SILENT', {'argument': '-Bad'}),
            # Standard error gets UTF-8, whatever the ANSI code page.
            Row('a name outside ASCII', 'FileNotFound', '-SILENT Жук.txt', {'path': 'Жук.txt'}),
        ]
        for row in cases:
            with self.subTest(row.name):
                box, run, written = self.run_quietly(row, row.arguments, False)
                self.assertEnding(run, row.ending, True, written, **row.fields)

    def test_without_cause_the_boxes_stay_and_nothing_goes_to_standard_error(self):
        for row in ROWS:
            with self.subTest(row.name):
                box, run, written = self.run_quietly(row, row.arguments, False)
                self.assertEnding(run, row.ending, False, written, **row.fields)
                self.assertFileAfter(row, box)

    def test_kept_file_outside_quiet_mode_says_nothing(self):
        row = row_named('printed, but kept')
        box, run, written = self.run_quietly(row, row.arguments, False)
        self.assertEqual((run.boxes, run.exit, written), ([], endings.ENDINGS[row.ending].visible, b''))
        self.assertTrue((box.work / 'x.txt').exists())

    def test_no_standard_error_given(self):
        # A caller that gives no standard error still gets the status and the event.
        row = row_named('input file does not exist')
        box, run, _ = self.run_quietly(row, row.arguments, True, give_stderr=False)
        self.assertEnding(run, row.ending, True)
        self.assertEqual([e[2] for e in run.reported_events()], [endings.ENDINGS[row.ending].event_id])

    def test_the_shell_is_asked_for_no_window_in_quiet_mode(self):
        # Windows' shell shows progress and error windows unless told not to; Wine's shows
        # none, so the flags are read where the program hands them over.
        for mode, (hidden_station, switch, flags) in {
                'visible': (False, '', FOF_ALLOWUNDO_NOCONFIRMATION),
                'invisible station': (True, '', FOF_ALLOWUNDO_NOCONFIRMATION | FOF_SILENT_NOERRORUI),
                '-SILENT': (False, '-SILENT ', FOF_ALLOWUNDO_NOCONFIRMATION | FOF_SILENT_NOERRORUI)}.items():
            with self.subTest(mode):
                row = row_named('printed and recycled')
                box, run, _ = self.run_quietly(row, switch + row.arguments, hidden_station)
                recycles = run.events_of('recycle')
                self.assertEqual(len(recycles), 1, run.output)
                self.assertEqual(int(recycles[0].fields['flags'], 16), flags)
                self.assertEqual(recycles[0].fields['from'], utf16(str(harness.winpath(box.work / 'x.txt')) + '\0\0'))
                self.assertEqual(box.trashed(), ['x.txt'])

    def test_the_event_comes_before_a_line_that_blocks(self):
        # A caller that gives a pipe and never reads it: a line longer than the pipe's buffer
        # blocks for ever (the driver's time limit ends the run). The event is in by then.
        box = self.sandbox()
        name = 'n' * 200 + '/'
        path = name * 25 + 'missing.txt'
        run = box.run('-SILENT ' + path, env=EVENTS, stderr='pipe', timeout_ms=4000, may_hang=True)
        self.assertEqual(run.boxes, [], run.output)
        self.assertEqual(run.exit, 'timeout', 'the line no longer blocks: this test shows nothing')
        ending = endings.ENDINGS['FileNotFound']
        [(source, kind, event_id, text)] = run.reported_events()
        self.assertEqual((source, kind, event_id), (endings.SOURCE, endings.EVENT_TYPES[ending.event], ending.event_id))
        # Wine's debug output cuts the string; what it shows is the start of the message.
        self.assertTrue(text.endswith('...'), text)
        self.assertTrue(endings.fill(ending.quiet_text, path=path).startswith(text[:-3]), text)

    def test_the_event_names_its_file_also_for_a_path_near_the_longest(self):
        # The event's second string is the input path, noted without the heap; a command line
        # holds at most 32,767 characters with its NUL, the program's own path among them.
        # Wine's debug output shows the start of each string; the unit tests hold the lengths.
        box = self.sandbox()
        stderr = box.root / 'stderr.txt'
        program = f'"{harness.winpath(box.exe)}" -SILENT '
        path = ('n' * 200 + '\\') * ((32766 - len(program) - 11) // 201) + 'missing.txt'
        self.assertGreater(len(program + path), 32766 - 201)
        run = box.run(command_line=program + path, env=EVENTS, stderr=stderr)
        self.assertEqual((run.boxes, run.exit), ([], endings.ENDINGS['FileNotFound'].quiet), run.output)
        self.assertEqual(stderr.read_bytes(), endings.quiet_line('FileNotFound', path=path))
        [(source, kind, event_id, count, (text, noted))] = run.reported_event_strings()
        self.assertEqual((source, event_id, count), (endings.SOURCE, endings.ENDINGS['FileNotFound'].event_id, 2))
        for shown, whole in ((text, endings.fill(endings.ENDINGS['FileNotFound'].quiet_text, path=path)),
                             (noted, path)):
            self.assertTrue(shown.endswith('...'), shown)
            self.assertTrue(whole.startswith(shown[:-3]), shown)

    def test_a_box_of_the_library_nobody_can_see_blocks_the_run(self):
        # What the program cannot prevent: the library's own box on an invisible station is
        # never answered, so the run ends only when the driver's time limit ends it, the file
        # untouched. (The time limit is the test's; Windows sets none.)
        box = self.sandbox()
        box.file('x.txt', b'the input')
        run = box.run('-SILENT -DELETE x.txt', env={'TAMSEL_MODAL': '1'}, hidden_station=True,
                      timeout_ms=4000, may_hang=True)
        self.assertEqual((run.exit, run.boxes), ('timeout', []), run.output)
        self.assertEqual((box.work / 'x.txt').read_bytes(), b'the input')

    def test_log_off_in_quiet_mode_has_a_status_of_its_own(self):
        # The session ends while the library's box is open: nothing was printed, so the status
        # must not be 0, which says printed and disposed of; outside quiet mode it stays 0.
        # Restart Manager's request to close (ENDSESSION_CLOSEAPP) ends the same way, in its
        # own words.
        for switch, close_app, ending in (('-DELETE', False, 'SessionEnded'), ('-RECYCLE', False, 'SessionEnded'),
                                          ('-DELETE', True, 'AskedToClose'), ('-RECYCLE', True, 'AskedToClose')):
            with self.subTest(switch, close_app=close_app):
                box = self.sandbox()
                box.file('x.txt', b'the input')
                stderr = box.root / 'stderr.txt'
                run = box.run(f'-SILENT {switch} x.txt', env=dict(EVENTS, TAMSEL_MODAL='1'),
                              logoff_caption='Tamsel', close_app=close_app, stderr=stderr)
                self.assertEnding(run, ending, True, stderr.read_bytes(), other_boxes=['Tamsel'])
                self.assertEqual((box.work / 'x.txt').read_bytes(), b'the input')
                self.assertEqual(box.trashed(), [])

    def test_an_error_while_the_session_ends_is_reported_quietly(self):
        # As in test_startup: the stand-in breaks the program's DestroyWindow, so the shutdown
        # inside the hidden window's procedure faults; here during the library's own box.
        box = self.sandbox()
        box.file('x.txt', b'the input')
        stderr = box.root / 'stderr.txt'
        run = box.run('-SILENT -DELETE x.txt', env=dict(EVENTS, TAMSEL_MODAL='1', TAMSEL_BREAK='DestroyWindow'),
                      logoff_caption='Tamsel', stderr=stderr, timeout_ms=15000)
        self.assertEnding(run, 'RuntimeError', True, stderr.read_bytes(), other_boxes=['Tamsel'])
        self.assertEqual((box.work / 'x.txt').read_bytes(), b'the input')

    def test_an_escape_after_the_print_tells_a_quiet_caller_the_file_was_kept(self):
        # An allocation that fails during the disposal, after the library printed: to a quiet
        # caller 217 says "not printed", and a batch would print it again. The fault hook
        # fails one HeapAlloc of the executable, from the last call back, until the failure
        # falls after the print; a person at the screen keeps the report.
        def run_with(switch, plan=None):
            box = self.sandbox()
            box.file('x.txt', b'the input')
            stderr = box.root / 'stderr.txt'
            env = dict(EVENTS, BRENHOLD_FAULT=plan) if plan else EVENTS
            run = box.run(f'{switch}-DELETE x.txt', env=env, stderr=stderr, inject=True, timeout_ms=15000)
            return box, run, stderr.read_bytes() if stderr.exists() else b''

        _, clean, _ = run_with('-SILENT ')
        self.assertEqual(clean.exit, 0, clean.output)
        for call in range(clean.fault_counts['HeapAlloc']['calls'], 0, -1):
            plan = f'HeapAlloc:{call}:once:0'
            box, run, written = run_with('-SILENT ', plan)
            if run.exit != 0 and box.spooled():
                break
        else:
            self.fail('no allocation fails after the print')
        self.assertEnding(run, 'ErrorAfterPrint', True, written, path='x.txt')
        self.assertEqual((box.work / 'x.txt').read_bytes(), b'the input')
        box, run, written = run_with('', plan)
        self.assertEnding(run, 'ErrorAfterPrint', False, written)
        self.assertEqual(box.spooled(), ['x.txt'])
        self.assertTrue((box.work / 'x.txt').exists())


if __name__ == '__main__':
    harness.main()
