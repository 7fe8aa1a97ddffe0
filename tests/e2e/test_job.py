"""The whole job through the real executable: command line, messages, printing, disposal."""
import shutil
import struct

import harness
from endings import box_text, quiet_line
from harness import utf16, CAPTION, NO_ENTRY, NO_INPUT, NO_LIBRARY, TAMSEL, ProductTest, winpath


class CommandLineThroughTheProcess(ProductTest):
    """Raw command lines, every blank and quote under the test's control."""

    def test_arguments_reach_the_job_as_split(self):
        # (arguments after the quoted program, files to make, bytes printed, file deleted)
        cases = [
            ('quoted path with blanks', '"a b.txt"', ['a b.txt'], b'a b.txt', None),
            ('empty quotes between arguments', '"" -DELETE "" x.txt ""', ['x.txt'], b'x.txt', 'x.txt'),
            ('trailing single quote', 'x.txt "', ['x.txt'], b'x.txt', None),
            ('tab and line feed separate', '-DELETE\tx.txt\n', ['x.txt'], b'x.txt', 'x.txt'),
            ('no-break space does not separate', 'a\u00a0b.txt', ['a\u00a0b.txt'], b'a\xa0b.txt', None),
            ('quoted switch', '"-DELETE" x.txt', ['x.txt'], b'x.txt', 'x.txt'),
            ('lower-case delete', '-delete x.txt', ['x.txt'], b'x.txt', 'x.txt'),
            ('last path wins', 'missing.txt x.txt', ['x.txt'], b'x.txt', None),
            # A name that begins with "-" would be a keyword; written with its folder it is a path.
            ('name beginning with a hyphen', '-DELETE .\\-draft.txt', ['-draft.txt'], b'.\\-draft.txt', '-draft.txt'),
        ]
        for name, arguments, files, printed, deleted in cases:
            with self.subTest(name):
                box = self.sandbox()
                for file in files:
                    box.file(file)
                run = box.run(arguments)
                self.assertPrintedQuietly(run)
                self.assertEqual(run.printed, printed)
                for file in files:
                    self.assertEqual((box.work / file).exists(), file != deleted)

    def test_mixed_case_recycle(self):
        box = self.sandbox()
        box.file('x.txt')
        run = box.run('-Recycle x.txt')
        self.assertPrintedQuietly(run)
        self.assertFalse((box.work / 'x.txt').exists())
        self.assertEqual(box.trashed(), ['x.txt'])

    def test_invalid_keywords_and_paths_that_look_like_switches(self):
        cases = [
            ('abbreviated switch', '-DEL x.txt', box_text('InvalidKeyword', argument='-DEL')),
            ('double hyphen', '--DELETE x.txt', box_text('InvalidKeyword', argument='--DELETE')),
            ('lone hyphen', 'x.txt -', box_text('InvalidKeyword', argument='-')),
            ('quoted switch with a blank', 'x.txt "-DELETE "', box_text('InvalidKeyword', argument='-DELETE ')),
            ('after a valid path, nothing is printed', 'x.txt -Bad -DELETE', box_text('InvalidKeyword', argument='-Bad')),
            ('after a missing path, the path is never tested', 'missing.txt -Bad', box_text('InvalidKeyword', argument='-Bad')),
            ('slash is a path', '/DELETE', box_text('FileNotFound', path='/DELETE')),
        ]
        for name, arguments, message in cases:
            with self.subTest(name):
                box = self.sandbox()
                box.file('x.txt')
                run = box.run(arguments)
                self.assertOneMessage(run, message)
                self.assertEqual(run.events_of('print'), [])
                self.assertTrue((box.work / 'x.txt').exists())

    def test_unquoted_program_path_with_blanks(self):
        # The program's own path splits too; its tail becomes argument 1, the path.
        box = self.sandbox(app_name='my app')
        run = box.run(command_line=f'{winpath(box.exe)} -DELETE')
        self.assertOneMessage(run, box_text('FileNotFound', path='app\\Brenhold.exe'))


