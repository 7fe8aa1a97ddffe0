"""The release: the same commit gives the same bytes from any checkout, the package holds
exactly the tested program, and a signed program keeps the build's Authenticode digest,
runs the job and passes the image checks."""
import hashlib
import json
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

import harness
from harness import BUILD, PRODUCT, VERSION, ProductTest

SOURCE = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / 'scripts'))
import linkmap  # noqa: E402
E2E = pathlib.Path(__file__).resolve().parent


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


def release(checkout, epoch):
    """Runs scripts/release.sh in the checkout; the paths of the ZIP and the MSI."""
    environment = dict(os.environ, SOURCE_DATE_EPOCH=epoch, BRENHOLD_COMMIT=COMMIT)
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
    for component in everything:
        name = component['name']
        shipped = component['bom-ref'] == 'Brenhold.exe' or component['bom-ref'].startswith('deb:')
        if shipped and not component.get('supplier', {}).get('name'):
            found.append(f'{name}: supplier')
        if component.get('supplier', {}).get('name') == 'Debian' and \
                component['supplier'].get('url') != ['https://www.debian.org']:
            found.append(f'{name}: supplier URL')
        if not component.get('purl'):
            found.append(f'{name}: purl')
        if shipped and not component.get('version'):
            found.append(f'{name}: version')
        if shipped and not all(choice.get('license', choice).get('acknowledgement') in ('declared', 'concluded')
                               for choice in component.get('licenses', [None]) if choice):
            found.append(f'{name}: licence acknowledgement')
        if shipped and not component.get('licenses'):
            found.append(f'{name}: licence')
    if len({c.get('purl') for c in everything}) != len(everything):
        found.append('unique purls')
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
    references = {r['type']: r for r in product.get('externalReferences', [])}
    if ('vcs' in references) != bool(facts['source_repository']):
        found.append('the source\'s URI')
    if 'distribution' not in references:
        found.append('the distribution\'s URI')
    graph = {d['ref']: d['dependsOn'] for d in document.get('dependencies', [])}
    needs = graph.get('Brenhold.exe', [])
    if 'print-library' not in needs or refs.get('print-library', {}).get('name') != 'Tamsel.dll':
        found.append('the print library in the dependency graph')
    if sorted(refs[r]['name'].upper() for r in needs if r.startswith('windows:')) != \
            ['ADVAPI32.DLL', 'KERNEL32.DLL', 'MSVCRT.DLL', 'OLE32.DLL', 'SHELL32.DLL', 'USER32.DLL']:
        found.append('the system DLLs of the import table in the dependency graph')
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


def pe_checksum(path):
    raw = pathlib.Path(path).read_bytes()
    (header,) = struct.unpack_from('<I', raw, 0x3C)
    return struct.unpack_from('<I', raw, header + 24 + 64)[0]


def image_checks(product):
    """The image test, run on another copy of the program."""
    environment = dict(os.environ, BRENHOLD_PRODUCT=str(product))
    return subprocess.run([sys.executable, E2E / 'test_image.py'], env=environment, capture_output=True, text=True)


# A publisher with every fact known, for the release that must carry another file's facts.
FILLED_PUBLISHER = {'name': 'Example Printing GmbH', 'website': 'https://printing.example',
                    'source_repository': 'https://git.example/brenhold-caller',
                    'security_contact': 'security@printing.example', 'support_years': 7}


