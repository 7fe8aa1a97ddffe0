"""What the README shows of the command line, run as written: its usage line and switches, and
its batch files under Wine's cmd (a task's print script with its log folder, a for loop over
a folder). The text is read from README.md itself, so a recipe changed there is the recipe
tested here."""
import itertools
import os
import re
import subprocess

import endings
import harness
from endings import ENDINGS
from harness import SOURCE_ROOT, ProductTest

README = SOURCE_ROOT / 'README.md'
# The switches as the parser spells them: the README must name each, and no other.
SWITCHES = re.findall(r'k\w*Switch\[\] = L"(-\w+)"', (SOURCE_ROOT / 'job' / 'CommandLine.cpp').read_text())


class Documents(ProductTest):

    def test_the_index_of_documents_names_each_shipped_document(self):
        text = README.read_text(encoding='utf-8')
        lines = text[text.index('**Documents**'):].splitlines()
        start = next(i for i, line in enumerate(lines) if line.startswith('|'))
        rows = [line for line in itertools.takewhile(lambda line: line.startswith('|'), lines[start + 2:])]
        named = {name for row in rows for name in re.findall(r'[A-Z][A-Z-]*\.(?:md|txt)', row.split('|')[1])}
        self.assertEqual(named, {document.name for document in harness.DOCUMENTS},
                         'README.md\'s table under "Documents" and DOCUMENTS in tests/e2e/harness.py name other '
                         'files: a shipped document is a row there too')


class Usage(ProductTest):

    def test_the_usage_line_and_its_list_name_every_switch_and_each_is_taken(self):
        text = README.read_text(encoding='utf-8')
        usage = re.search(r'^    Brenhold\.exe (.*) PATH$', text, re.M)
        self.assertIsNotNone(usage, 'README.md: no usage line "    Brenhold.exe ... PATH" under "Command line"')
        named = re.findall(r'\[(-\w+)\]', usage.group(1))
        self.assertEqual(sorted(named), sorted(SWITCHES),
                         'README.md\'s usage line names other switches than job/CommandLine.cpp spells')
        for switch in named:
            with self.subTest(switch):
                self.assertRegex(text, rf'(?m)^- `{switch}`: ', f'README.md: no item "- `{switch}`: " under the '
                                                                 f'usage line')
                box = self.sandbox()
                box.file('x.txt')
                self.assertPrintedQuietly(box.run(f'{switch.lower()} x.txt'))


class ReadmeRecipes(ProductTest):
    """The README's batch files, run as written under Wine's cmd: only the program's and the
    log folder's paths are the sandbox's."""

    PROGRAM = 'C:\\Program Files\\Brenhold\\Brenhold.exe'
    LOGDIR = 'C:\\ProgramData\\Brenhold'
    LOG = 'print.log'
    # The batch file's own line after each run: date and time as cmd gives them, the status,
    # the file as it was given.
    OUTCOME = re.compile(r'^(?P<when>\S.*\S) status (?P<status>\d+) "(?P<path>[^"]*)"$')

    def assertOutcomeLines(self, lines, expected):
        """lines: the log's lines that the batch file wrote; expected: (status, path) each."""
        found = [self.OUTCOME.match(line) for line in lines]
        self.assertTrue(all(found), lines)
        self.assertEqual([(int(m.group('status')), m.group('path')) for m in found], expected)
        for match in found:
            self.assertRegex(match.group('when'), r'\d')

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
        # (library result, the ending, in quiet mode: the recipe passes -SILENT; file kept)
        for result, ending, kept in [(None, 'Printed', False), ('0x80004005', 'RuntimeError', True)]:
            with self.subTest(result=result):
                box = self.sandbox()
                box.file('x.txt')
                logdir = box.root / 'logs' / 'Brenhold'
                run = self.run_batch(box, self.recipe(box, logdir), 'x.txt', result)
                self.assertEqual((run.exit, run.boxes), (ENDINGS[ending].quiet, []), run.output)
                self.assertEqual((box.work / 'x.txt').exists(), kept)
                self.assertTrue(logdir.is_dir())
                logged = (logdir / self.LOG).read_bytes().decode()
                self.assertTrue(logged.endswith('\r\n'), logged)
                *program, outcome = logged[:-2].split('\r\n')
                # The program's line, where it wrote one, then the batch file's.
                if ENDINGS[ending].quiet_text is None:
                    self.assertEqual(program, [])
                else:
                    [line] = program
                    self.assertRegex(line, endings.pattern(ENDINGS[ending].quiet_text))
                self.assertOutcomeLines([outcome], [(ENDINGS[ending].quiet, 'x.txt')])

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
        (logdir / self.LOG).mkdir(parents=True)
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
        self.assertEqual((run.exit, run.boxes), (ENDINGS['RuntimeError'].quiet, []), run.output)
        logged = (logdir / self.LOG).read_text()
        self.assertTrue(logged.endswith('\n'), logged)
        library, program, outcome = logged[:-1].split('\n')
        self.assertEqual(library, 'Tamsel: no printer')
        self.assertRegex(program, endings.pattern(ENDINGS['RuntimeError'].quiet_text))
        self.assertOutcomeLines([outcome], [(ENDINGS['RuntimeError'].quiet, 'x.txt')])

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

    def test_a_run_ended_by_taskkill_keeps_its_file_and_passes_on_the_tool_s_status(self):
        # What the README tells a script's author: Wine's own `taskkill /f` ends the run while
        # the library prints; the file stays as it was, and the batch file logs and passes on
        # the status the tool left, which Wine 8's makes 0, a printed file's status. The
        # program has a name of its own here, so that no other test's run is ended.
        box = self.sandbox(exe_name='BrenholdEnded.exe')
        box.file('x.txt', b'the input')
        logdir = box.root / 'logs'
        script = self.recipe(box, logdir)

        def end_it(_):
            ended = subprocess.run(['wine', 'taskkill', '/f', '/im', 'BrenholdEnded.exe'], capture_output=True,
                                   env=dict(os.environ, WINEDEBUG='-all'), timeout=60)
            self.assertEqual(ended.returncode, 0, ended)

        run = box.run_changing(end_it, env={'TAMSEL_ACTION': 'pause'}, command_line=f'cmd.exe /c {harness.winpath(script)} x.txt',
                               exe='C:\\windows\\system32\\cmd.exe', watch_tree=True)
        self.assertEqual(run.boxes, [], run.output)
        self.assertEqual((box.work / 'x.txt').read_bytes(), b'the input')
        lines = (logdir / self.LOG).read_bytes().decode().split('\r\n')
        self.assertEqual(lines[-1], '')
        self.assertOutcomeLines(lines[:-1], [(run.exit, 'x.txt')])
        wine = subprocess.run(['wine', '--version'], capture_output=True, text=True).stdout
        if wine.startswith('wine-8.'):
            self.assertEqual(run.exit, 0)

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
        # No line of the program's (both printed); one of the batch file's for each file.
        lines = (box.root / 'logs' / self.LOG).read_bytes().decode().split('\r\n')
        self.assertEqual(lines[-1], '')
        self.assertOutcomeLines(lines[:-1], [(0, harness.winpath(out / name)) for name in ('a.pdf', 'b c.pdf')])

if __name__ == '__main__':
    harness.main()