class Messages(ProductTest):
    """The five messages: exact text, the caption, one OK button, no icon, exit 0."""

    def test_each_message(self):
        cases = [
            ('no arguments', 'default', '', NO_INPUT),
            ('only a switch', 'default', '-DELETE', NO_INPUT),
            ('invalid keyword', 'default', '-Nope', box_text('InvalidKeyword', argument='-Nope')),
            ('missing file', 'default', '"no such.txt"', box_text('FileNotFound', path='no such.txt')),
            ('missing library', None, 'x.txt', NO_LIBRARY),
            ('missing entry point', 'no-entry', 'x.txt', NO_ENTRY),
        ]
        for name, variant, arguments, message in cases:
            with self.subTest(name):
                box = self.sandbox(variant)
                box.file('x.txt')
                run = box.run(arguments)
                self.assertOneMessage(run, message)
                self.assertEqual(run.boxes[0].caption, CAPTION)

    def test_missing_file_is_reported_before_a_missing_library(self):
        box = self.sandbox(None)
        self.assertOneMessage(box.run('gone.txt'), box_text('FileNotFound', path='gone.txt'))


class Disposal(ProductTest):

    def test_switches_after_a_successful_print(self):
        # (switches, file left in place, names in the trash)
        cases = [
            ('no switch', '', True, []),
            ('delete', '-DELETE', False, []),
            ('recycle', '-RECYCLE', False, ['in.txt']),
            ('both: deleted, never trashed', '-RECYCLE -DELETE', False, []),
        ]
        for name, switches, kept, trashed in cases:
            with self.subTest(name):
                box = self.sandbox()
                box.file('in.txt', b'content')
                run = box.run(f'{switches} in.txt')
                self.assertPrintedQuietly(run)
                self.assertEqual((box.work / 'in.txt').exists(), kept)
                self.assertEqual(box.trashed(), trashed)
                self.assertEqual((box.spool / 'in.txt').read_bytes(), b'content')

    def test_recycle_read_only_file_without_a_dialog(self):
        box = self.sandbox()
        box.file('ro.txt', readonly=True)
        run = box.run('-RECYCLE ro.txt')
        self.assertPrintedQuietly(run)
        self.assertFalse((box.work / 'ro.txt').exists())
        self.assertEqual(box.trashed(), ['ro.txt'])

    def test_recycle_without_a_recycle_bin_deletes_without_a_dialog(self):
        # Wine has no trash when XDG_DATA_HOME names a file: like a drive without a Recycle
        # Bin, where the shell's question is answered yes by FOF_NOCONFIRMATION.
        box = self.sandbox()
        box.file('in.txt')
        no_trash = box.root / 'not-a-folder'
        no_trash.write_text('')
        run = box.run('-RECYCLE in.txt', env={'XDG_DATA_HOME': str(no_trash)})
        self.assertPrintedQuietly(run)
        self.assertFalse((box.work / 'in.txt').exists())

    def test_recycle_request_is_one_full_path_with_allow_undo_and_no_confirmation(self):
        # Windows' shell deletes a relative name for good instead of recycling it; Wine's
        # would mend it, so what the shell is handed is checked here.
        box = self.sandbox()
        box.file('in.txt')
        run = box.run('-RECYCLE in.txt', env={'TAMSEL_WATCH': '1'})
        [request] = run.events_of('recycle')
        self.assertEqual(request.fields['from'], utf16(winpath(box.work / 'in.txt') + '\0\0'))
        self.assertEqual(int(request.fields['func'], 16), 3)
        self.assertEqual(int(request.fields['flags'], 16), 0x50)
        self.assertEqual(int(request.fields['hwnd'], 16), 0)
        self.assertEqual(int(request.fields['to'], 16), 0)

    def test_failed_deletion_leaves_the_file_and_says_nothing(self):
        box = self.sandbox()
        locked = box.file('locked.txt')
        # The library is told to succeed without opening the file, which is locked.
        run = box.run('-DELETE locked.txt', env={'TAMSEL_RESULT': '0'}, lock=locked)
        self.assertPrintedQuietly(run)
        self.assertTrue(locked.exists())


