"""The MSI package under Wine's own msiexec, in a Wine prefix of its own: a silent install
into a chosen folder, what it registers, the installed program at work, an upgrade by a
newer version, and a removal that leaves nothing behind."""
import hashlib
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import harness
from harness import BUILD, PRODUCT, ProductTest, TAMSEL, winpath

SOURCE = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = BUILD / 'Brenhold-1.0.0.0-win64.msi'
EVENT_SOURCE = 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Brenhold caller'
REMEMBERED = 'HKLM\\Software\\Brenhold'
UNINSTALL = 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall'
CHOSEN = 'C:\\Vendor\\Tamsel'


def sha256(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


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

    def newer_package(self):
        """The same package at a higher version, with a README of its own."""
        readme = self.root / 'README.md'
        readme.write_text('the newer README\n')
        newer = self.root / 'Brenhold-1.0.1.0-win64.msi'
        subprocess.run([sys.executable, SOURCE / 'scripts' / 'make-msi.py', '1.0.1.0', PRODUCT, readme,
                        BUILD / 'BUILD-INFO.txt', newer], check=True, capture_output=True)
        return newer

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
        self.assertEqual(sorted(p.name for p in self.folder.iterdir()), ['BUILD-INFO.txt', 'Brenhold.exe', 'README.md'])
        self.assertEqual(sha256(self.folder / 'Brenhold.exe'), sha256(PRODUCT))
        self.assertEqual(self.values(EVENT_SOURCE), {
            'EventMessageFile': ('REG_EXPAND_SZ', CHOSEN + '\\Brenhold.exe'),
            'TypesSupported': ('REG_DWORD', '0x7')})
        self.assertEqual(self.products(), {'{' + self.product_code('1.0.0.0') + '}': '1.0.0.0'})

        box, run = self.run_installed()
        self.assertPrintedQuietly(run)
        self.assertEqual((box.spool / 'x.txt').read_bytes(), b'installed run')
        self.assertFalse((box.work / 'x.txt').exists())

        # No INSTALLDIR this time: the newer version goes where the first install went.
        newer = self.newer_package()
        self.msiexec('/i', winpath(newer), '/qn')
        self.assertEqual(self.products(), {'{' + self.product_code('1.0.1.0') + '}': '1.0.1.0'})
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

    @staticmethod
    def product_code(version):
        """As the build derives it from the version."""
        located = importlib.util.spec_from_file_location('make_msi', SOURCE / 'scripts' / 'make-msi.py')
        make_msi = importlib.util.module_from_spec(located)
        located.loader.exec_module(make_msi)
        return make_msi.product_code(version)


if __name__ == '__main__':
    harness.main()
