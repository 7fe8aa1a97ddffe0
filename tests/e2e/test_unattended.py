"""Unattended runs: on a window station nobody can see (a service's, a task's that runs
whether a user is logged on or not), or with -SILENT, no box is ever shown; each message goes
to standard error and to the event log, and the exit status says what happened. A box there
would never be answered: the driver's time limit then ends the run and the test fails."""
import dataclasses
import re

import harness
from harness import CAPTION, NO_ENTRY, NO_INPUT, NO_LIBRARY, ProductTest, utf16

SOURCE = 'Brenhold caller'
ERROR, WARNING = 1, 2  # EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE
EVENTS = {'WINEDEBUG': 'fixme+advapi,err+eventlog,warn+eventlog'}
FOF_ALLOWUNDO_NOCONFIRMATION = 0x0050
FOF_SILENT_NOERRORUI = 0x0004 | 0x0400
REPORT = re.compile(r'^Runtime error 217 at [0-9A-F]{16}$')
UNTOUCHED, GONE, RECYCLED = 'untouched', 'gone', 'recycled'
# How quiet mode comes about: the station alone, the switch alone, both.
MODES = {'invisible station': (True, ''), '-SILENT': (False, '-SILENT '), 'both': (True, '-SILENT ')}


@dataclasses.dataclass
class Row:
    name: str
    arguments: str
    status: int
    text: object = None        # the line and event text; None for a print with nothing to say
    event_type: int = ERROR
    after: str = UNTOUCHED
    variant: str = 'default'
    env: dict = dataclasses.field(default_factory=dict)
    readonly: bool = False


