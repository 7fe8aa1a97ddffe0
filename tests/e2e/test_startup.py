"""Start-up, shutdown, the report of an escaped error and log-off, through the real
executable under Wine."""
import endings
import harness
from endings import ENDINGS
from harness import CAPTION, NO_INPUT, WINDOW_CLASS, ProductTest, address_after_call

REPORT = endings.pattern(ENDINGS['RuntimeError'].box)
WS_DISABLED = 0x08000000
WS_EX_TOOLWINDOW = 0x80
HIDDEN_WINDOW_STYLE = 0x84CA0000
MXCSR_STATUS_FLAGS = 0x3F


class StartupTest(ProductTest):

    def assertReport(self, run):
        """The one box is the report, unowned, after the hidden window is gone; exit 217."""
        self.assertEnding(run, 'RuntimeError', False)
        report = run.boxes[0]
        self.assertFalse(report.owned)
        self.assertNotIn(WINDOW_CLASS, report.others)
        return int(REPORT.match(report.text).group('address'), 16)


class ThreadOfTheLibrary(StartupTest):

    def test_single_threaded_apartment_user_locale_and_mxcsr(self):
        box = self.sandbox()
        box.file('x.txt')
        run = box.run('x.txt')
        [call] = run.events_of('print')
        self.assertEqual(call.fields['apartment'], '3')  # APTTYPE_MAINSTA
        self.assertEqual(call.fields['locale'], call.fields['userlocale'])
        self.assertEqual(int(call.fields['mxcsr'], 16) & ~MXCSR_STATUS_FLAGS, 0x1900)
        # Set before the library is loaded: its DllMain runs with it too.
        [attach] = run.events_of('attach')
        self.assertEqual(int(attach.fields['mxcsr'], 16) & ~MXCSR_STATUS_FLAGS, 0x1900)


    def test_critical_error_boxes_fail_only_where_nobody_can_answer_them(self):
        # Windows' own boxes (a bad image, no disk in the drive, Windows Error Reporting's
        # dialog for a fault nobody handled) would wait for ever where nobody sees them; Wine
        # never shows them, so the error mode the library runs with is read. A person at the
        # screen keeps them.
        SEM_FAILCRITICALERRORS, SEM_NOGPFAULTERRORBOX = 0x1, 0x2
        for name, arguments, hidden_station, quiet in (('shown', 'x.txt', False, False),
                                                       ('-SILENT', '-SILENT x.txt', False, True),
                                                       ('invisible station', 'x.txt', True, True)):
            with self.subTest(name):
                box = self.sandbox()
                box.file('x.txt')
                run = box.run(arguments, hidden_station=hidden_station)
                [call] = run.events_of('print')
                mode = int(call.fields['errormode'], 16)
                self.assertEqual(mode & SEM_FAILCRITICALERRORS, int(quiet))
                self.assertEqual(mode & SEM_NOGPFAULTERRORBOX, SEM_NOGPFAULTERRORBOX * int(quiet))


