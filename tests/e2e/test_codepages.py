"""The path handed to the print library under other ANSI code pages. Wine takes the code
page from the Unix locale of each run: C.UTF-8 gives 1252, ja_JP 932 (double-byte), ru_RU
1251, hi_IN 65001 (UTF-8). Each name either reaches the library as its exact bytes in the
code page, or, where the code page cannot hold it, as its exact short (8.3) name; either
way the library printed the tested file, and -DELETE removes it."""
import endings
import harness
from endings import ENDINGS
from harness import ProductTest

LOCALES = {'C.UTF-8': ('1252', 'cp1252'), 'ja_JP.UTF-8': ('932', 'cp932'),
           'ru_RU.UTF-8': ('1251', 'cp1251'), 'hi_IN.UTF-8': ('65001', 'utf-8')}
NAMES = ['café.txt', 'Жук.txt', '日本語.txt', 'ソ表.txt', 'папка/Жук.txt']
# A few rows spelled out byte for byte, so the table does not rest on Python's codecs alone.
KNOWN = {('ja_JP.UTF-8', '日本語.txt'): b'\x93\xfa\x96\x7b\x8c\xea.txt',
         ('ja_JP.UTF-8', 'ソ表.txt'): b'\x83\x5c\x95\x5c.txt',  # both trail bytes are "\"
         ('ru_RU.UTF-8', 'Жук.txt'): b'\xc6\xf3\xea.txt',
         ('ru_RU.UTF-8', 'папка/Жук.txt'): b'\xef\xe0\xef\xea\xe0\\\xc6\xf3\xea.txt',
         ('C.UTF-8', 'café.txt'): b'caf\xe9.txt',
         ('hi_IN.UTF-8', '日本語.txt'): '日本語.txt'.encode('utf-8')}


def exact_bytes(name, codec):
    """The name in the code page with backslashes, or None where it cannot hold it."""
    try:
        return name.replace('/', '\\').encode(codec)
    except UnicodeEncodeError:
        return None


class CodePages(ProductTest):

    def test_every_name_under_every_code_page(self):
        for locale, (code_page, codec) in LOCALES.items():
            for name in NAMES:
                with self.subTest(locale, name=name):
                    box = self.sandbox()
                    content = f'{locale} {name}'.encode('utf-8')
                    box.file(name, content)
                    run = box.run(f'-DELETE "{name.replace("/", chr(92))}"', locale=locale)
                    self.assertPrintedQuietly(run)
                    self.assertEqual(run.events_of('print')[0].fields['acp'], code_page)
                    expected = exact_bytes(name, codec)
                    self.assertEqual(expected, KNOWN.get((locale, name), expected))
                    if expected is not None:
                        self.assertEqual(run.printed, expected)
                        # The stand-in spools under the file's own name: a trail byte 0x5C
                        # must not have been taken for a folder separator.
                        self.assertEqual(box.spooled(), [name.split('/')[-1]])
                    else:
                        self.assertTrue(run.printed.isascii() and b'~' in run.printed, run.printed)
                    self.assertEqual([(box.spool / n).read_bytes() for n in box.spooled()], [content])
                    self.assertFalse((box.work / name).exists())

    def test_neither_exact_form_nor_short_name_keeps_the_file(self):
        # Wine gives a \\?\unix\ path no short name: the library gets default characters,
        # and the file stays whatever the library answers.
        for locale, name in [('C.UTF-8', '日本語.txt'), ('ja_JP.UTF-8', 'café.txt'), ('ru_RU.UTF-8', 'ソ表.txt')]:
            # -DELETE keeps the file after a print: outside quiet mode, no box and 0.
            for result, ending in [('0', 'PrintedButKept'), ('', 'RuntimeError')]:
                with self.subTest(locale, name=name, library_result=result or 'reads the file'):
                    box = self.sandbox()
                    box.file(name)
                    path = '\\\\?\\unix' + str(box.work / name)
                    run = box.run(f'-DELETE "{path}"', locale=locale, env={'TAMSEL_RESULT': result})
                    self.assertEnding(run, ending, False)
                    codec = LOCALES[locale][1]
                    self.assertEqual(run.printed, path.encode(codec, errors='replace'))
                    self.assertTrue((box.work / name).exists())

    def test_no_text_at_all_never_reaches_the_library(self):
        # Every conversion refused (the fault hook fails each WideCharToMultiByte call): the
        # library must not be called with an empty name in place of the file. The program's
        # own error: the report, 217, the file untouched.
        for switch, quiet in (('-DELETE', False), ('-SILENT -DELETE', True)):
            with self.subTest(switch):
                box = self.sandbox()
                box.file('café.txt', b'the input')
                stderr = box.root / 'stderr.txt'
                run = box.run(f'{switch} café.txt', env={'BRENHOLD_FAULT': 'WideCharToMultiByte:1:persist:1113'},
                              inject=True, stderr=stderr)
                self.assertTrue(run.fault_plan_found)
                self.assertGreaterEqual(run.fault_counts['WideCharToMultiByte']['failed'], 1)
                self.assertIsNone(run.printed, 'the library was called')
                self.assertEnding(run, 'RuntimeError', quiet)
                report = stderr.read_bytes().decode() if quiet else run.boxes[0].text
                self.assertRegex(report.removesuffix('\r\n'), endings.pattern(ENDINGS['RuntimeError'].quiet_text))
                self.assertEqual((box.work / 'café.txt').read_bytes(), b'the input')


if __name__ == '__main__':
    harness.main()
