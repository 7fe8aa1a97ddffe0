"""The print library is never handed a look-alike of the tested path: exact text, else the
exact short (8.3) name, else default characters and no disposal. Wine always has short
names, so the last road is shown by the unit tests of the rule."""
import harness
from harness import utf16, ProductTest


def windows(path):
    return path.replace('/', '\\')


class LookAlikes(ProductTest):

    def assertShortName(self, printed):
        self.assertTrue(printed.isascii() and b'~' in printed and b'?' not in printed, printed)

    def test_best_fit_twin_is_never_printed_or_touched(self):
        box = self.sandbox()
        box.file('dāta.txt', b'the tested file')
        decoy = box.file('data.txt', b'decoy')
        run = box.run('-DELETE dāta.txt', env={'TAMSEL_WATCH': '1'})
        self.assertPrintedQuietly(run)
        self.assertShortName(run.printed)
        self.assertNotEqual(run.printed.lower(), b'data.txt')
        self.assertEqual([(box.spool / name).read_bytes() for name in box.spooled()], [b'the tested file'])
        self.assertEqual(decoy.read_bytes(), b'decoy')
        # Handed its short name, the library printed the true file, so it may go.
        self.assertFalse((box.work / 'dāta.txt').exists())
        self.assertEqual(run.events_of('delete')[0].fields['path'], utf16('dāta.txt'))

    def test_fullwidth_solidus_never_becomes_a_slash(self):
        box = self.sandbox()
        (box.work / 'a').mkdir()
        box.file('a／..／b.txt', b'odd name')
        run = box.run('"a／..／b.txt"')
        self.assertPrintedQuietly(run)
        self.assertNotIn(b'/', run.printed)
        self.assertShortName(run.printed)
        self.assertTrue((box.work / 'a／..／b.txt').exists())

    def test_name_outside_the_code_page_prints_through_its_short_name(self):
        for path in ('Жук.txt', 'папка/Жук.txt'):
            with self.subTest(path):
                box = self.sandbox()
                box.file(path, b'beetle')
                run = box.run('-RECYCLE ' + windows(path))
                self.assertPrintedQuietly(run)
                self.assertShortName(run.printed)
                self.assertEqual([(box.spool / name).read_bytes() for name in box.spooled()], [b'beetle'])
                self.assertFalse((box.work / path).exists())
                self.assertEqual(box.trashed(), ['Жук.txt'])

    def test_paths_the_code_page_holds_are_handed_over_unchanged(self):
        for path, printed in [('plain.txt', b'plain.txt'), ('café.txt', b'caf\xe9.txt'),
                              ('price €.txt', b'price \x80.txt'), ('naïve dir/ß.txt', b'na\xefve dir\\\xdf.txt')]:
            with self.subTest(path):
                box = self.sandbox()
                box.file(path)
                run = box.run(f'-DELETE "{windows(path)}"')
                self.assertPrintedQuietly(run)
                self.assertEqual(run.printed, printed)
                self.assertFalse((box.work / path).exists())


if __name__ == '__main__':
    harness.main()