class HiddenWindow(StartupTest):

    def test_owner_of_the_job_boxes(self):
        # (executable's file name, window title)
        for exe_name, title in [('Brenhold.exe', 'Brenhold'), ('PRINT.Caller.EXE', 'Print'),
                                ('ÉTAT-Imprimer.exe', 'État-imprimer')]:
            with self.subTest(exe_name):
                box = self.sandbox(exe_name=exe_name)
                run = box.run('')
                self.assertEqual([b.text for b in run.boxes], [NO_INPUT])
                owner = run.boxes[0]
                self.assertTrue(owner.owned)
                self.assertEqual(owner.owner_class, WINDOW_CLASS)
                self.assertEqual(owner.owner_title, title)
                self.assertFalse(owner.owner_visible)
                cx, cy = run.screen
                self.assertEqual(owner.owner_rect, (cx // 2, cy // 2, cx // 2, cy // 2))
                # The box disables its owner while it is open.
                self.assertEqual(owner.owner_style & ~WS_DISABLED, HIDDEN_WINDOW_STYLE)
                self.assertTrue(owner.owner_exstyle & WS_EX_TOOLWINDOW)


    def test_title_from_a_path_cut_at_256_characters(self):
        # Wine fills all 256 characters of the buffer and adds no NUL (as Windows XP did);
        # Vista and later keep 255 and a NUL (GetModuleFileNameW's page): either title is
        # right, and the unit test of the rule holds both shapes. Wine starts no program
        # from a path longer than 259 characters, so the cut falls in a name without an
        # extension.
        name = 'Brenhold-caller'
        probe = self.sandbox()
        folder = 259 - len(harness.winpath(probe.root)) - 2 - len(name)
        box = self.sandbox(exe_name=name, app_name='a' * folder)
        self.assertEqual(len(harness.winpath(box.exe)), 259)
        run = box.run('')
        self.assertEqual(len(run.boxes), 1, run.output)
        self.assertIn(run.boxes[0].owner_title, ('Brenhold-cal', 'Brenhold-ca'))


class PrintFailure(StartupTest):

    def test_failure_result_is_reported_and_the_file_kept(self):
        expected = address_after_call('callPrintFile', 'checkPrintResult')
        addresses = set()
        for result in ('0x80004005', '0x8FFF0001'):
            for switch in ('-DELETE', '-RECYCLE'):
                with self.subTest(result, switch=switch):
                    box = self.sandbox()
                    box.file('x.txt')
                    run = box.run(f'{switch} x.txt', env={'TAMSEL_RESULT': result})
                    address = self.assertReport(run)
                    self.assertEqual(hex(address), hex(expected))
                    addresses.add(address)
                    self.assertTrue((box.work / 'x.txt').exists())
                    self.assertEqual(box.trashed(), [])
                    self.assertEqual([e.fields['by'] for e in run.events_of('detach')], ['process-exit'])
        self.assertEqual(len(addresses), 1, 'every failure code gives the same report')


class FaultInsideTheLibrary(StartupTest):

    def test_fault_is_reported_with_its_address_in_the_library(self):
        for fault in ('access', 'divide'):
            for own_filter in ('', '1'):
                for switch in ('-DELETE', '-RECYCLE'):
                    with self.subTest(fault, library_filter=bool(own_filter), switch=switch):
                        box = self.sandbox()
                        box.file('x.txt')
                        run = box.run(f'{switch} x.txt', env={'TAMSEL_FAULT': fault, 'TAMSEL_FILTER': own_filter})
                        address = self.assertReport(run)
                        [attach] = run.events_of('attach')
                        base, size = int(attach.fields['base'], 16), int(attach.fields['size'], 16)
                        self.assertTrue(base <= address < base + size, hex(address))
                        self.assertTrue((box.work / 'x.txt').exists())
                        self.assertEqual(box.trashed(), [])
                        self.assertEqual(run.events_of('foreign-filter'), [])


class LogOff(StartupTest):
    """The stand-in library, kept loaded, notes the process's windows when it is loaded and
    logs how many are left at process exit: the log-off must shut down (the hidden window
    destroyed) before it ends the process. COM's state is no signal under Wine, whose input
    method initialises COM again inside a message box."""

    def assertShutDown(self, run):
        [noted] = [e.fields['noted'].split(',') for e in run.events_of('windows')]
        [left] = [e.fields['windows-left'].split(',') for e in run.events_of('exit')]
        self.assertIn(WINDOW_CLASS, noted)
        self.assertNotIn(WINDOW_CLASS, left)

    def test_log_off_during_a_box_of_the_job(self):
        box = self.sandbox()
        run = box.run('', logoff_caption=CAPTION)
        self.assertEqual(run.query_answers, ['1'])
        self.assertEnding(run, 'NoInputFile', False)
        # A box of the job shown after the library was loaded and unloaded again.
        box = self.sandbox('no-entry')
        box.file('x.txt')
        run = box.run('-DELETE x.txt', logoff_caption=CAPTION, env={'TAMSEL_WINDOWS': '1'})
        self.assertEqual(run.query_answers, ['1'])
        self.assertEnding(run, 'EntryPointMissing', False)
        self.assertShutDown(run)

    def test_log_off_while_the_library_shows_its_own_box(self):
        for switch in ('-DELETE', '-RECYCLE'):
            with self.subTest(switch):
                box = self.sandbox()
                box.file('x.txt')
                run = box.run(f'{switch} x.txt', env={'TAMSEL_MODAL': '1', 'TAMSEL_WINDOWS': '1'},
                              logoff_caption='Tamsel')
                self.assertEqual(run.query_answers, ['1'])
                self.assertEnding(run, 'SessionEnded', False, other_boxes=['Tamsel'])
                self.assertShutDown(run)
                self.assertTrue((box.work / 'x.txt').exists())
                self.assertEqual(box.trashed(), [])

    def test_asked_to_close_ends_as_a_log_off_does(self):
        # Restart Manager's WM_QUERYENDSESSION and WM_ENDSESSION carry ENDSESSION_CLOSEAPP
        # when an installer must replace a file the process uses: the same ending as a
        # log-off, during the library's box as during one of the job's.
        for switch in ('-DELETE', '-RECYCLE'):
            with self.subTest(switch):
                box = self.sandbox()
                box.file('x.txt')
                run = box.run(f'{switch} x.txt', env={'TAMSEL_MODAL': '1', 'TAMSEL_WINDOWS': '1'},
                              logoff_caption='Tamsel', close_app=True)
                self.assertEqual(run.query_answers, ['1'])
                self.assertEqual([b.caption for b in run.boxes], ['Tamsel'])
                self.assertEqual(run.exit, 0)
                self.assertShutDown(run)
                self.assertTrue((box.work / 'x.txt').exists())
                self.assertEqual(box.trashed(), [])
        box = self.sandbox()
        run = box.run('', logoff_caption=CAPTION, close_app=True)
        self.assertEqual(([b.text for b in run.boxes], run.exit), ([NO_INPUT], 0))

    def test_an_error_while_the_session_ends_is_reported_not_lost(self):
        # The shutdown of a log-off runs inside the hidden window's procedure, which the
        # system calls back: an error there must not leave it (64-bit Windows swallows it or
        # ends the process unreported, the WNDPROC page says; Wine swallows it, and the run
        # would then sit in the unanswered box for ever). The stand-in breaks the program's
        # DestroyWindow, so the shutdown faults.
        box = self.sandbox('no-entry')
        box.file('x.txt')
        run = box.run('-DELETE x.txt', logoff_caption=CAPTION, env={'TAMSEL_BREAK': 'DestroyWindow'})
        self.assertEqual(run.query_answers, ['1'])
        self.assertEqual([b.caption for b in run.boxes], [CAPTION, 'Error'], run.output)
        self.assertRegex(run.boxes[1].text, REPORT)
        self.assertEqual(run.exit, 217)
        self.assertTrue((box.work / 'x.txt').exists())

    def test_end_session_without_ending_changes_nothing(self):
        box = self.sandbox()
        box.file('x.txt')
        run = box.run('-DELETE x.txt', env={'TAMSEL_MODAL': '1'}, endsession_zero=True)
        self.assertEqual(run.query_answers, ['1'])
        self.assertEnding(run, 'Printed', False, other_boxes=['Tamsel'])
        self.assertFalse((box.work / 'x.txt').exists())
        box = self.sandbox()
        run = box.run('', endsession_zero=True)
        self.assertEnding(run, 'NoInputFile', False)


class BatchCaller(StartupTest):
    """A batch file that waits for the program and passes its exit status on."""

    BATCH = '@echo off\r\nstart "" /wait "{exe}" %*\r\nexit /b %ERRORLEVEL%\r\n'

    def test_batch_file_sees_the_exit_status(self):
        # (switches, print library result, the ending whose status the batch file sees, file kept, boxes)
        for switches, result, ending, kept, boxes in [('-DELETE', '0', 'Printed', False, []),
                                                      ('-DELETE', '0x80004005', 'RuntimeError', True, ['Error']),
                                                      ('-SILENT -DELETE', '0x80004005', 'RuntimeError', True, [])]:
            status = ENDINGS[ending].quiet if '-SILENT' in switches else ENDINGS[ending].visible
            with self.subTest(switches, result=result):
                box = self.sandbox()
                box.file('x.txt')
                script = box.work / 'print.bat'
                script.write_text(self.BATCH.format(exe=harness.winpath(box.exe)), newline='')
                run = box.run(command_line=f'cmd.exe /c {harness.winpath(script)} {switches} x.txt',
                              exe='C:\\windows\\system32\\cmd.exe', watch_tree=True,
                              env={'TAMSEL_RESULT': result})
                self.assertEqual(run.exit, status, run.output)
                self.assertEqual((box.work / 'x.txt').exists(), kept)
                self.assertEqual([b.caption for b in run.boxes], boxes)

    def test_batch_file_waits_and_captures_standard_error(self):
        # The README's batch caller: inside a batch file cmd waits for a GUI program (start's
        # own help says so), and `2>` gives it a standard error for quiet mode's line.
        batch = '@echo off\r\n"{exe}" %* {redirect} err.txt\r\nexit /b %ERRORLEVEL%\r\n'
        for redirect, arguments, result, ending, fields in [
                ('2>', '-SILENT -DELETE x.txt', '0x80004005', 'RuntimeError', {}),
                ('2>>', '-SILENT missing.txt', '0', 'FileNotFound', {'path': 'missing.txt'})]:
            status = ENDINGS[ending].quiet
            with self.subTest(arguments, redirect=redirect):
                box = self.sandbox()
                box.file('x.txt')
                script = box.work / 'print.bat'
                script.write_text(batch.format(exe=harness.winpath(box.exe), redirect=redirect), newline='')
                run = box.run(command_line=f'cmd.exe /c {harness.winpath(script)} {arguments}',
                              exe='C:\\windows\\system32\\cmd.exe', watch_tree=True,
                              env={'TAMSEL_RESULT': result})
                self.assertEqual((run.exit, run.boxes), (status, []), run.output)
                written = (box.work / 'err.txt').read_text()
                self.assertTrue(written.endswith('\n'), written)
                self.assertRegex(written[:-1], endings.pattern(ENDINGS[ending].quiet_text, **fields))
                self.assertTrue((box.work / 'x.txt').exists())


class ReadmeRecipes(StartupTest):
    """The README's batch files, run as written under Wine's cmd: only the program's and the
    log folder's paths are the sandbox's."""

    PROGRAM = 'C:\\Program Files\\Brenhold\\Brenhold.exe'
    LOGDIR = 'C:\\ProgramData\\Brenhold'

    def recipe(self, box, logdir, marker='set "LOGDIR='):
        script = box.work / 'print.cmd'
        text = harness.readme_block(marker)
        self.assertIn(self.PROGRAM, text)
        self.assertIn(self.LOGDIR, text)
        text = text.replace(self.PROGRAM, harness.winpath(box.exe)).replace(self.LOGDIR, harness.winpath(logdir))
        script.write_text(text.replace('\n', '\r\n'), newline='')
        return script

    def run_batch(self, box, script, arguments, result=None):
        """Without a result the stand-in prints into its spool folder."""
        return box.run(command_line=f'cmd.exe /c {harness.winpath(script)} {arguments}',
                       exe='C:\\windows\\system32\\cmd.exe', watch_tree=True,
                       env={'TAMSEL_RESULT': result} if result else {})

    def test_the_recipe_makes_its_missing_log_folder_and_passes_the_status_on(self):
        # A cmd that cannot open the file after 2>> runs nothing and leaves %ERRORLEVEL% as it
        # was: without its folder the log would turn a file never printed into a success.
        # (library result, status, file kept, line logged)
        for result, status, kept, line in [(None, 0, False, None),
                                           ('0x80004005', 217, True, r'^Runtime error 217 at [0-9A-F]{16}\n$')]:
            with self.subTest(result=result):
                box = self.sandbox()
                box.file('x.txt')
                logdir = box.root / 'logs' / 'Brenhold'
                run = self.run_batch(box, self.recipe(box, logdir), 'x.txt', result)
                self.assertEqual((run.exit, run.boxes), (status, []), run.output)
                self.assertEqual((box.work / 'x.txt').exists(), kept)
                self.assertTrue(logdir.is_dir())
                self.assertRegex((logdir / 'errors.log').read_text(), line or r'^$')

    def test_a_log_folder_that_cannot_be_made_fails_the_batch_before_the_program_runs(self):
        box = self.sandbox()
        box.file('x.txt')
        (box.root / 'logs').write_text('a file where the folder should be')
        run = self.run_batch(box, self.recipe(box, box.root / 'logs' / 'Brenhold'), 'x.txt')
        self.assertEqual(run.exit, 3, run.output)
        self.assertEqual(run.events_of('print'), [])
        self.assertTrue((box.work / 'x.txt').exists())

    def test_a_log_that_cannot_be_opened_fails_the_batch_before_the_program_runs(self):
        # A log name that cannot be opened for writing: here a folder of that name (Wine, run
        # as root here, writes a read-only file all the same).
        box = self.sandbox()
        box.file('x.txt')
        logdir = box.root / 'logs'
        (logdir / 'errors.log').mkdir(parents=True)
        run = self.run_batch(box, self.recipe(box, logdir), 'x.txt', '0x80004005')
        self.assertEqual(run.exit, 3, run.output)
        self.assertEqual(run.events_of('print'), [])
        self.assertTrue((box.work / 'x.txt').exists())

    def test_the_library_s_own_standard_error_lands_in_the_same_log(self):
        box = self.sandbox()
        box.file('x.txt')
        logdir = box.root / 'logs'
        run = box.run(command_line=f'cmd.exe /c {harness.winpath(self.recipe(box, logdir))} x.txt',
                      exe='C:\\windows\\system32\\cmd.exe', watch_tree=True,
                      env={'TAMSEL_RESULT': '0x80004005', 'TAMSEL_STDERR': 'Tamsel: no printer'})
        self.assertEqual((run.exit, run.boxes), (217, []), run.output)
        self.assertRegex((logdir / 'errors.log').read_text(),
                         r'^Tamsel: no printer\nRuntime error 217 at [0-9A-F]{16}\n$')

    def test_without_the_preset_status_a_failure_reads_as_success(self):
        # What the recipe's third and fourth lines are for, shown without them: the
        # redirection fails, the program never runs, and the batch file ends 0.
        box = self.sandbox()
        box.file('x.txt')
        script = self.recipe(box, box.root / 'missing')
        lines = script.read_bytes().decode().split('\r\n')
        script.write_text('\r\n'.join([lines[0], lines[1]] + lines[4:]), newline='')
        run = self.run_batch(box, script, 'x.txt', '0x80004005')
        self.assertEqual(run.exit, 0, run.output)
        self.assertEqual(run.events_of('print'), [])
        self.assertTrue((box.work / 'x.txt').exists())

    def test_a_for_loop_prints_every_file(self):
        box = self.sandbox()
        out = box.work / 'out'
        for name in ('a.pdf', 'b c.pdf'):
            box.file(f'out/{name}', name.encode())
        printer = self.recipe(box, box.root / 'logs')
        loop = box.work / 'many.cmd'
        text = harness.readme_block('for %%F in')
        text = text.replace('D:\\Out', harness.winpath(out)).replace('C:\\Scripts\\print.cmd', harness.winpath(printer))
        loop.write_text(('@echo off\n' + text).replace('\n', '\r\n'), newline='')
        run = self.run_batch(box, loop, '')
        self.assertEqual((run.exit, run.boxes), (0, []), run.output)
        self.assertEqual(sorted(p.name for p in out.iterdir()), [])
        self.assertEqual(box.spooled(), ['a.pdf', 'b c.pdf'])
        self.assertEqual((box.root / 'logs' / 'errors.log').read_text(), '')


if __name__ == '__main__':
    harness.main()