def pe32_dll():
    """The smallest 32-bit (i386) DLL the loader maps: headers, one section, no entry point."""
    dos = bytearray(0x40)
    dos[0:2] = b'MZ'
    struct.pack_into('<I', dos, 0x3C, 0x40)
    file_header = struct.pack('<HHIIIHH', 0x14C, 1, 0, 0, 0, 0xE0, 0x2102)  # i386; executable, 32-bit, DLL
    optional = bytearray(0xE0)
    struct.pack_into('<HBBIIIIIII', optional, 0, 0x10B, 1, 0, 0x200, 0, 0, 0, 0x1000, 0x1000, 0x10000000)
    struct.pack_into('<IIHHHHHHIIII', optional, 32, 0x1000, 0x200, 4, 0, 1, 0, 4, 0, 0, 0x2000, 0x200, 0)
    struct.pack_into('<HH', optional, 68, 2, 0)  # GUI subsystem
    struct.pack_into('<IIIIII', optional, 72, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    section = struct.pack('<8sIIIIIIHHI', b'.text', 0x1000, 0x1000, 0x200, 0x200, 0, 0, 0, 0, 0x60000020)
    headers = bytes(dos) + b'PE\0\0' + file_header + bytes(optional) + section
    return headers.ljust(0x200, b'\0') + b'\xC3'.ljust(0x200, b'\0')


class LibraryProblems(ProductTest):

    def test_library_not_usable(self):
        cases = [
            ('no Tamsel.dll anywhere', None, NO_LIBRARY),
            ('dependency missing', 'missing-dependency', NO_LIBRARY),
            ('no printFile', 'no-entry', NO_ENTRY),
            ('only PrintFile', 'wrong-case', NO_ENTRY),
            ('printFile by ordinal only', 'ordinal', NO_ENTRY),
        ]
        for name, variant, message in cases:
            for switch in ('-DELETE', '-RECYCLE'):
                with self.subTest(name, switch=switch):
                    box = self.sandbox(variant)
                    box.file('x.txt')
                    run = box.run(f'{switch} x.txt')
                    self.assertOneMessage(run, message)
                    self.assertTrue((box.work / 'x.txt').exists())
                    self.assertEqual(box.trashed(), [])
                    self.assertEqual(run.events_of('print'), [])

    def test_a_32_bit_library_is_passed_over_for_a_64_bit_one_later_in_the_search_order(self):
        # The loader passes over a DLL built for the other bitness and goes on along the
        # search order (as Windows does since Windows 7): beside the program a 32-bit
        # Tamsel.dll, in the working directory (later in the order) the 64-bit stand-in,
        # which prints. With no 64-bit one anywhere: "Can't find Tamsel.dll.".
        for name, with_64_bit in (('a 64-bit one later in the order', True), ('no 64-bit one', False)):
            with self.subTest(name):
                box = self.sandbox(None)
                (box.app / 'Tamsel.dll').write_bytes(pe32_dll())
                if with_64_bit:
                    shutil.copy(TAMSEL / 'default' / 'Tamsel.dll', box.work / 'Tamsel.dll')
                box.file('x.txt')
                run = box.run('-DELETE x.txt')
                if with_64_bit:
                    self.assertPrintedQuietly(run)
                    self.assertFalse((box.work / 'x.txt').exists())
                else:
                    self.assertOneMessage(run, NO_LIBRARY)
                    self.assertTrue((box.work / 'x.txt').exists())

    def test_library_is_unloaded_before_the_entry_point_message(self):
        for variant in ('no-entry', 'wrong-case', 'ordinal'):
            with self.subTest(variant):
                box = self.sandbox(variant)
                box.file('x.txt')
                run = box.run('x.txt')
                kinds = [(e.kind, e.fields.get('by')) for e in run.events if e.kind in ('detach', 'box')]
                self.assertEqual(kinds, [('detach', 'freelibrary'), ('box', None)])


class Results(ProductTest):

    def test_non_negative_results_are_success(self):
        for result in ('0', '1', '0x7FFFFFFF', '0x00040000'):
            with self.subTest(result):
                box = self.sandbox()
                box.file('x.txt')
                run = box.run('-DELETE x.txt', env={'TAMSEL_RESULT': result})
                self.assertPrintedQuietly(run)
                self.assertFalse((box.work / 'x.txt').exists())
                self.assertEqual(run.events_of('detach')[0].fields['by'], 'freelibrary')

    def test_library_is_unloaded_before_the_file_is_removed(self):
        # The stand-in notes, as FreeLibrary detaches it, whether the path it was handed still
        # names a file: a library's DLL_PROCESS_DETACH still finds the printed file there.
        for switch in ('-DELETE', '-RECYCLE'):
            with self.subTest(switch):
                box = self.sandbox()
                box.file('x.txt')
                run = box.run(f'{switch} x.txt')
                self.assertPrintedQuietly(run)
                [detach] = run.events_of('detach')
                self.assertEqual((detach.fields['by'], detach.fields['file']), ('freelibrary', 'present'))
                self.assertFalse((box.work / 'x.txt').exists())

    def test_negative_result_stops_the_job(self):
        for switch in ('-DELETE', '-RECYCLE'):
            with self.subTest(switch):
                box = self.sandbox()
                box.file('x.txt')
                run = box.run(f'{switch} x.txt', env={'TAMSEL_RESULT': '0x80004005'})
                self.assertEnding(run, 'RuntimeError', False)
                self.assertTrue((box.work / 'x.txt').exists())
                self.assertEqual(box.trashed(), [])
                # Never unloaded by the job: only the end of the process detaches it.
                self.assertEqual([e.fields['by'] for e in run.events_of('detach')], ['process-exit'])


class PathHandOver(ProductTest):

    def test_path_reaches_the_library_in_the_ansi_code_page(self):
        box = self.sandbox()
        box.file('café.txt')
        run = box.run('café.txt')
        self.assertPrintedQuietly(run)
        self.assertEqual(run.events_of('print')[0].fields['acp'], '1252')
        self.assertEqual(run.printed, b'caf\xe9.txt')

    def test_bytes_behind_the_pointer_are_unchanged_after_the_call(self):
        # The library reads its pointer again at the disposal, after the unload. A name of up
        # to 15 bytes lives inside the string object's own inline buffer, which a free leaves
        # as it was under Wine's heap, so a copy released right after the call would still
        # pass with it; a longer name has a heap block of its own, which a free overwrites at
        # once (the heap's free-list links), so only the long name catches that fault.
        for name, expected in (('café.txt', b'caf\xe9.txt'),
                               ('a label printed overnight, café.txt', b'a label printed overnight, caf\xe9.txt')):
            with self.subTest(name):
                box = self.sandbox()
                box.file(name)
                run = box.run(f'-DELETE "{name}"', env={'TAMSEL_WATCH': '1'})
                deletion = run.events_of('delete')[-1]
                self.assertEqual(bytes.fromhex(deletion.fields['printed']), expected)
                self.assertFalse((box.work / name).exists())


class ExistenceThroughTheProcess(ProductTest):

    def test_not_a_file(self):
        cases = [
            ('directory', 'folder', box_text('FileNotFound', path='folder')),
            ('wildcard never matches another file', 'wild?.txt', box_text('FileNotFound', path='wild?.txt')),
            ('wildcard star', '*.txt', box_text('FileNotFound', path='*.txt')),
        ]
        for name, argument, message in cases:
            with self.subTest(name):
                box = self.sandbox()
                (box.work / 'folder').mkdir()
                box.file('wild1.txt')
                run = box.run(f'-DELETE {argument}')
                self.assertOneMessage(run, message)
                self.assertTrue((box.work / 'wild1.txt').exists())

    def test_relative_path_is_the_same_text_for_library_and_disposal(self):
        box = self.sandbox()
        box.file('sub/x.txt')
        run = box.run('-DELETE sub\\x.txt', env={'TAMSEL_WATCH': '1'})
        self.assertPrintedQuietly(run)
        self.assertEqual(run.printed, b'sub\\x.txt')
        self.assertEqual(run.events_of('delete')[0].fields['path'], utf16('sub\\x.txt'))
        # Opened once, compared and deleted through that one handle, never by name again:
        # first as DeleteFileW deletes on today's Windows (POSIX semantics); Wine 8 refuses
        # that class with 87, and then, only then, the older class deletes.
        deletions = run.events_of('delete')
        self.assertEqual({d.fields.get('by') for d in deletions}, {'handle'})
        self.assertEqual(deletions[0].fields['class'], 'posix')
        if deletions[0].fields['ok'] == '0':
            self.assertEqual(deletions[0].fields['error'], '87')
            self.assertEqual([d.fields['class'] for d in deletions], ['posix', 'legacy'])
        self.assertEqual(deletions[-1].fields['ok'], '1')
        self.assertFalse((box.work / 'sub' / 'x.txt').exists())


class LongPaths(ProductTest):
    """A full path of more than MAX_PATH (260) characters. On Windows every call here fails
    for it unless the manifest declares longPathAware and the machine allows long paths
    (LongPathsEnabled); Wine enforces no limit, so this shows only the program's own side:
    nothing of its own cuts the path, and the shell, which takes no name that long, is never
    asked (the file stays, and quiet mode says so)."""

    def test_a_path_longer_than_max_path(self):
        deep = '\\'.join(['d' * 100, 'e' * 100, 'f' * 100, 'long label.txt'])
        cases = [
            ('-DELETE', '', 0, False, b''),
            ('-RECYCLE', '', 0, True, b''),
            ('-RECYCLE', '-SILENT ', 80, True, quiet_line('PrintedButKept', path=deep)),
        ]
        for switch, silent, status, kept, line in cases:
            with self.subTest(switch, silent=silent):
                box = self.sandbox()
                box.file(deep.replace('\\', '/'), b'deep')
                self.assertGreater(len(harness.winpath(box.work / deep.replace('\\', '/'))), 300)
                stderr = box.root / 'stderr.txt'
                run = box.run(f'{silent}{switch} "{deep}"', env={'TAMSEL_RESULT': '0', 'TAMSEL_WATCH': '1'},
                              stderr=stderr)
                self.assertEqual((run.boxes, run.exit), ([], status), run.output)
                self.assertEqual(run.printed, deep.encode())
                self.assertEqual((box.work / deep.replace('\\', '/')).exists(), kept)
                self.assertEqual(run.events_of('recycle'), [])
                self.assertEqual(box.trashed(), [])
                self.assertEqual(stderr.read_bytes(), line)

    def test_a_path_beginning_with_the_long_path_prefix(self):
        # A \\?\ path reaches the library as written, prefix included; -DELETE removes the file
        # through a handle, and the shell, which takes no such path, is never asked.
        for switch, kept in (('-DELETE', False), ('-RECYCLE', True)):
            with self.subTest(switch):
                box = self.sandbox()
                box.file('x.txt')
                path = '\\\\?\\' + harness.winpath(box.work / 'x.txt')
                run = box.run(f'{switch} "{path}"', env={'TAMSEL_WATCH': '1'})
                self.assertEqual((run.boxes, run.exit), ([], 0), run.output)
                self.assertEqual(run.printed, path.encode())
                self.assertEqual((box.work / 'x.txt').exists(), kept)
                self.assertEqual(run.events_of('recycle'), [])
                self.assertEqual(box.trashed(), [])


class SeveralRuns(ProductTest):
    """Runs started side by side, as a scheduler or a hot folder's watcher starts them: each
    process loads the library for itself and none waits for another."""

    def test_a_second_run_prints_while_the_first_is_inside_print_file(self):
        first = self.sandbox()
        first.file('a.txt')
        second = self.sandbox(None)
        second.file('b.txt')
        seen = {}

        def during(box):
            # The second run uses the first one's program and library, in a process of its own.
            seen['run'] = second.run(command_line=f'"{winpath(first.exe)}" -DELETE b.txt', exe=winpath(first.exe))
            seen['first returned'] = any(line.startswith('return ') for line in first.log.read_text().splitlines())

        run = first.run_changing(during, arguments='-DELETE a.txt', env={'TAMSEL_ACTION': 'pause'})
        self.assertPrintedQuietly(run)
        self.assertPrintedQuietly(seen['run'])
        self.assertFalse(seen['first returned'], 'the second run waited for the first')
        self.assertFalse((first.work / 'a.txt').exists())
        self.assertFalse((second.work / 'b.txt').exists())
        # Each process attached the library once, for itself.
        self.assertEqual((len(run.events_of('attach')), len(seen['run'].events_of('attach'))), (1, 1))


if __name__ == '__main__':
    harness.main()
