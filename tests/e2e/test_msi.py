"""The MSI package under Wine's own msiexec, in a Wine prefix of its own: a silent install
into a chosen folder, what it registers, the installed program at work, an upgrade by a
newer version (into the remembered folder, or the one the command line gives), an older
program already in the folder replaced, and a removal that leaves nothing behind; and the
package's tables read with msitools against the rules Windows' validation (ICE) would check."""
import hashlib
import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import pefile

import harness
from harness import BUILD, PRODUCT, VERSION, ProductTest, TAMSEL, winpath

SOURCE = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = BUILD / f'Brenhold-{VERSION}-win64.msi'
EVENT_SOURCE = 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Brenhold caller'
REMEMBERED = 'HKLM\\Software\\Brenhold'
UNINSTALL = 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall'
CHOSEN = 'C:\\Vendor\\Tamsel'


def later(steps):
    """A version that upgrades this build's: its third field raised by steps."""
    major, minor, patch, _ = map(int, VERSION.split('.'))
    return f'{major}.{minor}.{patch + steps}.0'


# The Filename data type: a short name of up to 8 characters, an optional extension of up to
# 3, none of the characters it forbids, no blank; a long name needs "short|long".
SHORT_NAME = re.compile(r'^[^\\?|><:/*"+,;=\[\] .]{1,8}(\.[^\\?|><:/*"+,;=\[\] .]{1,3})?$')


