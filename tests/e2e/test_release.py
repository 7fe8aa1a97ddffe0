"""The release: the same commit gives the same bytes from any checkout, the package holds
exactly the tested program, and a signed program keeps the build's Authenticode digest,
runs the job and passes the image checks."""
import base64
import calendar
import hashlib
import json
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import zipfile

import harness
from harness import BUILD, PRODUCT, VERSION, ProductTest
from imports import SYSTEM_DLLS
import pki

SOURCE = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / 'scripts'))
import linkmap  # noqa: E402
provenance = __import__('importlib').import_module('make-provenance')
E2E = pathlib.Path(__file__).resolve().parent
# The SBOM's graph must name the DLLs of the program's import table (scripts/make-sbom.py reads
# them from the image), which are the tests' SYSTEM_DLLS.
GRAPH_DLLS = ('the system DLLs of the import table in the dependency graph (not SYSTEM_DLLS of '
              'tests/e2e/imports.py; where e2e.test_image passes, change scripts/make-sbom.py)')


def sha256(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def authenticode_digest(path):
    return subprocess.run([sys.executable, SOURCE / 'scripts' / 'authenticode-digest.py', path],
                          check=True, capture_output=True, text=True).stdout.strip()


def copy_checkout(target):
    """The files of the checkout as a clone would have them (tracked, and new ones not ignored)."""
    listed = subprocess.run(['git', 'ls-files', '-z', '--cached', '--others', '--exclude-standard'], cwd=SOURCE,
                            check=True, capture_output=True).stdout.decode().split('\0')
    for name in filter(None, listed):
        if (SOURCE / name).is_file():
            (target / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(SOURCE / name, target / name)


# The copies have no .git: the build information takes the commit from the environment, as a
# release of this checkout would name it.
COMMIT = subprocess.run(['git', 'rev-parse', 'HEAD'], cwd=SOURCE, capture_output=True, text=True).stdout.strip()


GIT = ['git', '-c', 'user.name=Gate', '-c', 'user.email=gate@example.invalid']


def git_environment():
    """Commits made at noon of the version's changelog day: a release is dated by its commit."""
    stamp = f'@{entry_epoch()} +0000'
    return dict(os.environ, GIT_AUTHOR_DATE=stamp, GIT_COMMITTER_DATE=stamp)


def commit_all(clone, message):
    subprocess.run(GIT + ['add', '-A'], cwd=clone, check=True, env=git_environment())
    subprocess.run(GIT + ['commit', '-q', '-m', message], cwd=clone, check=True, env=git_environment())
    return subprocess.run(['git', 'rev-parse', 'HEAD'], cwd=clone, capture_output=True, text=True,
                          check=True).stdout.strip()


def committed_copy(target):
    """The files of this checkout, committed into a repository of their own: the scripts under
    test are those of the working tree."""
    copy_checkout(target)
    subprocess.run(GIT + ['init', '-q'], cwd=target, check=True)
    return commit_all(target, 'tree')


def entry_epoch():
    """Noon (UTC) of the day CHANGELOG.md gives the version's entry: a release must be made
    on or soon after that day, so the test releases on it, whenever it runs."""
    changelog = (SOURCE / 'CHANGELOG.md').read_text()
    day = re.search(rf'^## \[{re.escape(VERSION)}\] - (\d{{4}}-\d{{2}}-\d{{2}})$', changelog, re.MULTILINE).group(1)
    return str(calendar.timegm(time.strptime(day + ' 12:00', '%Y-%m-%d %H:%M')))


def release(checkout, epoch, **extra):
    """Runs scripts/release.sh in the checkout; the paths of the ZIP and the MSI."""
    environment = dict(os.environ, SOURCE_DATE_EPOCH=epoch, BRENHOLD_COMMIT=COMMIT, **extra)
    output = subprocess.run(['bash', 'scripts/release.sh'], cwd=checkout, env=environment, check=True,
                            capture_output=True, text=True).stdout.split()
    packages = [pathlib.Path(output[0]), pathlib.Path(output[2])]
    assert [output[1], output[3]] == [sha256(p) for p in packages], output
    return packages


def sha512(path):
    return hashlib.sha512(pathlib.Path(path).read_bytes()).hexdigest()


def validate_sbom(path):
    """The official CycloneDX 1.6 schema, strictly, through @cyclonedx/cyclonedx-library."""
    return subprocess.run(['node', SOURCE / 'tests' / 'sbom' / 'validate.mjs', BUILD / 'node', path],
                          capture_output=True, text=True)


def verify_envelope(envelope, certificate):
    """Sigstore's verifier, @sigstore/verify, on a DSSE envelope with a certificate's key."""
    return subprocess.run(['node', SOURCE / 'tests' / 'provenance' / 'verify-dsse.mjs', BUILD / 'node', envelope,
                           certificate], capture_output=True, text=True)


def sbom_mismatches(document, program, packages, map_path):
    """What the SBOM says wrong of the release it came with: the program's hashes, each
    package's hashes as a distribution of the program, and every archive the linker loaded,
    under its package."""
    def hashes(entry):
        return {h['alg']: h['content'] for h in entry.get('hashes', [])}
    found = []
    product = document['metadata']['component']
    if hashes(product) != {'SHA-256': sha256(program), 'SHA-512': sha512(program)}:
        found.append('the program\'s hashes')
    distributions = {r['url']: r for r in product.get('externalReferences', []) if r['type'] == 'distribution'}
    for package in packages:
        if package.name not in distributions or hashes(distributions[package.name]) != {
                'SHA-256': sha256(package), 'SHA-512': sha512(package)}:
            found.append(f'{package.name}: hashes')
    by_name = {c['name']: c for c in document['components']}
    for component in linkmap.components(map_path):
        entry = by_name.get(component.package)
        archives = {a['name']: a for a in (entry or {}).get('components', [])}
        if not entry or entry['version'] != component.version or component.archive.name not in archives:
            found.append(f'{component.package} {component.archive.name}: missing')
        elif hashes(archives[component.archive.name])['SHA-256'] != sha256(component.archive):
            found.append(f'{component.archive.name}: hash')
    return found


def cached_deb_sha512(component):
    """The SHA-512 of a Debian package's .deb where apt's cache holds the very file the SBOM
    names by its SHA-256, else None: a digest the release could not compute must be absent."""
    sha256s = [h['content'] for h in component.get('hashes', []) if h['alg'] == 'SHA-256']
    name = component['purl'].split('/')[-1].split('?')[0]  # NAME@VERSION
    package, version = name.split('@')
    version = urllib.parse.unquote(version)
    architecture = component['purl'].split('arch=')[1].split('&')[0]
    cached = pathlib.Path('/var/cache/apt/archives') / f'{package}_{version.replace(":", "%3a")}_{architecture}.deb'
    if not sha256s or not cached.is_file() or sha256(cached) != sha256s[0]:
        return None
    return sha512(cached)


def missing_sbom_elements(document, facts):
    """The NTIA minimum elements and BSI TR-03183-2's items the SBOM lacks, each by name."""
    found = []
    metadata, product = document['metadata'], document['metadata']['component']
    components = document['components']
    everything = [product] + components + [a for c in components for a in c.get('components', [])]
    refs = {c['bom-ref']: c for c in everything}
    if metadata.get('authors') != [{'name': facts['name']}] or metadata.get('manufacturer', {}).get('name') != \
            facts['name']:
        found.append('author of the SBOM data')
    if not metadata.get('timestamp'):
        found.append('timestamp')
    if [t['name'] for t in metadata.get('tools', {}).get('components', [])] != ['make-sbom.py']:
        found.append('generator in metadata.tools')
    graph = {d['ref']: d['dependsOn'] for d in document.get('dependencies', [])}
    unknown = {ref for c in document.get('compositions', []) if c['aggregate'] == 'unknown'
               for ref in c.get('dependencies', [])}
    # BSI TR-03183-2's fields of every component: creator, name, version (or, for what the
    # program does not ship, what is known of it), file name, the executable, archive and
    # structured properties, licences, dependencies (or that they are not known), and for
    # what the program holds, SHA-512.
    for component in everything:
        name = component['name']
        shipped = component['bom-ref'] == 'Brenhold.exe' or component['bom-ref'].startswith('deb:')
        properties = {p['name']: p['value'] for p in component.get('properties', [])}
        if not component.get('supplier', {}).get('name') or not component.get('manufacturer', {}).get('name'):
            found.append(f'{name}: supplier and manufacturer')
        if component.get('supplier', {}).get('name') == 'Debian' and \
                component['supplier'].get('url') != ['https://www.debian.org']:
            found.append(f'{name}: supplier URL')
        if shipped and not component.get('purl'):
            found.append(f'{name}: purl')
        if not (component.get('version') if shipped else properties.get('brenhold:version')):
            found.append(f'{name}: version')
        if not shipped and component.get('version'):
            found.append(f'{name}: a version the program cannot know')
        for field in ('filename', 'executable', 'archive', 'structured'):
            if not properties.get(f'bsi:component:{field}'):
                found.append(f'{name}: bsi:component:{field}')
        if shipped and not all(choice.get('license', choice).get('acknowledgement') in ('declared', 'concluded')
                               for choice in component.get('licenses', [None]) if choice):
            found.append(f'{name}: licence acknowledgement')
        if not component.get('licenses'):
            found.append(f'{name}: licence')
        if component['bom-ref'] not in graph and component['bom-ref'] not in unknown:
            found.append(f'{name}: dependencies, or that they are not known')
        if shipped and component.get('components') is None and properties.get('bsi:component:executable') != \
                'non-executable' and 'SHA-512' not in {h['alg'] for h in component.get('hashes', [])}:
            found.append(f'{name}: SHA-512')
        if not shipped:
            # A licence SPDX does not list: a LicenseRef- expression, defined by the component.
            [choice] = component.get('licenses') or [{}]
            reference = choice.get('expression', '')
            if not re.fullmatch(r'LicenseRef-[A-Za-z0-9.-]+', reference) or not \
                    properties.get('brenhold:licence-reference', '').startswith(f'{reference}: '):
                found.append(f'{name}: a defined LicenseRef- expression')
        if component['bom-ref'].startswith('deb:') and component['bom-ref'].count(':') == 1:
            if {h['alg']: h['content'] for h in component.get('hashes', [])}.get('SHA-512') != \
                    cached_deb_sha512(component):
                found.append(f'{name}: the .deb\'s SHA-512 where the machine has the .deb, and only there')
    purls = [c['purl'] for c in everything if c.get('purl')]
    if len(set(purls)) != len(purls):
        found.append('unique purls')
    library = refs.get('print-library', {})
    if library.get('purl') or 'unknown' not in library.get('supplier', {}).get('name', ''):
        found.append('the print library: an unknown third party\'s, identified by nothing but its name')
    if product.get('supplier', {}).get('name') != facts['name']:
        found.append('the program\'s supplier')
    if ('url' in product['supplier']) != bool(facts['website']):
        found.append('the program\'s supplier URL: as publisher.json has it, never invented')
    properties = {p['name']: p['value'] for p in product.get('properties', [])}
    for name, value in [('bsi:component:filename', 'Brenhold.exe'), ('bsi:component:executable', 'executable'),
                        ('bsi:component:archive', 'no archive'), ('bsi:component:structured', 'unstructured')]:
        if properties.get(name) != value:
            found.append(name)
    if 'SHA-512' not in {h['alg'] for h in product.get('hashes', [])}:
        found.append('the program\'s SHA-512')
    if sorted(choice['license'].get('acknowledgement', '') for choice in product.get('licenses', [])
              if 'license' in choice) != ['concluded', 'declared']:
        found.append('the program\'s licence, declared and concluded')
    references = {r['type']: r for r in product.get('externalReferences', [])}
    if ('vcs' in references) != bool(facts['source_repository']):
        found.append('the source\'s URI')
    if 'distribution' not in references:
        found.append('the distribution\'s URI')
    needs = graph.get('Brenhold.exe', [])
    if 'print-library' not in needs or refs.get('print-library', {}).get('name') != 'Tamsel.dll':
        found.append('the print library in the dependency graph')
    if {refs[r]['name'].lower() for r in needs if r.startswith('windows:')} != SYSTEM_DLLS:
        found.append(GRAPH_DLLS)
    if any(c['type'] == 'file' or c['name'].endswith(('.zip', '.msi')) for c in components):
        found.append('the packages are distributions, not components')
    aggregates = {c['aggregate']: c for c in document.get('compositions', [])}
    if 'Brenhold.exe' not in aggregates.get('complete', {}).get('assemblies', []) or \
            'print-library' not in aggregates.get('unknown', {}).get('assemblies', []):
        found.append('compositions: complete for the program, unknown for the print library')
    return found


def msi_properties(installer):
    with tempfile.TemporaryDirectory(prefix='brenhold-msiinfo-') as folder:
        exported = subprocess.run(['msiinfo', 'export', str(installer), 'Property'], capture_output=True, text=True,
                                  check=True, cwd=folder).stdout
    return dict(line.split('\t', 1) for line in exported.splitlines()[3:])


def end_of_support(epoch, years):
    released = time.gmtime(int(epoch))
    return time.strftime('%B %Y', time.struct_time((released.tm_year + years, released.tm_mon, 1) + (0,) * 6))


def publisher_mismatches(facts, epoch, top, installed, installer, document):
    """Where a release does not carry the publisher's facts: BUILD-INFO.txt, SECURITY.md (in
    the ZIP and in the MSI), the MSI's Manufacturer and ARP properties, and the SBOM. An
    unknown fact must be said to be unknown, never filled in."""
    found = []
    lines = (top / 'BUILD-INFO.txt').read_text().splitlines()
    expected = [f'publisher: {facts["name"]}', f'website: {facts["website"] or "none yet"}',
                f'source repository: {facts["source_repository"] or "none yet"}',
                f'security contact: {facts["security_contact"] or "none yet"}',
                f'supported until: end of {end_of_support(epoch, facts["support_years"])} '
                f'({facts["support_years"]} years from the release)']
    found += [f'BUILD-INFO.txt: {line!r}' for line in expected if line not in lines]
    for security in (top / 'SECURITY.md', installed / 'SECURITY.md'):
        text = security.read_text()
        for fact in ('name', 'website', 'source_repository', 'security_contact'):
            if facts[fact] and facts[fact] not in text:
                found.append(f'{security}: {fact}')
        if not facts['security_contact'] and 'No security contact has been named yet' not in text:
            found.append(f'{security}: says no security contact exists yet')
        if f'supported for {facts["support_years"]} years' not in text:
            found.append(f'{security}: support period')
    properties = msi_properties(installer)
    if properties.get('Manufacturer') != facts['name']:
        found.append(f'MSI Manufacturer {properties.get("Manufacturer")!r}')
    for name, fact in [('ARPURLINFOABOUT', 'website'), ('ARPHELPLINK', 'source_repository'),
                       ('ARPCONTACT', 'security_contact')]:
        if properties.get(name) != (facts[fact] or None):
            found.append(f'MSI {name} {properties.get(name)!r}')
    metadata = document['metadata']
    for place in (metadata['manufacturer'], metadata['supplier'], metadata['component']['supplier']):
        if place != ({'name': facts['name'], 'url': [facts['website']]} if facts['website'] else
                     {'name': facts['name']}):
            found.append(f'SBOM organisation {place}')
    references = {r['type']: r['url'] for r in metadata['component']['externalReferences']
                  if r['type'] != 'distribution'}
    contact = facts['security_contact']
    if references != {k: v for k, v in [('website', facts['website']), ('vcs', facts['source_repository']),
                                         ('security-contact', contact if contact.startswith('https://')
                                          else contact and f'mailto:{contact}')] if v}:
        found.append(f'SBOM references {references}')
    return found


def os_release():
    """The build machine's system as its /etc/os-release names it: "Debian GNU/Linux 13 (trixie)"."""
    fields = dict(line.split('=', 1) for line in pathlib.Path('/etc/os-release').read_text().splitlines() if '=' in line)
    return fields['PRETTY_NAME'].strip('"')


def owning_package(path):
    """The Debian package that installed the file, without its architecture. Debian 12 merged
    /lib into /usr/lib, but its packages still name the file under /lib: dpkg knows it there."""
    for name in (str(path), str(path).removeprefix('/usr')):
        owner = subprocess.run(['dpkg-query', '-S', name], capture_output=True, text=True).stdout
        if owner:
            return owner.split(':')[0].split(',')[0].strip()
    raise AssertionError(f'no Debian package owns {path}')


def loaded_library(program, stem):
    listed = subprocess.run(['ldd', str(program)], capture_output=True, text=True).stdout
    [found] = [line.split('=>')[1].split()[0] for line in listed.splitlines() if stem in line and '=>' in line]
    return pathlib.Path(found).resolve()


def shaping_files():
    """Files whose packages shape a release's bytes on every Debian release the build runs on:
    the compiler and its LLVM, the linker, the MinGW-w64 headers and compilers, windres, CMake,
    Python with its standard library and zlib, wixl with its libraries, olefile and pefile.
    Found on this machine, so that the packages' names (clang-14 or clang-19, python3.11 or
    python3.13, libmsi0 or its successor) are this release's."""
    which = lambda tool: pathlib.Path(shutil.which(tool)).resolve()  # noqa: E731
    clang, wixl = which('clang'), which('wixl')
    python = pathlib.Path(sys.executable).resolve()
    import olefile
    import pefile
    import zipfile as zipfile_module
    import zlib as zlib_module
    files = [clang, loaded_library(clang, 'libLLVM'), which('ld.lld'), which('cmake'),
             pathlib.Path('/usr/x86_64-w64-mingw32/include/windows.h'),
             which('x86_64-w64-mingw32-gcc-win32'), which('x86_64-w64-mingw32-g++-win32'),
             which('x86_64-w64-mingw32-windres'), python, pathlib.Path(zipfile_module.__file__).resolve(),
             wixl, which('msibuild'), loaded_library(wixl, 'libgcab'), loaded_library(wixl, 'libmsi'),
             pathlib.Path(olefile.__file__).resolve(), pathlib.Path(pefile.__file__).resolve()]
    zlib_file = getattr(zlib_module, '__file__', None)
    files.append(loaded_library(pathlib.Path(zlib_file) if zlib_file else python, 'libz.so'))
    return files


def build_info_packages(lines):
    return {line.split(': ')[0][len('package '):]: line.split(': ')[1].split()[0]
            for line in lines if line.startswith('package ')}


def deb_digest(name, version):
    """The digest a Debian package of the build must carry in the provenance: its .deb's
    SHA-256 from the package index, else the SHA-256 of dpkg's copy of its md5sums."""
    shown = subprocess.run(['apt-cache', 'show', f'{name}={version}'], capture_output=True, text=True).stdout
    for stanza in shown.split('\n\n'):
        if f'\nVersion: {version}\n' in f'\n{stanza}\n' and 'SHA256: ' in stanza:
            return {'sha256': stanza.split('SHA256: ')[1].split()[0]}
    listed = subprocess.run(['dpkg-query', '-L', name], capture_output=True, text=True).stdout
    info = [path for path in pathlib.Path('/var/lib/dpkg/info').glob(f'{name}*.md5sums')
            if path.name in (f'{name}.md5sums',) or path.name.startswith(f'{name}:')]
    assert listed and len(info) == 1, (name, info)
    return {'sha256-of-dpkg-md5sums': sha256(info[0])}


def buildinfo_packages(record):
    """{name: version} of a .buildinfo's Installed-Build-Depends."""
    listed = record.split('Installed-Build-Depends:\n')[1]
    return {match[0]: match[1] for match in re.findall(r'^ ([^: ]+):\S+ \(= ([^)]+)\),?$', listed, re.MULTILINE)}


def pe_checksum(path):
    raw = pathlib.Path(path).read_bytes()
    (header,) = struct.unpack_from('<I', raw, 0x3C)
    return struct.unpack_from('<I', raw, header + 24 + 64)[0]


def image_checks(product):
    """The image test, run on another copy of the program."""
    environment = dict(os.environ, BRENHOLD_PRODUCT=str(product))
    return subprocess.run([sys.executable, E2E / 'test_image.py'], env=environment, capture_output=True, text=True)


# Packages of the build machine that do not shape a release's bytes: the C library, the
# signing tools and what only they or CMake load. The release test builds once as if they
# were at another version.
UNRELATED = ['libc6', 'libcurl4', 'osslsigncode', 'openssl', 'libssl3']
OTHER_VERSION = '99.9-another-machine'

# Three days on, the signer's certificate (valid for a day) has expired: libfaketime's clock.
AFTER_EXPIRY = ['faketime', '-f', '+3d']

# A publisher with every fact known, for the release that must carry another file's facts.
FILLED_PUBLISHER = {'name': 'Example Printing GmbH', 'website': 'https://printing.example',
                    'source_repository': 'https://git.example/brenhold-caller',
                    'security_contact': 'security@printing.example', 'support_years': 7}


class Release(ProductTest):

    @classmethod
    def setUpClass(cls):
        cls.root = pathlib.Path(tempfile.mkdtemp(prefix='brenhold-release-'))
        epoch = entry_epoch()
        cls.stamp = time.gmtime(int(epoch))[:5]
        cls.epoch = epoch
        cls.facts = json.loads((SOURCE / 'publisher.json').read_text())
        cls.packages, cls.installers, cls.programs, cls.sboms = [], [], [], []
        # Two copies in unrelated folders, built one after the other; the second as on another
        # machine of the same Debian release, whose packages that do not shape the bytes are at
        # other versions (dpkg-query says so), with a LIBRARY_PATH of its own.
        cls.other_machine = cls.root / 'other-machine'
        (cls.other_machine / 'bin').mkdir(parents=True)
        (cls.other_machine / 'lib').mkdir()
        shim = cls.other_machine / 'bin' / 'dpkg-query'
        shim.write_text('#!/bin/sh\n/usr/bin/dpkg-query "$@" | sed -E "s/^(' + '|'.join(UNRELATED) +
                        ') [^ ]+ /\\1 ' + OTHER_VERSION + ' /"\n')
        shim.chmod(0o755)
        machines = [{}, {'PATH': f'{shim.parent}:{os.environ["PATH"]}', 'LIBRARY_PATH': str(cls.other_machine / 'lib')}]
        for folder, machine in zip(('one', 'elsewhere/deeper/two'), machines):
            checkout = cls.root / folder
            checkout.mkdir(parents=True)
            copy_checkout(checkout)
            package, installer = release(checkout, epoch, **machine)
            cls.packages.append(package)
            cls.installers.append(installer)
            cls.sboms.append(package.parent / f'Brenhold-{VERSION}.cdx.json')
            cls.programs.append(checkout / 'build-release' / 'bin' / 'Brenhold.exe')
            time.sleep(2)  # a ZIP's clock ticks in two seconds
        print(f'\nexecutable SHA-256 {sha256(cls.programs[0])}\npackage SHA-256 {sha256(cls.packages[0])}'
              f'\nMSI SHA-256 {sha256(cls.installers[0])}')

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def unpacked(self):
        folder = pathlib.Path(tempfile.mkdtemp(prefix='brenhold-unpacked-'))
        self.addCleanup(shutil.rmtree, folder, True)
        with zipfile.ZipFile(self.packages[0]) as package:
            package.extractall(folder)
        [top] = folder.iterdir()
        return top

    def test_two_checkouts_give_identical_bytes(self):
        self.assertEqual(sha256(self.programs[0]), sha256(self.programs[1]))
        self.assertEqual(sha256(self.packages[0]), sha256(self.packages[1]))
        self.assertEqual(sha256(self.installers[0]), sha256(self.installers[1]))
        self.assertEqual(sha256(self.sboms[0]), sha256(self.sboms[1]))
        self.assertEqual(self.packages[0].name, f'Brenhold-{VERSION}-win64.zip')
        self.assertEqual(self.installers[0].name, f'Brenhold-{VERSION}-win64.msi')

    def test_the_packages_name_only_what_shapes_them_and_the_buildinfo_everything(self):
        lines = (self.unpacked() / 'BUILD-INFO.txt').read_text().splitlines()
        shaping = build_info_packages(lines)
        records = [(self.packages[i].parent / f'Brenhold-{VERSION}.buildinfo').read_text() for i in (0, 1)]
        environment = [buildinfo_packages(record) for record in records]
        for name in UNRELATED:
            with self.subTest(name):
                installed = subprocess.run(['dpkg-query', '-W', '-f', '${Version}', name], capture_output=True,
                                           text=True).stdout
                self.assertNotIn(name, shaping)
                self.assertEqual(environment[0].get(name), installed or None)
                if installed:
                    self.assertEqual(environment[1][name], OTHER_VERSION)
        self.assertEqual({name: environment[0][name] for name in shaping}, shaping)
        self.assertIn('Build-Distribution: debian-', records[0])
        for package in (self.packages[0], self.installers[0]):
            self.assertIn(f' {sha256(package)} {package.stat().st_size} {package.name}\n', records[0])
        # The other machine's LIBRARY_PATH did not reach its link.
        account = (self.packages[1].parent / 'Brenhold.link.txt').read_text().splitlines()[0]
        self.assertNotIn(str(self.other_machine / 'lib'), account)
        self.assertIn('-libpath:/usr/x86_64-w64-mingw32/lib', account)

    def test_checksums_of_both_packages_beside_them(self):
        folder = self.packages[0].parent
        check = subprocess.run(['sha256sum', '-c', 'SHA256SUMS.txt'], cwd=folder, capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual(sorted(line.split(':')[0] for line in check.stdout.splitlines()),
                         sorted([self.installers[0].name, self.packages[0].name, self.sboms[0].name,
                                 f'Brenhold-{VERSION}-notes.md']))

    def test_msi_holds_the_tested_program_and_the_zip_s_files(self):
        unpacked = pathlib.Path(tempfile.mkdtemp(prefix='brenhold-msi-files-'))
        self.addCleanup(shutil.rmtree, unpacked, True)
        subprocess.run(['msiextract', '-C', unpacked, self.installers[0]], check=True, capture_output=True)
        files = {p.name: p for p in unpacked.rglob('*') if p.is_file()}
        self.assertEqual(sorted(files), harness.SHIPPED, harness.SHIPPED_DIFFERS)
        self.assertEqual(sha256(files['Brenhold.exe']), sha256(PRODUCT))
        top = self.unpacked()
        for name in harness.SHIPPED:
            self.assertEqual(files[name].read_bytes(), (top / name).read_bytes())

    def test_the_sbom_is_valid_cyclonedx_and_names_the_shipped_bytes(self):
        checked = validate_sbom(self.sboms[0])
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        document = json.loads(self.sboms[0].read_text())
        program = self.unpacked() / 'Brenhold.exe'
        map_path = self.programs[0].parents[1] / 'Brenhold.map'
        self.assertEqual(sbom_mismatches(document, program, [self.packages[0], self.installers[0]], map_path), [])
        self.assertEqual(document['metadata']['component']['version'], VERSION)
        self.assertEqual(missing_sbom_elements(document, self.facts), [])
        # The build tools are the formulation, the same list as BUILD-INFO's packages.
        packages = build_info_packages((self.unpacked() / 'BUILD-INFO.txt').read_text().splitlines())
        formulated = {c['name']: c for f in document['formulation'] for c in f['components']}
        self.assertEqual({name: c['version'] for name, c in formulated.items()}, packages)
        for name, component in formulated.items():
            self.assertTrue(component['purl'].startswith(f'pkg:deb/debian/{name}@'), component['purl'])
        self.assertEqual(document['metadata']['timestamp'][:16],
                         time.strftime('%Y-%m-%dT%H:%M', time.struct_time(self.stamp + (0, 0, 0, 0))))

    def test_a_broken_sbom_fails(self):
        document = json.loads(self.sboms[0].read_text())
        broken = self.root / 'broken.cdx.json'
        # A licence that SPDX does not know: the schema refuses it.
        bad_licence = json.loads(json.dumps(document))
        bad_licence['metadata']['component']['licenses'] = [{'license': {'id': 'MIT-ish'}}]
        broken.write_text(json.dumps(bad_licence))
        self.assertEqual(validate_sbom(broken).returncode, 1)
        # A well-formed hash of other bytes: valid to the schema, wrong about the release.
        wrong_hash = json.loads(json.dumps(document))
        wrong_hash['metadata']['component']['hashes'][0]['content'] = sha256(self.installers[0])
        program = self.unpacked() / 'Brenhold.exe'
        map_path = self.programs[0].parents[1] / 'Brenhold.map'
        self.assertEqual(sbom_mismatches(wrong_hash, program, [self.packages[0], self.installers[0]], map_path),
                         ['the program\'s hashes'])
        # An archive of the map left out.
        missing = json.loads(json.dumps(document))
        missing['components'] = [c for c in missing['components'] if c['name'] != 'mingw-w64-x86-64-dev']
        self.assertIn('mingw-w64-x86-64-dev libkernel32.a: missing',
                      sbom_mismatches(missing, program, [self.packages[0], self.installers[0]], map_path))
        # Each element, taken away, is missed by its name.
        for path, name in [(('metadata', 'authors'), 'author of the SBOM data'),
                           (('metadata', 'component', 'purl'), 'Brenhold caller: purl'),
                           (('metadata', 'component', 'properties'), 'bsi:component:filename'),
                           (('components', 0, 'properties'), 'mingw-w64-x86-64-dev: bsi:component:filename'),
                           (('components', 0, 'components', 0, 'hashes'), 'libadvapi32.a: SHA-512'),
                           (('dependencies', 3), 'libadvapi32.a: dependencies, or that they are not known'),
                           (('components', 2, 'supplier'), 'Tamsel.dll: supplier and manufacturer'),
                           (('components', 3, 'properties'), 'ADVAPI32.dll: version'),
                           (('components', 3, 'licenses'), 'ADVAPI32.dll: licence'),
                           (('components', 3, 'properties', -1), 'ADVAPI32.dll: a defined LicenseRef- expression'),
                           (('components', 2, 'licenses', 0, 'expression'),
                            'Tamsel.dll: a defined LicenseRef- expression'),
                           (('metadata', 'component', 'licenses', 1), 'the program\'s licence, declared and concluded'),
                           (('compositions',), 'compositions: complete for the program, unknown for the print '
                                               'library')]:
            with self.subTest(name):
                broken_element = json.loads(json.dumps(document))
                holder = broken_element
                for key in path[:-1]:
                    holder = holder[key]
                del holder[path[-1]]
                self.assertIn(name, missing_sbom_elements(broken_element, self.facts))
        # The .deb's SHA-512 taken away where the machine has the .deb (apt's cache), or added
        # where it has not.
        no_sha512 = json.loads(json.dumps(document))
        package = no_sha512['components'][0]
        expected = cached_deb_sha512(package)
        package['hashes'] = [h for h in package['hashes'] if h['alg'] != 'SHA-512'] + (
            [] if expected else [{'alg': 'SHA-512', 'content': '0' * 128}])
        self.assertIn(f'{package["name"]}: the .deb\'s SHA-512 where the machine has the .deb, and only there',
                      missing_sbom_elements(no_sha512, self.facts))
        no_dlls = json.loads(json.dumps(document))
        no_dlls['dependencies'][0]['dependsOn'] = [r for r in no_dlls['dependencies'][0]['dependsOn']
                                                   if not r.startswith('windows:')]
        self.assertIn(GRAPH_DLLS, missing_sbom_elements(no_dlls, self.facts))

    def test_the_shipped_documents_point_at_nothing_missing(self):
        for document in sorted(self.unpacked().glob('*.md')):
            with self.subTest(document.name):
                self.assertEqual(harness.unshipped_references(document), [])

    def test_build_information_names_the_toolchain(self):
        lines = (self.unpacked() / 'BUILD-INFO.txt').read_text().splitlines()
        self.assertEqual(lines[0], f'Brenhold caller {VERSION}')
        named = [line.split(':')[0] for line in lines[1:] if not line.startswith('package ')]
        self.assertEqual(named, ['commit', 'made on', 'publisher', 'website', 'source repository', 'security contact',
                                 'supported until', 'compiler', 'linker', 'resource compiler', 'message compiler',
                                 'cmake', 'python', 'zlib', 'msi compiler', 'olefile', 'pefile'])
        self.assertNotIn('unknown', ' '.join(lines))
        self.assertNotIn('unpackaged', ' '.join(lines))
        self.assertEqual(lines[1], f'commit: {COMMIT}')
        self.assertEqual(lines[2], f'made on: {os_release()}')
        # Every package whose files shape the bytes, with its Debian revision as dpkg has it.
        packages = build_info_packages(lines)
        for path in shaping_files():
            name = owning_package(path)
            with self.subTest(name, file=str(path)):
                installed = subprocess.run(['dpkg-query', '-W', '-f', '${Version}', name], capture_output=True,
                                           text=True).stdout
                self.assertEqual(packages.get(name), installed)
        self.assertIn('-', packages['mingw-w64-x86-64-dev'])

    def test_the_publisher_from_the_repository_s_file_in_every_place(self):
        unpacked = pathlib.Path(tempfile.mkdtemp(prefix='brenhold-msi-files-'))
        self.addCleanup(shutil.rmtree, unpacked, True)
        subprocess.run(['msiextract', '-C', unpacked, self.installers[0]], check=True, capture_output=True)
        [installed] = {p.parent for p in unpacked.rglob('SECURITY.md')}
        document = json.loads(self.sboms[0].read_text())
        self.assertEqual(publisher_mismatches(self.facts, self.epoch, self.unpacked(), installed, self.installers[0],
                                              document), [])
        # The repository's own SECURITY.md is what the release ships.
        self.assertEqual((self.unpacked() / 'SECURITY.md').read_text(), (SOURCE / 'SECURITY.md').read_text())

    def test_release_notes_are_the_changelog_entry(self):
        notes = (self.packages[0].parent / f'Brenhold-{VERSION}-notes.md').read_text()
        self.assertTrue(notes.startswith(f'## [{VERSION}] - '), notes)
        self.assertIn(notes, (SOURCE / 'CHANGELOG.md').read_text())
        self.assertEqual((self.unpacked() / 'CHANGELOG.md').read_bytes(), (SOURCE / 'CHANGELOG.md').read_bytes())

    def test_provenance_names_every_output_and_the_build(self):
        folder = self.packages[0].parent
        statement = json.loads((folder / f'Brenhold-{VERSION}.intoto.json').read_text())
        self.assertEqual(statement['_type'], 'https://in-toto.io/Statement/v1')
        self.assertEqual(statement['predicateType'], 'https://slsa.dev/provenance/v1')
        outputs = [self.packages[0], self.installers[0], self.sboms[0], folder / f'Brenhold-{VERSION}-notes.md',
                   folder / 'SHA256SUMS.txt']
        self.assertEqual(statement['subject'], [{'name': p.name, 'digest': {'sha256': sha256(p)}} for p in outputs])
        definition = statement['predicate']['buildDefinition']
        self.assertEqual(definition['externalParameters']['commit'], COMMIT)
        self.assertEqual(definition['externalParameters']['tree'], 'copy')
        self.assertEqual(definition['resolvedDependencies'][0]['digest'], {'gitCommit': COMMIT})
        packages = build_info_packages((self.unpacked() / 'BUILD-INFO.txt').read_text().splitlines())
        materials = {d['name']: d for d in definition['resolvedDependencies'][1:]}
        self.assertEqual(sorted(materials), sorted(packages))
        for name, material in materials.items():
            with self.subTest(name):
                self.assertEqual(material.get('digest'), deb_digest(name, packages[name]))
        self.assertTrue(statement['predicate']['runDetails']['builder']['id'])
        self.assertFalse((folder / f'Brenhold-{VERSION}.intoto.jsonl').exists())
        # The other machine's statement differs in its .buildinfo only, a by-product.
        other = json.loads((self.sboms[1].parent / f'Brenhold-{VERSION}.intoto.json').read_text())
        byproducts = [{b['name']: b['digest']['sha256'] for b in s['predicate']['runDetails'].pop('byproducts')}
                      for s in (statement, other)]
        self.assertEqual(other, statement)
        self.assertEqual(byproducts[0]['BUILD-INFO.txt'], byproducts[1]['BUILD-INFO.txt'])
        self.assertEqual(byproducts[0][f'Brenhold-{VERSION}.buildinfo'],
                         sha256(folder / f'Brenhold-{VERSION}.buildinfo'))
        self.assertNotEqual(byproducts[0][f'Brenhold-{VERSION}.buildinfo'],
                            byproducts[1][f'Brenhold-{VERSION}.buildinfo'])

    def test_package_carries_no_times_owners_or_modes_of_the_machine(self):
        # Same user and clock here for both builds: what would differ elsewhere (owners,
        # access times, the packer's own modes) is checked to be absent.
        raw = self.packages[0].read_bytes()
        with zipfile.ZipFile(self.packages[0]) as package:
            entries = package.infolist()
        self.assertEqual([e.filename for e in entries], sorted(e.filename for e in entries))
        for entry in entries:
            with self.subTest(entry.filename):
                self.assertEqual(entry.extra, b'')
                _, extra_length = struct.unpack_from('<HH', raw, entry.header_offset + 26)
                self.assertEqual(extra_length, 0, 'extra field in the local header')
                self.assertEqual(entry.date_time[:5], self.stamp)
                mode = 0o755 if entry.filename.endswith('.exe') else 0o644
                self.assertEqual(entry.external_attr >> 16, 0o100000 | mode)

    def test_package_holds_the_tested_program_with_its_checksums(self):
        top = self.unpacked()
        self.assertEqual(top.name, f'Brenhold-{VERSION}-win64')
        self.assertEqual(sorted(p.name for p in top.iterdir()), sorted(harness.SHIPPED + ['SHA256SUMS.txt']),
                         harness.SHIPPED_DIFFERS)
        # The very bytes the end-to-end tests ran, and the documents of the source tree.
        self.assertEqual(sha256(top / 'Brenhold.exe'), sha256(PRODUCT))
        for document in harness.DOCUMENTS:
            if document.parent == SOURCE:
                self.assertEqual((top / document.name).read_bytes(), document.read_bytes(), document.name)
        check = subprocess.run(['sha256sum', '-c', 'SHA256SUMS.txt'], cwd=top, capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual(len(check.stdout.splitlines()), len(harness.SHIPPED))
        checks = image_checks(top / 'Brenhold.exe')
        self.assertEqual(checks.returncode, 0, checks.stderr)

    def test_signed_program_keeps_the_digest_runs_and_passes_the_image_checks(self):
        top = self.unpacked()
        folder = top.parent
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                        '-subj', '/CN=Throwaway Brenhold test signer', '-keyout', folder / 'key.pem',
                        '-out', folder / 'cert.pem'], check=True, capture_output=True)
        # The output's folder does not exist yet: the script makes it.
        signed = folder / 'signed' / 'Brenhold.exe'
        subprocess.run(['bash', SOURCE / 'scripts' / 'sign.sh', folder / 'cert.pem', folder / 'key.pem',
                        top / 'Brenhold.exe', signed], check=True, capture_output=True)
        self.assertNotEqual(sha256(signed), sha256(top / 'Brenhold.exe'))
        self.assertEqual(authenticode_digest(signed), authenticode_digest(top / 'Brenhold.exe'))
        verified = subprocess.run(['osslsigncode', 'verify', '-in', signed, '-CAfile', folder / 'cert.pem'],
                                  capture_output=True, text=True)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertIn(authenticode_digest(signed).upper(), verified.stdout)
        checks = image_checks(signed)
        self.assertEqual(checks.returncode, 0, checks.stderr)
        # Without its signature again, the file still differs from the build: the PE checksum,
        # 0 in the build, was filled in by the signing and is filled in again by the removal.
        unsigned = folder / 'unsigned' / 'Brenhold.exe'
        unsigned.parent.mkdir()
        subprocess.run(['osslsigncode', 'remove-signature', '-in', signed, '-out', unsigned], check=True,
                       capture_output=True)
        self.assertEqual((pe_checksum(top / 'Brenhold.exe'), pe_checksum(signed) != 0), (0, True))
        self.assertNotEqual(pe_checksum(unsigned), 0)
        self.assertNotEqual(sha256(unsigned), sha256(top / 'Brenhold.exe'))
        self.assertEqual(authenticode_digest(unsigned), authenticode_digest(top / 'Brenhold.exe'))
        box = self.sandbox()
        shutil.copy(signed, box.exe)
        box.file('x.txt', b'signed run')
        run = box.run('-DELETE x.txt')
        self.assertPrintedQuietly(run)
        self.assertEqual((box.spool / 'x.txt').read_bytes(), b'signed run')
        self.assertFalse((box.work / 'x.txt').exists())


def edit(path, old, new):
    text = path.read_text()
    assert old in text, (path, old)
    path.write_text(text.replace(old, new, 1))


def entry_heading():
    return re.search(rf'^## \[{re.escape(VERSION)}\] - .*$', (SOURCE / 'CHANGELOG.md').read_text(), re.MULTILINE).group(0)


def empty_entry(clone):
    text = (clone / 'CHANGELOG.md').read_text()
    start = text.index(entry_heading())
    following = text.find('\n## [', start + 1)
    (clone / 'CHANGELOG.md').write_text(text[:start] + entry_heading() + '\n' +
                                        (text[following:] if following > 0 else ''))


def tag(clone, name):
    subprocess.run(GIT + ['tag', '-a', '-m', name, name], cwd=clone, check=True, env=git_environment())


def bump_without_entry(clone):
    edit(clone / 'CMakeLists.txt', f'project(Brenhold VERSION {VERSION}', 'project(Brenhold VERSION 99.0.0.0')


# Each gate of a release: what is changed in a clean clone of the commit, whether that change
# is committed, and the words of the refusal ('' where the release must go ahead).
GATES = [
    ('a clean clone releases', None, False, ''),
    ('a changed file', lambda c: edit(c / 'README.md', '#', '# changed'), False,
     'the tree differs from its commit'),
    ('a new file', lambda c: (c / 'stray.txt').write_text('x'), False, 'remove the new files'),
    ('an empty entry', empty_entry, True, 'it lists no change'),
    ('an empty section', lambda c: edit(c / 'CHANGELOG.md', entry_heading(), entry_heading() + '\n\n### Fixed\n'),
     True, 'section "### Fixed" lists no change'),
    ('an entry dated 1999-01-01', lambda c: edit(c / 'CHANGELOG.md', entry_heading(), entry_heading()[:-10] +
                                                  '1999-01-01'), True, 'the entry is dated 1999-01-01'),
    ('a version without an entry', bump_without_entry, True, 'there is no entry "## [99.0.0.0]'),
    ('three years of support', lambda c: edit(c / 'publisher.json', '"support_years": 5', '"support_years": 3'),
     True, '"support_years" is 3'),
    ('its own version\'s tag', lambda c: tag(c, f'v{VERSION}'), False, ''),
    ('a tag naming another version', lambda c: tag(c, 'v9.9.9.9'), False, 'names another version'),
    ('a three-number version', lambda c: edit(c / 'CMakeLists.txt', f'project(Brenhold VERSION {VERSION}',
                                                'project(Brenhold VERSION 1.0.0'), True, 'four numbers'),
    # Attributes of the machine, not of the commit, that git archive would apply.
    ('an attribute outside the commit', lambda c: (c / '.git' / 'info' / 'attributes').write_text(
        'README.md export-ignore\n'), False, 'could not be exported'),
]


class ReleaseGates(unittest.TestCase):
    """A release is refused before anything is built, saying what to change; a developer's
    build of the same tree is not (BUILD-INFO.txt marks its commit "+changes")."""

    def gate(self, change, commit, **extra):
        clone = pathlib.Path(tempfile.mkdtemp(prefix='brenhold-gate-'))
        self.addCleanup(shutil.rmtree, clone, True)
        committed_copy(clone)
        if change:
            change(clone)
        if commit:
            commit_all(clone, 'gate')
        environment = {k: v for k, v in os.environ.items() if k not in ('BRENHOLD_COMMIT', 'SOURCE_DATE_EPOCH')}
        environment.update({name: value(clone) for name, value in extra.items()})
        return clone, subprocess.run(['bash', 'scripts/release.sh', '--check'], cwd=clone, env=environment,
                                     capture_output=True, text=True)

    def test_each_gate_refuses_its_case_and_says_what_to_change(self):
        for name, change, commit, refusal in GATES:
            with self.subTest(name):
                _, checked = self.gate(change, commit)
                if refusal:
                    self.assertEqual(checked.returncode, 1, checked.stdout)
                    self.assertIn(refusal, checked.stderr)
                else:
                    self.assertEqual(checked.returncode, 0, checked.stderr)

    def test_a_checkout_s_own_commit_decides_not_the_environment(self):
        head = lambda clone: subprocess.run(['git', 'rev-parse', 'HEAD'], cwd=clone, capture_output=True,  # noqa: E731
                                            text=True).stdout.strip()
        for name, commit, refusal in [('its HEAD named, the tree changed', head, 'the tree differs from its commit'),
                                      ('another commit named', lambda clone: '0' * 40, 'unset it')]:
            with self.subTest(name):
                _, checked = self.gate(lambda c: edit(c / 'README.md', '#', '# changed'), name == 'another commit named',
                                       BRENHOLD_COMMIT=commit)
                self.assertEqual(checked.returncode, 1, checked.stdout)
                self.assertIn(refusal, checked.stderr)

    def test_a_release_is_dated_by_its_commit(self):
        # The commit's time passes; a day before it (a changelog window and a support period
        # that would start before the commit) or after it does not.
        for shift, refusal in [(0, ''), (-86400, 'dated by its commit'), (86400, 'dated by its commit')]:
            with self.subTest(shift=shift):
                _, checked = self.gate(None, False, SOURCE_DATE_EPOCH=lambda c: str(int(entry_epoch()) + shift))
                if refusal:
                    self.assertEqual(checked.returncode, 1, checked.stdout)
                    self.assertIn(refusal, checked.stderr)
                else:
                    self.assertEqual(checked.returncode, 0, checked.stderr)

    def test_a_signed_release_without_an_authority_says_so(self):
        # Said before the gates: the changed tree stops this one before anything is built.
        for options, said in [([], True), (['-ts', 'http://127.0.0.1:9/'], False)]:
            with self.subTest(options=options):
                clone, _ = self.gate(lambda c: edit(c / 'README.md', '#', '# changed'), False)
                (clone / 'cert.pem').write_text('')
                checked = subprocess.run(['bash', 'scripts/release.sh', 'cert.pem', 'cert.pem'] + options, cwd=clone,
                                         capture_output=True, text=True)
                self.assertEqual(checked.returncode, 1, checked.stdout)
                self.assertEqual('no RFC 3161 time-stamping authority' in checked.stderr, said, checked.stderr)

    def test_a_copy_must_name_its_whole_commit_and_its_time(self):
        for commit, epoch, refusal in [('abc123', entry_epoch(), 'all 40 hex digits'),
                                       (COMMIT + '+changes', entry_epoch(), 'all 40 hex digits'),
                                       (COMMIT, '', 'names its commit\'s time in SOURCE_DATE_EPOCH')]:
            with self.subTest(commit=commit, epoch=epoch):
                copy = pathlib.Path(tempfile.mkdtemp(prefix='brenhold-gate-'))
                self.addCleanup(shutil.rmtree, copy, True)
                copy_checkout(copy)
                checked = subprocess.run(['bash', 'scripts/release.sh', '--check'], cwd=copy, capture_output=True,
                                         text=True, env=dict(os.environ, BRENHOLD_COMMIT=commit,
                                                             SOURCE_DATE_EPOCH=epoch))
                self.assertEqual(checked.returncode, 1)
                self.assertIn(refusal, checked.stderr)

    def test_a_developer_s_build_of_a_changed_tree_says_so(self):
        clone, _ = self.gate(lambda c: edit(c / 'README.md', '#', '# changed'), False)
        python = sys.executable
        info = subprocess.run(['bash', clone / 'scripts' / 'build-info.sh', VERSION, python, clone], capture_output=True,
                              text=True, env={k: v for k, v in os.environ.items() if k != 'BRENHOLD_COMMIT'})
        self.assertEqual(info.returncode, 0, info.stderr)
        head = subprocess.run(['git', 'rev-parse', 'HEAD'], cwd=clone, capture_output=True, text=True).stdout.strip()
        self.assertIn(f'commit: {head}+changes', info.stdout.splitlines())


class SignedRelease(ProductTest):
    """A release signed as a company signs one: the key in a PKCS#11 token (SoftHSM2), named by
    a pkcs11: URI; the certificate under an intermediate under the publisher's root, valid for
    a day; an RFC 3161 authority on 127.0.0.1 (tests/e2e/pki.py). The program is signed before
    it is packed: the ZIP and the MSI carry the signed program, the MSI is signed, the
    checksums and the SBOM name the signed bytes, and each signature carries the authority's
    token, so that it still verifies once the certificate has expired."""

    @classmethod
    def setUpClass(cls):
        cls.root = pathlib.Path(tempfile.mkdtemp(prefix='brenhold-signed-release-'))
        cls.pki = cls.root / 'pki'
        cls.pki.mkdir()
        cls.cert, cls.uri, token = pki.publisher(cls.pki)
        cls.publisher_root = cls.pki / 'root.pem'
        cls.authority, cls.other_authority = pki.Authority('Test'), pki.Authority('Other')
        checkout = cls.root / 'checkout'
        checkout.mkdir()
        committed_copy(checkout)
        # Another publisher, with every fact filled in: the release carries these instead.
        (checkout / 'publisher.json').write_text(json.dumps(FILLED_PUBLISHER))
        cls.commit = commit_all(checkout, 'another publisher')
        cls.epoch = entry_epoch()
        cls.committed_readme = (checkout / 'README.md').read_bytes()
        # What is not in the commit must not ship: a change git status does not show, and an
        # untracked file only this machine ignores.
        edit(checkout / 'README.md', '#', '# hidden change')
        subprocess.run(['git', 'update-index', '--skip-worktree', 'README.md'], cwd=checkout, check=True)
        (checkout / 'res' / 'stray.rc').write_text('hidden')
        with (checkout / '.git' / 'info' / 'exclude').open('a') as exclude:
            exclude.write('res/stray.rc\n')
        environment = {k: v for k, v in os.environ.items() if k not in ('BRENHOLD_COMMIT', 'SOURCE_DATE_EPOCH')}
        environment.update(token, no_proxy='127.0.0.1', NO_PROXY='127.0.0.1')
        cls.released = subprocess.run(['bash', 'scripts/release.sh', cls.cert, cls.uri, '-ts', cls.authority.url],
                                      cwd=checkout, env=environment, capture_output=True, text=True)
        assert cls.released.returncode == 0, cls.released.stdout + cls.released.stderr
        cls.checkout = checkout
        cls.folder = checkout / 'build-release'
        cls.package = cls.folder / f'Brenhold-{VERSION}-win64.zip'
        cls.installer = cls.folder / f'Brenhold-{VERSION}-win64.msi'
        cls.unpacked = cls.root / 'unpacked'
        with zipfile.ZipFile(cls.package) as package:
            package.extractall(cls.unpacked)
        cls.zipped = cls.unpacked / f'Brenhold-{VERSION}-win64'
        cls.installed = cls.root / 'installed'
        # The files an install copies, as the MSI's cabinet holds them.
        subprocess.run(['msiextract', '-C', cls.installed, cls.installer], check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        for authority in (cls.authority, cls.other_authority):
            authority.close()
            shutil.rmtree(authority.folder, ignore_errors=True)
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_a_filled_publisher_file_stands_in_every_place(self):
        [installed] = {p.parent for p in self.installed.rglob('SECURITY.md')}
        document = json.loads((self.folder / f'Brenhold-{VERSION}.cdx.json').read_text())
        self.assertEqual(publisher_mismatches(FILLED_PUBLISHER, self.epoch, self.zipped, installed, self.installer,
                                              document), [])
        self.assertEqual(missing_sbom_elements(document, FILLED_PUBLISHER), [])
        checked = validate_sbom(self.folder / f'Brenhold-{VERSION}.cdx.json')
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_the_provenance_is_a_dsse_envelope_sigstore_s_verifier_accepts(self):
        statement = self.folder / f'Brenhold-{VERSION}.intoto.json'
        signed = self.folder / f'Brenhold-{VERSION}.intoto.jsonl'
        signer = self.folder / f'Brenhold-{VERSION}.signer.pem'
        # The certificate file as given: the signer, then the intermediate that issued it.
        self.assertEqual(signer.read_bytes(), self.cert.read_bytes())
        [line] = signed.read_text().splitlines()
        envelope = json.loads(line)
        self.assertEqual(envelope['payloadType'], 'application/vnd.in-toto+json')
        self.assertEqual(base64.b64decode(envelope['payload']), statement.read_bytes())
        self.assertTrue(json.loads(statement.read_text())['predicate']['buildDefinition']['externalParameters']['signed'])
        self.assertFalse((self.folder / f'Brenhold-{VERSION}.intoto.json.p7s').exists())
        checked = verify_envelope(signed, signer)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        # Another statement, another payload type or another key does not pass.
        other_key = self.root / 'other.pem'
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=Other',
                        '-keyout', self.root / 'other-key.pem', '-out', other_key], check=True, capture_output=True)
        tampered_statement = dict(envelope, payload=base64.b64encode(
            statement.read_bytes().replace(self.commit.encode(), b'0' * 40)).decode())
        for name, changed, key in [('statement', tampered_statement, signer),
                                   ('payload type', dict(envelope, payloadType='application/json'), signer),
                                   ('key', envelope, other_key)]:
            with self.subTest(name):
                tampered = self.root / 'tampered.intoto.jsonl'
                tampered.write_text(json.dumps(changed) + '\n')
                refused = verify_envelope(tampered, key)
                self.assertEqual(refused.returncode, 1, refused.stdout + refused.stderr)
                self.assertIn('SIGNATURE_ERROR', refused.stdout)
        # A key file (PEM), for a private certificate, signs the statement as well.
        with_file = self.root / 'key-file.intoto.jsonl'
        with_file.write_text(json.dumps(provenance.envelope(statement.read_bytes(), str(other_key),
                                                            str(self.root / 'other-key.pem'))) + '\n')
        checked = verify_envelope(with_file, other_key)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def deploying_commands(self):
        """DEPLOYING.md's commands that check a time-stamped provenance, for this release, with
        the publisher's root and the authority's certificates."""
        text = (SOURCE / 'DEPLOYING.md').read_text()
        start = 'the time-stamped provenance, in the folder of the download:\n\n'
        block = text[text.index(start) + len(start):]
        commands = '\n'.join(line[4:] for line in block[:block.index('\n\n')].splitlines())
        return commands.replace('<version>', VERSION).replace('ROOT.pem', str(self.publisher_root)).replace(
            'AUTHORITY.pem', str(self.authority.chain))

    def test_deploying_md_s_provenance_check_passes_before_and_after_expiry_and_fails_as_it_says(self):
        commands = self.deploying_commands()
        bundle = self.folder / f'Brenhold-{VERSION}.sigstore.json'
        original = bundle.read_text()
        self.addCleanup(bundle.write_text, original)
        signer = self.folder / f'Brenhold-{VERSION}.signer.pem'
        for name, clock in [('before the certificate expires', []), ('after it expired', AFTER_EXPIRY)]:
            with self.subTest(name):
                checked = subprocess.run(clock + ['bash', '-ec', commands], cwd=self.folder, capture_output=True,
                                         text=True)
                self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
                self.assertIn('Verified OK', checked.stdout)
        # The certificate has indeed expired then, and is under an intermediate: without the
        # token's time, or without the shipped chain, the signer does not verify.
        for name, clock, command, error in [
                ('after expiry, at the clock\'s time', AFTER_EXPIRY,
                 ['-untrusted', signer, signer], 'certificate has expired'),
                ('the root alone', [], [signer], 'unable to get local issuer certificate')]:
            with self.subTest(name):
                plain = subprocess.run(clock + ['openssl', 'verify', '-CAfile', self.publisher_root] + command,
                                       capture_output=True, text=True)
                self.assertNotEqual(plain.returncode, 0)
                self.assertIn(error, plain.stdout + plain.stderr)
        # Another statement under the same signature, and a token of another authority, are refused.
        forged = json.loads(original)
        forged['dsseEnvelope']['payload'] = base64.b64encode(base64.b64decode(
            forged['dsseEnvelope']['payload']).replace(self.commit.encode(), b'0' * 40)).decode()
        other = self.other_authority_bundle()
        for name, changed, refusal in [('another statement', forged, 'Verification failure'),
                                       ('another authority', other, 'Verification: FAILED')]:
            with self.subTest(name):
                bundle.write_text(json.dumps(changed))
                refused = subprocess.run(['bash', '-ec', commands], cwd=self.folder, capture_output=True, text=True)
                self.assertNotEqual(refused.returncode, 0)
                self.assertIn(refusal, refused.stdout + refused.stderr)

    def other_authority_bundle(self):
        """The release's bundle with a token of the other authority over the same signature."""
        document = json.loads((self.folder / f'Brenhold-{VERSION}.sigstore.json').read_text())
        signature = base64.b64decode(document['dsseEnvelope']['signatures'][0]['sig'])
        token = provenance.time_stamp(signature, self.other_authority.url)
        document['verificationMaterial']['timestampVerificationData']['rfc3161Timestamps'] = [
            {'signedTimestamp': base64.b64encode(token).decode()}]
        return document

    def test_sigstore_s_verifier_accepts_the_bundle_after_expiry_for_its_authority_only(self):
        bundle = self.folder / f'Brenhold-{VERSION}.sigstore.json'
        document = json.loads(bundle.read_text())
        [line] = (self.folder / f'Brenhold-{VERSION}.intoto.jsonl').read_text().splitlines()
        self.assertEqual(document['dsseEnvelope'], json.loads(line))
        other = self.root / 'other-authority.sigstore.json'
        other.write_text(json.dumps(self.other_authority_bundle()))
        for name, clock, path, expected in [('before expiry', [], bundle, 'verified: '),
                                            ('after expiry', AFTER_EXPIRY, bundle, 'verified: '),
                                            ('another authority\'s token', [], other, 'TIMESTAMP_ERROR')]:
            with self.subTest(name):
                checked = subprocess.run(clock + ['node', SOURCE / 'tests' / 'provenance' / 'verify-bundle.mjs',
                                                  BUILD / 'node', path, self.publisher_root,
                                                  self.folder / f'Brenhold-{VERSION}.signer.pem',
                                                  self.authority.chain], capture_output=True, text=True)
                self.assertEqual(checked.returncode, 0 if expected == 'verified: ' else 1,
                                 checked.stdout + checked.stderr)
                self.assertIn(expected, checked.stdout)

    def test_the_program_and_the_msi_carry_the_authority_s_token_and_verify_after_expiry(self):
        [from_msi] = [p for p in self.installed.rglob('Brenhold.exe')]
        for path in (self.zipped / 'Brenhold.exe', self.installer, from_msi):
            for name, clock, options, passes in [
                    ('after expiry', AFTER_EXPIRY, ['-TSA-CAfile', self.authority.chain], True),
                    ('after expiry, the token ignored', AFTER_EXPIRY, ['-ignore_timestamp'], False),
                    # While the certificate is valid osslsigncode passes a signature whose token
                    # it cannot verify (checked at the clock's time); after expiry it may not.
                    ('after expiry, another authority', AFTER_EXPIRY, ['-TSA-CAfile', self.other_authority.chain],
                     False)]:
                with self.subTest(path.name, case=name):
                    verified = subprocess.run(clock + ['osslsigncode', 'verify', '-in', path, '-CAfile',
                                                       self.publisher_root] + options, capture_output=True, text=True)
                    self.assertEqual(verified.returncode == 0, passes, verified.stdout + verified.stderr)
        self.assertNotIn('no RFC 3161 time-stamping authority', self.released.stderr)

    def test_the_key_stays_a_pkcs11_uri(self):
        # CMake keeps it as given (a path would be made of it), and no key file is anywhere.
        cache = (self.checkout / 'build-release' / 'CMakeCache.txt').read_text()
        self.assertIn(f'BRENHOLD_SIGN_KEY:STRING={self.uri}\n', cache)
        self.assertEqual(sorted(p.name for p in self.pki.glob('*.key')), ['intermediate.key', 'root.key'])

    def test_only_the_commit_ships_and_the_provenance_names_it_and_its_time(self):
        self.assertEqual((self.zipped / 'README.md').read_bytes(), self.committed_readme)
        [installed] = [p for p in self.installed.rglob('README.md')]
        self.assertEqual(installed.read_bytes(), self.committed_readme)
        self.assertIn(f'commit: {self.commit}', (self.zipped / 'BUILD-INFO.txt').read_text().splitlines())
        statement = json.loads((self.folder / f'Brenhold-{VERSION}.intoto.json').read_text())
        definition = statement['predicate']['buildDefinition']
        self.assertEqual(definition['buildType'], 'urn:brenhold-caller:build-type:release-sh:v2')
        parameters = definition['externalParameters']
        self.assertEqual((parameters['commit'], parameters['commitTime'], parameters['tree']),
                         (self.commit, int(self.epoch), 'git-archive'))

    def assertVerifies(self, path):
        verified = subprocess.run(['osslsigncode', 'verify', '-in', path, '-CAfile', self.publisher_root],
                                  capture_output=True, text=True)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)

    def test_the_packages_carry_the_signed_program_and_the_msi_is_signed(self):
        program = self.zipped / 'Brenhold.exe'
        self.assertVerifies(program)
        self.assertNotEqual(sha256(program), sha256(PRODUCT))
        self.assertEqual(authenticode_digest(program), authenticode_digest(PRODUCT))
        [from_msi] = [p for p in self.installed.rglob('Brenhold.exe')]
        self.assertEqual(sha256(from_msi), sha256(program))
        self.assertVerifies(self.installer)

    def test_the_checksums_and_the_sbom_name_the_signed_bytes(self):
        for folder in (self.folder, self.zipped):
            with self.subTest(folder.name):
                check = subprocess.run(['sha256sum', '-c', 'SHA256SUMS.txt'], cwd=folder, capture_output=True,
                                       text=True)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        sbom = self.folder / f'Brenhold-{VERSION}.cdx.json'
        document = json.loads(sbom.read_text())
        self.assertEqual(sbom_mismatches(document, self.zipped / 'Brenhold.exe', [self.package, self.installer],
                                         self.folder / 'Brenhold.map'), [])


if __name__ == '__main__':
    harness.main()