class Release(ProductTest):

    @classmethod
    def setUpClass(cls):
        cls.root = pathlib.Path(tempfile.mkdtemp(prefix='brenhold-release-'))
        epoch = subprocess.run(['git', 'log', '-1', '--format=%ct'], cwd=SOURCE, capture_output=True,
                               text=True).stdout.strip() or '1765324800'
        cls.stamp = time.gmtime(int(epoch))[:5]
        cls.epoch = epoch
        cls.facts = json.loads((SOURCE / 'publisher.json').read_text())
        cls.packages, cls.installers, cls.programs, cls.sboms = [], [], [], []
        # Two copies in unrelated folders, built one after the other.
        for folder in ('one', 'elsewhere/deeper/two'):
            checkout = cls.root / folder
            checkout.mkdir(parents=True)
            copy_checkout(checkout)
            package, installer = release(checkout, epoch)
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
        self.assertEqual(sorted(files), harness.SHIPPED)
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
                           (('compositions',), 'compositions: complete for the program, unknown for the print '
                                               'library')]:
            with self.subTest(name):
                broken_element = json.loads(json.dumps(document))
                holder = broken_element
                for key in path[:-1]:
                    holder = holder[key]
                del holder[path[-1]]
                self.assertIn(name, missing_sbom_elements(broken_element, self.facts))
        no_dlls = json.loads(json.dumps(document))
        no_dlls['dependencies'][0]['dependsOn'] = [r for r in no_dlls['dependencies'][0]['dependsOn']
                                                   if not r.startswith('windows:')]
        self.assertIn('the system DLLs of the import table in the dependency graph',
                      missing_sbom_elements(no_dlls, self.facts))

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
        self.assertEqual(definition['resolvedDependencies'][0]['digest'], {'gitCommit': COMMIT})
        packages = build_info_packages((self.unpacked() / 'BUILD-INFO.txt').read_text().splitlines())
        materials = {d['name']: d['uri'] for d in definition['resolvedDependencies'][1:]}
        self.assertEqual(sorted(materials), sorted(packages))
        self.assertTrue(statement['predicate']['runDetails']['builder']['id'])
        self.assertFalse((folder / f'Brenhold-{VERSION}.intoto.json.p7s').exists())
        other = json.loads((self.sboms[1].parent / f'Brenhold-{VERSION}.intoto.json').read_text())
        self.assertEqual(other, statement)

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
        self.assertEqual(sorted(p.name for p in top.iterdir()), sorted(harness.SHIPPED + ['SHA256SUMS.txt']))
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


class SignedRelease(ProductTest):
    """A release given a certificate signs the program before it packs it: the ZIP and the
    MSI carry the signed program, the MSI is signed, and the checksums and the SBOM name the
    signed bytes. A throwaway self-signed certificate, made on the spot."""

    @classmethod
    def setUpClass(cls):
        cls.root = pathlib.Path(tempfile.mkdtemp(prefix='brenhold-signed-release-'))
        cls.cert, cls.key = cls.root / 'cert.pem', cls.root / 'key.pem'
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                        '-subj', '/CN=Throwaway Brenhold test signer', '-keyout', cls.key, '-out', cls.cert],
                       check=True, capture_output=True)
        checkout = cls.root / 'checkout'
        checkout.mkdir()
        copy_checkout(checkout)
        # Another publisher, with every fact filled in: the release carries these instead.
        (checkout / 'publisher.json').write_text(json.dumps(FILLED_PUBLISHER))
        environment = dict(os.environ, SOURCE_DATE_EPOCH='1765324800', BRENHOLD_COMMIT=COMMIT)
        subprocess.run(['bash', 'scripts/release.sh', cls.cert, cls.key], cwd=checkout, env=environment,
                       check=True, capture_output=True)
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
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_a_filled_publisher_file_stands_in_every_place(self):
        [installed] = {p.parent for p in self.installed.rglob('SECURITY.md')}
        document = json.loads((self.folder / f'Brenhold-{VERSION}.cdx.json').read_text())
        self.assertEqual(publisher_mismatches(FILLED_PUBLISHER, '1765324800', self.zipped, installed, self.installer,
                                              document), [])
        self.assertEqual(missing_sbom_elements(document, FILLED_PUBLISHER), [])
        checked = validate_sbom(self.folder / f'Brenhold-{VERSION}.cdx.json')
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_the_provenance_is_signed_with_the_release_s_certificate(self):
        statement = self.folder / f'Brenhold-{VERSION}.intoto.json'
        signature = self.folder / f'Brenhold-{VERSION}.intoto.json.p7s'
        def verify(content):
            return subprocess.run(['openssl', 'cms', '-verify', '-binary', '-inform', 'DER', '-in', signature,
                                   '-content', content, '-CAfile', self.cert, '-purpose', 'any', '-out', os.devnull],
                                  capture_output=True, text=True)
        checked = verify(statement)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        self.assertTrue(json.loads(statement.read_text())['predicate']['buildDefinition']['externalParameters']['signed'])
        # Another statement does not pass with that signature.
        tampered = self.root / 'tampered.intoto.json'
        tampered.write_text(statement.read_text().replace(COMMIT, '0' * 40))
        self.assertNotEqual(verify(tampered).returncode, 0)

    def assertVerifies(self, path):
        verified = subprocess.run(['osslsigncode', 'verify', '-in', path, '-CAfile', self.cert],
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