def sha256(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def table(name):
    """The rows of one table of the package, as dictionaries by column name. msiinfo writes
    the streams of a table (the Icon's) into folders where it runs: a folder of its own."""
    with tempfile.TemporaryDirectory(prefix='brenhold-msiinfo-') as folder:
        exported = subprocess.run(['msiinfo', 'export', str(PACKAGE), name], capture_output=True, text=True,
                                  check=True, cwd=folder)
    lines = exported.stdout.splitlines()
    columns = lines[0].split('\t')
    return [dict(zip(columns, line.split('\t'))) for line in lines[3:]]


class PackageTables(ProductTest):
    """What Windows' validation (the ICE rules) would check in the tables this package relies
    on, read with msitools: there is no ICE run on this machine."""

    def test_file_names_are_short_or_short_and_long(self):
        names = [row['FileName'] for row in table('File')]
        names += [row['DefaultDir'] for row in table('Directory') if row['Directory'] == 'INSTALLDIR']
        for name in names:
            with self.subTest(name):
                short = name.split('|')[0]
                self.assertRegex(short, SHORT_NAME)
                if '|' not in name:
                    self.assertRegex(name, SHORT_NAME, 'a long name without its short one')
        # Two files of one folder cannot share a short name, in any letter case.
        shorts = [row['FileName'].split('|')[0].upper() for row in table('File')]
        self.assertEqual(len(shorts), len(set(shorts)), shorts)
        # Every file that ships is in the package, under its own long name.
        self.assertEqual(sorted(row['FileName'].split('|')[-1] for row in table('File')), harness.SHIPPED,
                         harness.SHIPPED_DIFFERS)

    def test_the_program_is_a_versioned_key_file(self):
        [program] = [row for row in table('File') if row['File'] == 'BrenholdExe']
        fixed = pefile.PE(str(PRODUCT)).VS_FIXEDFILEINFO[0]
        version = f'{fixed.FileVersionMS >> 16}.{fixed.FileVersionMS & 0xFFFF}.' \
                  f'{fixed.FileVersionLS >> 16}.{fixed.FileVersionLS & 0xFFFF}'
        self.assertEqual((program['Version'], program['Language']), (version, '1033'))
        [component] = [row for row in table('Component') if row['Component'] == program['Component_']]
        self.assertEqual(component['KeyPath'], 'BrenholdExe')
        # A versioned file is compared by version, never by hash.
        self.assertNotIn('BrenholdExe', [row['File_'] for row in table('MsiFileHash')])

    def test_installdir_is_secure_and_never_searched_into(self):
        properties = {row['Property']: row['Value'] for row in table('Property')}
        secure = set(properties['SecureCustomProperties'].split(';'))
        self.assertLessEqual({'INSTALLDIR'} | {row['ActionProperty'] for row in table('Upgrade')}, secure)
        # The search writes a property of its own, taken only where no INSTALLDIR was given.
        self.assertEqual([row['Property'] for row in table('AppSearch')], ['REMEMBERED_INSTALLDIR'])
        [located] = table('RegLocator')
        self.assertEqual((located['Root'], located['Key'], located['Name']), ('2', 'Software\\Brenhold', 'InstallDir'))
        [action] = [row for row in table('CustomAction') if row['Action'] == 'UseRememberedInstallDir']
        self.assertEqual((action['Type'], action['Source'], action['Target']), ('51', 'INSTALLDIR', '[REMEMBERED_INSTALLDIR]'))
        for sequence in ('InstallUISequence', 'InstallExecuteSequence'):
            with self.subTest(sequence):
                rows = {row['Action']: row for row in table(sequence)}
                taken = rows['UseRememberedInstallDir']
                self.assertTrue(int(rows['AppSearch']['Sequence']) < int(taken['Sequence'])
                                < int(rows['CostFinalize']['Sequence']))
                self.assertEqual(taken['Condition'], 'REMEMBERED_INSTALLDIR AND (Installed OR NOT INSTALLDIR)')

    def test_programs_and_features_and_the_installer_version(self):
        properties = {row['Property']: row['Value'] for row in table('Property')}
        self.assertEqual(properties['ARPNOMODIFY'], '1')
        self.assertIn(properties['ARPPRODUCTICON'], [row['Name'] for row in table('Icon')])
        # Programs and Features shows the folder the files are in: set from INSTALLDIR once the
        # folders are resolved, before the product's registration writes it.
        [action] = [row for row in table('CustomAction') if row['Action'] == 'SetInstallLocation']
        self.assertEqual((action['Type'], action['Source'], action['Target']),
                         ('51', 'ARPINSTALLLOCATION', '[INSTALLDIR]'))
        rows = {row['Action']: row for row in table('InstallExecuteSequence')}
        located = int(rows['SetInstallLocation']['Sequence'])
        self.assertEqual(rows['SetInstallLocation']['Condition'], '')
        self.assertTrue(int(rows['CostFinalize']['Sequence']) < located < int(rows['RegisterProduct']['Sequence']))
        self.assertLess(int(rows['UseRememberedInstallDir']['Sequence']), located)

    def test_the_older_version_goes_before_the_newer_comes(self):
        # Every version shares one component: removed after the newer one is in, the older
        # one would leave its files behind in a folder the newer one moved away from.
        rows = {row['Action']: int(row['Sequence']) for row in table('InstallExecuteSequence')}
        self.assertTrue(rows['InstallInitialize'] < rows['RemoveExistingProducts'] < rows['ProcessComponents'])
        summary = subprocess.run(['msiinfo', 'suminfo', str(PACKAGE)], capture_output=True, text=True, check=True)
        # Windows Installer 2.0, the first that installs 64-bit components: Vista has 4.0.
        self.assertIn('Version: 200 ', summary.stdout)


class MsiPackage(ProductTest):

    @classmethod
    def setUpClass(cls):
        cls.root = pathlib.Path(tempfile.mkdtemp(prefix='brenhold-msi-'))
        cls.prefix = cls.root / 'prefix'
        cls.env = dict(os.environ, WINEPREFIX=str(cls.prefix), WINEDEBUG='-all')
        subprocess.run(['wineboot', '-i'], env=cls.env, capture_output=True, check=True)
        cls.folder = cls.prefix / 'drive_c' / 'Vendor' / 'Tamsel'

    @classmethod
    def tearDownClass(cls):
        subprocess.run(['wineserver', '-k'], env=cls.env, capture_output=True)
        shutil.rmtree(cls.root, ignore_errors=True)

    def wine(self, *arguments):
        return subprocess.run(['wine', *arguments], env=self.env, capture_output=True, text=True)

    def msiexec(self, *arguments):
        done = self.wine('msiexec', *arguments)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        if arguments[0] == '/i':
            # A test that fails half-way still leaves the shared prefix without the product.
            self.addCleanup(self.wine, 'msiexec', '/x', arguments[1], '/qn')

    def values(self, key):
        """The values of a registry key as {name: (type, data)}, or None when it is absent."""
        done = self.wine('reg', 'query', key)
        if done.returncode != 0:
            return None
        found = {}
        for line in done.stdout.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[1].startswith('REG_'):
                found[parts[0]] = (parts[1], parts[2] if len(parts) > 2 else '')
        return found

    def products(self):
        """Uninstall entries named Brenhold caller, as {product code: version}."""
        done = self.wine('reg', 'query', UNINSTALL)
        entries = {}
        for key in done.stdout.splitlines():
            if key.strip().startswith('HKEY_LOCAL_MACHINE'):
                values = self.values(key.strip().replace('HKEY_LOCAL_MACHINE', 'HKLM'))
                if values and values.get('DisplayName', ('', ''))[1] == 'Brenhold caller':
                    entries[key.rsplit('\\', 1)[1]] = values['DisplayVersion'][1]
        return entries

    def newer_package(self, version=None):
        """The same package at a higher version, with a README of its own."""
        version = version or later(1)
        readme = self.root / 'README.md'
        readme.write_text('the newer README\n')
        newer = self.root / f'Brenhold-{version}-win64.msi'
        documents = [readme] + [d for d in harness.DOCUMENTS if d.name != 'README.md']
        subprocess.run([sys.executable, SOURCE / 'scripts' / 'make-msi.py', version, PRODUCT, newer, *documents],
                       check=True, capture_output=True)
        return newer

    def folder_of(self, windows_path):
        return self.prefix / 'drive_c' / windows_path[3:].replace('\\', '/')

    def run_installed(self):
        """The installed program, with the stand-in library beside it, prints and deletes."""
        shutil.copy(TAMSEL / 'default' / 'Tamsel.dll', self.folder / 'Tamsel.dll')
        box = self.sandbox(variant=None)
        box.file('x.txt', b'installed run')
        installed = CHOSEN + '\\Brenhold.exe'
        run = box.run(command_line=f'"{installed}" -DELETE x.txt', exe=installed,
                      env={'WINEPREFIX': str(self.prefix)})
        (self.folder / 'Tamsel.dll').unlink()
        return box, run

    def test_install_upgrade_and_remove(self):
        self.msiexec('/i', winpath(PACKAGE), '/qn', f'INSTALLDIR={CHOSEN}')
        self.assertEqual(sorted(p.name for p in self.folder.iterdir()), harness.SHIPPED)
        for document in sorted(self.folder.glob('*.md')):
            self.assertEqual(harness.unshipped_references(document), [], document.name)
        self.assertEqual(sha256(self.folder / 'Brenhold.exe'), sha256(PRODUCT))
        self.assertEqual(self.values(EVENT_SOURCE), {
            'EventMessageFile': ('REG_EXPAND_SZ', CHOSEN + '\\Brenhold.exe'),
            'TypesSupported': ('REG_DWORD', '0x7')})
        self.assertEqual(self.products(), {'{' + self.product_code(VERSION) + '}': VERSION})

        box, run = self.run_installed()
        self.assertPrintedQuietly(run)
        self.assertEqual((box.spool / 'x.txt').read_bytes(), b'installed run')
        self.assertFalse((box.work / 'x.txt').exists())

        # No INSTALLDIR this time: the newer version goes where the first install went.
        newer = self.newer_package()
        self.msiexec('/i', winpath(newer), '/qn')
        self.assertEqual(self.products(), {'{' + self.product_code(later(1)) + '}': later(1)})
        self.assertEqual((self.folder / 'README.md').read_text(), 'the newer README\n')
        self.assertFalse((self.prefix / 'drive_c' / 'Program Files' / 'Brenhold').exists())

        self.msiexec('/x', winpath(newer), '/qn')
        self.assertFalse(self.folder.exists())
        self.assertEqual((self.values(EVENT_SOURCE), self.values(REMEMBERED), self.products()), (None, None, {}))

    def test_default_folder_is_in_program_files(self):
        self.msiexec('/i', winpath(PACKAGE), '/qn')
        default = self.prefix / 'drive_c' / 'Program Files' / 'Brenhold'
        self.assertTrue((default / 'Brenhold.exe').exists())
        self.msiexec('/x', winpath(PACKAGE), '/qn')
        self.assertFalse(default.exists())
        self.assertEqual(self.values(EVENT_SOURCE), None)

    def test_signed_package_still_installs(self):
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                        '-subj', '/CN=Throwaway Brenhold test signer', '-keyout', self.root / 'key.pem',
                        '-out', self.root / 'cert.pem'], check=True, capture_output=True)
        signed = self.root / 'signed' / PACKAGE.name
        subprocess.run(['bash', SOURCE / 'scripts' / 'sign.sh', self.root / 'cert.pem', self.root / 'key.pem',
                        PACKAGE, signed], check=True, capture_output=True)
        verified = subprocess.run(['osslsigncode', 'verify', '-in', signed, '-CAfile', self.root / 'cert.pem'],
                                  capture_output=True, text=True)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.msiexec('/i', winpath(signed), '/qn', f'INSTALLDIR={CHOSEN}')
        self.assertEqual(sha256(self.folder / 'Brenhold.exe'), sha256(PRODUCT))
        self.msiexec('/x', winpath(signed), '/qn')
        self.assertFalse(self.folder.exists())

    def test_a_folder_given_on_the_command_line_wins_on_upgrade(self):
        first, second = 'C:\\A', 'C:\\B'
        self.msiexec('/i', winpath(PACKAGE), '/qn', f'INSTALLDIR={first}')
        self.assertTrue((self.folder_of(first) / 'Brenhold.exe').exists())
        # An administrator moves it: the upgrade goes where the command line says.
        newer = self.newer_package(later(1))
        self.msiexec('/i', winpath(newer), '/qn', f'INSTALLDIR={second}')
        self.assertEqual(sorted(p.name for p in self.folder_of(second).iterdir()), harness.SHIPPED)
        self.assertFalse(self.folder_of(first).exists())
        self.assertEqual(self.products(), {'{' + self.product_code(later(1)) + '}': later(1)})
        self.assertEqual(self.values(REMEMBERED)['InstallDir'][1].rstrip('\\'), second)
        # Programs and Features names the folder.
        entry = self.values(UNINSTALL + '\\{' + self.product_code(later(1)) + '}')
        self.assertEqual(entry['InstallLocation'][1].rstrip('\\'), second)
        # Without one, the next upgrade stays in the remembered folder.
        newest = self.newer_package(later(2))
        self.msiexec('/i', winpath(newest), '/qn')
        self.assertTrue((self.folder_of(second) / 'Brenhold.exe').exists())
        self.assertEqual(self.products(), {'{' + self.product_code(later(2)) + '}': later(2)})
        self.msiexec('/x', winpath(newest), '/qn')
        self.assertFalse(self.folder_of(second).exists())

    def test_a_program_already_in_the_folder_is_replaced_by_version_only(self):
        # An earlier ZIP install left a copy there. The package's program carries its version
        # in the File table, so the file-versioning rules decide: a lower version is replaced,
        # a higher one stays. Each copy differs in size as well, so without the version the
        # installer would replace both (Wine's msi: a size that differs means overwrite).
        for name, version_ms, replaced in (('lower version', 0x00000009, True), ('higher version', 0x00630000, False)):
            with self.subTest(name):
                copy = pefile.PE(str(PRODUCT))
                copy.VS_FIXEDFILEINFO[0].FileVersionMS = version_ms
                copy.VS_FIXEDFILEINFO[0].FileVersionLS = 0
                self.folder.mkdir(parents=True)
                copy.write(str(self.folder / 'Brenhold.exe'))
                with (self.folder / 'Brenhold.exe').open('ab') as grown:
                    grown.write(b'\0' * 512)
                before = sha256(self.folder / 'Brenhold.exe')
                self.msiexec('/i', winpath(PACKAGE), '/qn', f'INSTALLDIR={CHOSEN}')
                self.assertEqual(sha256(self.folder / 'Brenhold.exe'), sha256(PRODUCT) if replaced else before)
                self.msiexec('/x', winpath(PACKAGE), '/qn')
                if replaced:
                    self.assertFalse(self.folder.exists())
                else:
                    # Wine's installer leaves a file it kept rather than installed; not a
                    # claim of ours either way, so cleared by hand for the next case.
                    shutil.rmtree(self.folder.parent)

    def test_a_downgrade_is_refused_with_the_package_s_message(self):
        newer = self.newer_package(later(1))
        self.msiexec('/i', winpath(newer), '/qn', f'INSTALLDIR={CHOSEN}')
        # The package's launch condition refuses it (its message: the table check below);
        # msiexec ends with 1603, a fatal error (Linux sees its low 8 bits), and the newer
        # version stays as it was.
        refused = self.wine('msiexec', '/i', winpath(PACKAGE), '/qn')
        self.assertEqual(refused.returncode, 1603 & 0xFF, refused.stdout + refused.stderr)
        [condition] = [row for row in table('LaunchCondition') if 'WIX_DOWNGRADE_DETECTED' in row['Condition']]
        self.assertEqual((condition['Condition'], condition['Description']),
                         ('NOT WIX_DOWNGRADE_DETECTED', 'A newer version of Brenhold caller is already installed.'))
        self.assertEqual(self.products(), {'{' + self.product_code(later(1)) + '}': later(1)})
        self.assertEqual((self.folder / 'README.md').read_text(), 'the newer README\n')
        self.msiexec('/x', winpath(newer), '/qn')

    def test_in_maintenance_the_remembered_folder_wins(self):
        # The installed version again with another INSTALLDIR (a repair, a script run twice),
        # and its removal with one: the files stay where they are, Programs and Features keeps
        # naming their folder, and the removal takes them from there.
        first, second = 'C:\\A', 'C:\\B'
        self.msiexec('/i', winpath(PACKAGE), '/qn', f'INSTALLDIR={first}')
        self.msiexec('/i', winpath(PACKAGE), '/qn', f'INSTALLDIR={second}')
        self.assertEqual(sorted(p.name for p in self.folder_of(first).iterdir()), harness.SHIPPED)
        self.assertFalse(self.folder_of(second).exists())
        entry = self.values(UNINSTALL + '\\{' + self.product_code(VERSION) + '}')
        self.assertEqual(entry['InstallLocation'][1].rstrip('\\'), first)
        self.assertEqual(self.values(REMEMBERED)['InstallDir'][1].rstrip('\\'), first)
        self.msiexec('/x', winpath(PACKAGE), '/qn', f'INSTALLDIR={second}')
        self.assertFalse(self.folder_of(first).exists())
        self.assertEqual(self.products(), {})

    def test_a_version_upgrades_cannot_tell_apart_is_refused(self):
        refused = subprocess.run([sys.executable, SOURCE / 'scripts' / 'make-msi.py', VERSION.rsplit('.', 1)[0] + '.1', PRODUCT,
                                  self.root / 'refused.msi', *harness.DOCUMENTS],
                                 capture_output=True, text=True)
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn('fourth field', refused.stderr)
        self.assertFalse((self.root / 'refused.msi').exists())

    def test_a_document_without_a_short_name_is_refused_with_its_name(self):
        # The build makes a short name for every long one (NAME~1.EXT, ~2 past one taken); a
        # name it cannot make one for stops the build and says which.
        for names, message in [(['...'], "'...' has no character a short (8.3) name can hold"),
                               ([f'LONGNAME{n}.txt' for n in range(10)], "no short name left for 'LONGNAME9.txt'")]:
            with self.subTest(names[-1]):
                folder = pathlib.Path(tempfile.mkdtemp(dir=self.root))
                for name in names:
                    (folder / name).write_text('a document\n')
                refused = subprocess.run([sys.executable, SOURCE / 'scripts' / 'make-msi.py', VERSION, PRODUCT,
                                          folder / 'refused.msi', *harness.DOCUMENTS, *(folder / n for n in names)],
                                         capture_output=True, text=True)
                self.assertNotEqual(refused.returncode, 0)
                self.assertIn(message, refused.stderr)
                self.assertFalse((folder / 'refused.msi').exists())

    @staticmethod
    def product_code(version):
        """As the build derives it from the version."""
        located = importlib.util.spec_from_file_location('make_msi', SOURCE / 'scripts' / 'make-msi.py')
        make_msi = importlib.util.module_from_spec(located)
        located.loader.exec_module(make_msi)
        return make_msi.product_code(version)


if __name__ == '__main__':
    harness.main()