ROWS = [
    Row('printed and deleted', '-DELETE x.txt', 0, after=GONE),
    Row('printed and recycled', '-RECYCLE x.txt', 0, after=RECYCLED),
    Row('printed, no switch', 'x.txt', 0),
    # DeleteFileW refuses a read-only file: printed, but it stays.
    Row('printed, but kept', '-DELETE x.txt', 80, 'Input file "x.txt" was printed, but kept.', WARNING,
        readonly=True),
    Row('invalid keyword', '-Bad x.txt', 87, 'Invalid keyword -Bad'),
    Row('no input file', '', 160, NO_INPUT),
    Row('input file does not exist', 'missing.txt', 2, 'Input file "missing.txt" does not exist.'),
    Row('library missing', 'x.txt', 126, NO_LIBRARY, variant=None),
    Row('entry point missing', 'x.txt', 127, NO_ENTRY, variant='no-entry'),
    Row('print failure', '-DELETE x.txt', 217, REPORT, env={'TAMSEL_RESULT': '0x80004005'}),
    # Faults no frame handler sees (see test_faults): the filter's report, and no hang. With
    # -RECYCLE the library also sets a filter of its own while it loads.
    Row("fault in the library's window procedure", '-DELETE x.txt', 217, REPORT, env={'TAMSEL_FAULT': 'window'}),
    Row("fault in the library's window procedure, -RECYCLE", '-RECYCLE x.txt', 217, REPORT,
        env={'TAMSEL_FAULT': 'window', 'TAMSEL_FILTER': '1'}),
    Row('fault on a thread of the library', '-DELETE x.txt', 217, REPORT, env={'TAMSEL_FAULT': 'thread'}),
    Row('fault on a thread of the library, -RECYCLE', '-RECYCLE x.txt', 217, REPORT,
        env={'TAMSEL_FAULT': 'thread', 'TAMSEL_FILTER': '1'}),
]


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

    def assertReported(self, row, run, written):
        if row.text is None:
            self.assertEqual(written, b'')
            self.assertEqual(run.reported_events(), [])
            return
        if isinstance(row.text, re.Pattern):
            self.assertTrue(written.endswith(b'\r\n'), written)
            self.assertRegex(written[:-2].decode('utf-8'), row.text)
            text = written[:-2].decode('utf-8')
        else:
            text = row.text
            self.assertEqual(written, text.encode('utf-8') + b'\r\n')
        self.assertEqual(run.reported_events(), [(SOURCE, row.event_type, row.status, text)])

    def test_every_outcome_in_every_quiet_mode(self):
        for row in ROWS:
            for mode, (hidden_station, switch) in MODES.items():
                with self.subTest(row.name, mode=mode):
                    box, run, written = self.run_quietly(row, switch + row.arguments, hidden_station)
                    self.assertEqual(run.boxes, [], run.output)
                    self.assertEqual(run.exit, row.status, run.output)
                    self.assertReported(row, run, written)
                    self.assertFileAfter(row, box)

    def test_the_switch_in_any_case_and_after_a_refused_keyword(self):
        cases = [
            ('lower case', '-silent missing.txt', 2, 'Input file "missing.txt" does not exist.'),
            ('mixed case, after the path', 'missing.txt -SiLeNt', 2, 'Input file "missing.txt" does not exist.'),
            ('after a refused keyword', '-Bad -SILENT', 87, 'Invalid keyword -Bad'),
            # Standard error gets UTF-8, whatever the ANSI code page.
            ('a name outside ASCII', '-SILENT Жук.txt', 2, 'Input file "Жук.txt" does not exist.'),
        ]
        for name, arguments, status, text in cases:
            with self.subTest(name):
                box, run, written = self.run_quietly(Row(name, arguments, status), arguments, False)
                self.assertEqual(run.boxes, [], run.output)
                self.assertEqual(run.exit, status)
                self.assertEqual(written, text.encode('utf-8') + b'\r\n')
                self.assertEqual([event[3] for event in run.reported_events()], [text])

    def test_without_cause_the_boxes_stay_and_nothing_goes_to_standard_error(self):
        for row in ROWS:
            if row.text is None or row.status == 80:
                continue
            with self.subTest(row.name):
                box, run, written = self.run_quietly(row, row.arguments, False)
                if isinstance(row.text, re.Pattern):
                    self.assertEqual([b.caption for b in run.boxes], ['Error'], run.output)
                    self.assertRegex(run.boxes[0].text, row.text)
                else:
                    self.assertEqual([(b.caption, b.text) for b in run.boxes], [(CAPTION, row.text)], run.output)
                self.assertEqual(run.exit, 217 if row.status == 217 else 0)
                self.assertEqual(written, b'')
                self.assertEqual(run.reported_events(), [])

    def test_kept_file_outside_quiet_mode_says_nothing(self):
        row = ROWS[[r.name for r in ROWS].index('printed, but kept')]
        box, run, written = self.run_quietly(row, row.arguments, False)
        self.assertEqual((run.boxes, run.exit, written), ([], 0, b''))
        self.assertTrue((box.work / 'x.txt').exists())

    def test_no_standard_error_given(self):
        # A caller that gives no standard error still gets the status and the event.
        row = ROWS[[r.name for r in ROWS].index('input file does not exist')]
        box, run, _ = self.run_quietly(row, row.arguments, True, give_stderr=False)
        self.assertEqual((run.boxes, run.exit), ([], 2))
        self.assertEqual([e[2] for e in run.reported_events()], [2])

    def test_the_shell_is_asked_for_no_window_in_quiet_mode(self):
        # Windows' shell shows progress and error windows unless told not to; Wine's shows
        # none, so the flags are read where the program hands them over.
        for mode, (hidden_station, switch, flags) in {
                'visible': (False, '', FOF_ALLOWUNDO_NOCONFIRMATION),
                'invisible station': (True, '', FOF_ALLOWUNDO_NOCONFIRMATION | FOF_SILENT_NOERRORUI),
                '-SILENT': (False, '-SILENT ', FOF_ALLOWUNDO_NOCONFIRMATION | FOF_SILENT_NOERRORUI)}.items():
            with self.subTest(mode):
                row = ROWS[[r.name for r in ROWS].index('printed and recycled')]
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
        [(source, kind, event_id, text)] = run.reported_events()
        self.assertEqual((source, kind, event_id), (SOURCE, ERROR, 2))
        # Wine's debug output cuts the string; what it shows is the start of the message.
        self.assertTrue(text.endswith('...'), text)
        self.assertTrue(f'Input file "{path}" does not exist.'.startswith(text[:-3]), text)

    def test_log_off_in_quiet_mode_has_a_status_of_its_own(self):
        # The session ends while the library's box is open: nothing was printed, so the status
        # must not be 0, which says printed and disposed of; outside quiet mode it stays 0.
        # Restart Manager's request to close (ENDSESSION_CLOSEAPP) ends the same way, in its
        # own words.
        for switch, close_app, text in (
                ('-DELETE', False, 'The session ended before the run was over.'),
                ('-RECYCLE', False, 'The session ended before the run was over.'),
                ('-DELETE', True, 'Windows asked the program to close before the run was over.'),
                ('-RECYCLE', True, 'Windows asked the program to close before the run was over.')):
            with self.subTest(switch, close_app=close_app):
                box = self.sandbox()
                box.file('x.txt', b'the input')
                stderr = box.root / 'stderr.txt'
                run = box.run(f'-SILENT {switch} x.txt', env=dict(EVENTS, TAMSEL_MODAL='1'),
                              logoff_caption='Tamsel', close_app=close_app, stderr=stderr)
                self.assertEqual([b.caption for b in run.boxes], ['Tamsel'], run.output)
                self.assertEqual(run.exit, 1223)
                self.assertEqual(stderr.read_bytes(), text.encode() + b'\r\n')
                self.assertEqual(run.reported_events(), [(SOURCE, ERROR, 1223, text)])
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
        self.assertEqual([b.caption for b in run.boxes], ['Tamsel'], run.output)
        self.assertEqual(run.exit, 217)
        written = stderr.read_bytes()
        self.assertTrue(written.endswith(b'\r\n'), written)
        self.assertRegex(written[:-2].decode(), REPORT)
        self.assertEqual(run.reported_events(), [(SOURCE, ERROR, 217, written[:-2].decode())])
        self.assertEqual((box.work / 'x.txt').read_bytes(), b'the input')

    def test_an_escape_after_the_print_tells_a_quiet_caller_the_file_was_kept(self):
        # An allocation that fails during the disposal, after the library printed: to a quiet
        # caller 217 says "not printed", and a batch would print it again. The fault hook
        # fails one HeapAlloc of the executable, from the last call back, until the failure
        # falls after the print; a person at the screen keeps the report.
        text = 'Input file "x.txt" was printed, but kept.'

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
        self.assertEqual(run.boxes, [], run.output)
        self.assertEqual(run.exit, 80, plan)
        self.assertEqual(written, text.encode() + b'\r\n')
        self.assertEqual(run.reported_events(), [(SOURCE, WARNING, 80, text)])
        self.assertEqual((box.work / 'x.txt').read_bytes(), b'the input')
        box, run, written = run_with('', plan)
        self.assertEqual([b.caption for b in run.boxes], ['Error'], run.output)
        self.assertRegex(run.boxes[0].text, REPORT)
        self.assertEqual((run.exit, written), (217, b''))
        self.assertEqual(box.spooled(), ['x.txt'])
        self.assertTrue((box.work / 'x.txt').exists())


if __name__ == '__main__':
    harness.main()
