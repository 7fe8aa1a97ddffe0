#!/usr/bin/env python3
"""Writes the release's SBOM, CycloneDX 1.6 JSON, from the release build's folder:

    make-sbom.py BUILD-FOLDER        -> BUILD-FOLDER/Brenhold-<version>.cdx.json

What it holds, by the NTIA minimum elements and BSI TR-03183-2:
- the author of the SBOM data and the program's supplier: the publisher of publisher.json
  (metadata.authors, .manufacturer, .supplier), with its website only where the file has one;
- the program (metadata.component): name, version, purl, MIT (declared and concluded), SHA-256 and
  SHA-512, the commit, BSI's filename/executable/archive/structured properties, the source
  repository where known, and the ZIP and the MSI as its distributions (externalReferences
  with their hashes, named relative to the SBOM, which is published beside them);
- the third-party pieces, from the linker's own account (scripts/linkmap.py): each Debian
  package with its purl, Debian as supplier and the upstream project as manufacturer, the
  .deb's SHA-256 (and its SHA-512 where the machine has the very .deb to hash), and
  each linked archive with its hashes and a purl naming its path in the package; the licence
  is that of the files linked (concluded), not of the whole package;
- what the program needs at run time and does not carry: the print library (an unknown third
  party's component: supplier, version and licence unknown, no purl) and the Windows DLLs of
  its import table (supplied by the operating system); neither gets a made-up version, the
  property brenhold:version says what is known; their licences are LicenseRef-... expressions,
  each defined in the property brenhold:licence-reference of the component that carries it;
- for every component, BSI's filename/executable/archive/structured properties;
- the dependency graph (an empty entry for a part known to depend on nothing, none where it
  is not known), and compositions: complete for the program's own parts, unknown for the
  print library and the system DLLs;
- formulation: every Debian package of BUILD-INFO.txt with its exact version, as the build
  used it; metadata.tools: this generator.
The serial number is derived from the content and the timestamp is SOURCE_DATE_EPOCH, so the
same release gives the same bytes."""
import datetime
import hashlib
import json
import os
import pathlib
import sys
import uuid

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import linkmap  # noqa: E402

import buildinfo  # noqa: E402
import pefile  # noqa: E402
import publisher  # noqa: E402

SOURCE = pathlib.Path(__file__).resolve().parents[1]
DEBIAN = {'name': 'Debian', 'url': ['https://www.debian.org']}
# For each package whose pieces the program may hold: the licence of those pieces (read from
# the package's copyright file for the files linked; THIRD-PARTY-NOTICES.txt says the same) and
# the upstream project that makes them. A package missing here stops the SBOM.
PACKAGES = {
    'mingw-w64-x86-64-dev': {'licence': {'license': {'id': 'ZPL-2.1', 'acknowledgement': 'concluded'}},
                             'manufacturer': {'name': 'the mingw-w64 project', 'url': ['https://www.mingw-w64.org']}},
    'g++-mingw-w64-x86-64-win32': {'licence': {'expression': 'GPL-3.0-or-later WITH GCC-exception-3.1',
                                               'acknowledgement': 'concluded'},
                                   'manufacturer': {'name': 'GCC, the GNU Compiler Collection',
                                                    'url': ['https://gcc.gnu.org']}},
}
MICROSOFT = {'name': 'Microsoft Corporation', 'url': ['https://www.microsoft.com']}
PRINT_LIBRARY = 'Tamsel.dll'
UNKNOWN_VENDOR = {'name': 'unknown: the print library\'s vendor, a third party'}
# What is known of the version of a component the program does not ship, where a version
# would stand.
VERSION_NOTE = 'brenhold:version'
WINDOWS_VERSIONS = ('supplied by the operating system: that of the machine\'s Windows, Vista (6.0) or later '
                    '(README.md\'s requirements)')
# Licences that SPDX does not list, as SPDX writes them (LicenseRef-...): CycloneDX 1.6 takes
# such a reference only in an expression. Each component that carries one says what it
# names, in the property LICENCE_NOTE.
LICENCE_NOTE = 'brenhold:licence-reference'
WINDOWS_LICENCE = 'LicenseRef-Microsoft-Windows'
PRINT_LIBRARY_LICENCE = 'LicenseRef-print-library-vendor-terms'
# The SBOMs of this project get serial numbers in a namespace of their own.
NAMESPACE = uuid.UUID('0f5c6d2e-7b1a-4c3e-9e8d-2a6b5c4d3e1f')


def hashes(path):
    data = pathlib.Path(path).read_bytes()
    return [{'alg': 'SHA-256', 'content': hashlib.sha256(data).hexdigest()},
            {'alg': 'SHA-512', 'content': hashlib.sha512(data).hexdigest()}]


def bsi_properties(filename, executable, archive, structured):
    """BSI TR-03183-2's per-component properties: the file's name and whether it is executable
    code, an archive, and structured (carrying a description of what it holds)."""
    return [{'name': 'bsi:component:filename', 'value': filename},
            {'name': 'bsi:component:executable', 'value': 'executable' if executable else 'non-executable'},
            {'name': 'bsi:component:archive', 'value': 'archive' if archive else 'no archive'},
            {'name': 'bsi:component:structured', 'value': 'structured' if structured else 'unstructured'}]


def deb_filename(package, version, architecture):
    """The .deb's name as Debian's archive gives it: the version without its epoch."""
    return f'{package}_{version.split(":", 1)[-1]}_{architecture}.deb'


# Where apt keeps the .deb files it downloaded (Debian's default Dir::Cache::archives), each
# named with its epoch's colon as %3a.
APT_ARCHIVES = pathlib.Path('/var/cache/apt/archives')


def deb_hashes(package, version, architecture, digest):
    """The .deb's SHA-256 as the package index gives it, and its SHA-512 only where the
    machine still has that very file (apt's cache, with that SHA-256) to hash: Debian's index
    gives MD5 and SHA-256 only, and a digest of another file would be made up."""
    if 'sha256' not in digest:
        return []
    found = [{'alg': 'SHA-256', 'content': digest['sha256']}]
    cached = APT_ARCHIVES / f'{package}_{version.replace(":", "%3a")}_{architecture}.deb'
    if cached.is_file():
        data = cached.read_bytes()
        if hashlib.sha256(data).hexdigest() == digest['sha256']:
            found.append({'alg': 'SHA-512', 'content': hashlib.sha512(data).hexdigest()})
    return found


def declared(licence):
    """The same licence, as the files' own notices declare it (the TR's original licence)."""
    return {'license': dict(licence['license'], acknowledgement='declared')} if 'license' in licence else None


def package_component(package, version, architecture, archives, note, digest):
    if package not in PACKAGES:
        raise SystemExit(f'make-sbom.py: no licence known for {package}: read it, name it here and in '
                         'THIRD-PARTY-NOTICES.txt')
    known = PACKAGES[package]
    licences = [known['licence']] + ([declared(known['licence'])] if declared(known['licence']) else [])
    component = {
        'type': 'library',
        'bom-ref': f'deb:{package}',
        'supplier': DEBIAN,
        'manufacturer': known['manufacturer'],
        'name': package,
        'version': version,
        'licenses': licences,
        'purl': buildinfo.debian_purl(package, version, architecture),
        'description': note,
        # The .deb: an archive of files, described by its control data.
        'properties': bsi_properties(deb_filename(package, version, architecture), False, True, True),
    }
    if deb_hashes(package, version, architecture, digest):
        component['hashes'] = deb_hashes(package, version, architecture, digest)
    if archives:
        component['components'] = [{
            'type': 'library',
            'bom-ref': f'deb:{package}:{archive.name}',
            'supplier': DEBIAN,
            'manufacturer': known['manufacturer'],
            'name': archive.name,
            'version': version,
            'hashes': hashes(archive),
            'licenses': licences,
            'purl': buildinfo.debian_purl(package, version, architecture, str(archive)),
            # An ar archive of object code, with no description of its members beyond their names.
            'properties': [{'name': 'brenhold:linked-members', 'value': str(count)}] +
                          bsi_properties(archive.name, True, True, False),
        } for archive, count in archives]
    return component


def third_party(map_path):
    packages = linkmap.packages(map_path)
    digests = buildinfo.deb_digests([(p.name, p.version, p.architecture) for p in packages])
    return [package_component(package.name, package.version, package.architecture,
                              [(component.archive, len(component.members)) for component in package.archives],
                              'archive members linked into Brenhold.exe' if package.archives
                              else 'header templates compiled into the program\'s own objects',
                              digests[package.name])
            for package in packages]


def system_libraries(program):
    """The DLLs of the program's import table: Windows' own, on every machine it runs on."""
    image = pefile.PE(str(program), fast_load=True)
    image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_IMPORT']])
    names = sorted({entry.dll.decode('ascii') for entry in image.DIRECTORY_ENTRY_IMPORT}, key=str.lower)
    return [{
        'type': 'library',
        'bom-ref': f'windows:{name.lower()}',
        'supplier': MICROSOFT,
        'manufacturer': MICROSOFT,
        'name': name,
        'purl': f'pkg:generic/microsoft/{name.lower()}',
        'scope': 'required',
        'licenses': [{'expression': WINDOWS_LICENCE, 'acknowledgement': 'declared'}],
        'description': 'a Windows system DLL of the program\'s import table: supplied by the operating system, '
                       'not shipped; its version is that of the machine\'s Windows (Vista, 6.0, or later)',
        # No version: CycloneDX 1.6 has no field for a version the machine supplies, and none is
        # made up; the property says what is known.
        'properties': bsi_properties(name, True, False, False) + [
            {'name': VERSION_NOTE, 'value': WINDOWS_VERSIONS},
            {'name': LICENCE_NOTE, 'value': f'{WINDOWS_LICENCE}: part of Microsoft Windows, under the licence '
                                            'terms of the machine\'s Windows'}],
    } for name in names]


def print_library():
    """A third party's library, not shipped: the program loads it by its bare name and works
    with whichever version the machine has, so nothing identifies it beyond its file name."""
    return {
        'type': 'library',
        'bom-ref': 'print-library',
        'supplier': UNKNOWN_VENDOR,
        'manufacturer': UNKNOWN_VENDOR,
        'name': PRINT_LIBRARY,
        'scope': 'required',
        'licenses': [{'expression': PRINT_LIBRARY_LICENCE, 'acknowledgement': 'declared'}],
        'description': 'the print library the program loads at run time by its bare name: an unknown third '
                       'party\'s component, installed and licensed by its vendor, not shipped with the program; '
                       'its supplier, version, licence and parts are unknown, and the program accepts any version',
        'properties': bsi_properties(PRINT_LIBRARY, True, False, False) + [
            {'name': VERSION_NOTE, 'value': 'unknown: whichever version its vendor installed on the machine'},
            {'name': LICENCE_NOTE, 'value': f'{PRINT_LIBRARY_LICENCE}: its vendor\'s own licence terms, which are '
                                            'unknown here'}],
    }


def formulation(packages):
    digests = buildinfo.deb_digests(packages)
    components = []
    for name, version, architecture in packages:
        component = {
            # Debian names its library packages lib..., Python's modules python3-... and its
            # headers and archives ...-dev; the others hold the programs the build runs.
            'type': 'library' if name.startswith(('lib', 'python3-')) or name.endswith('-dev') else 'application',
            'bom-ref': f'build:{name}',
            'supplier': DEBIAN,
            'name': name,
            'version': version,
            'purl': buildinfo.debian_purl(name, version, architecture),
        }
        if 'sha256' in digests[name]:
            component['hashes'] = [{'alg': 'SHA-256', 'content': digests[name]['sha256']}]
        components.append(component)
    return [{'bom-ref': 'build', 'components': components}]


def organisation(facts):
    entity = {'name': facts['name']}
    if facts['website']:
        entity['url'] = [facts['website']]
    return entity


def bom(folder):
    version, commit, packages = buildinfo.read(folder)
    facts = publisher.load(SOURCE)
    epoch = int(os.environ.get('SOURCE_DATE_EPOCH') or 315532800)
    program = folder / 'bin' / 'Brenhold.exe'
    distributions = [folder / f'Brenhold-{version}-win64.zip', folder / f'Brenhold-{version}-win64.msi']
    library = third_party(folder / 'Brenhold.map')
    needed = [print_library()] + system_libraries(program)
    references = [{'type': 'distribution', 'url': package.name, 'hashes': hashes(package),
                   'comment': 'published beside this SBOM'} for package in distributions]
    if facts['source_repository']:
        references.insert(0, {'type': 'vcs', 'url': facts['source_repository'], 'comment': f'commit {commit}'})
    if facts['website']:
        references.insert(0, {'type': 'website', 'url': facts['website']})
    if facts['security_contact']:
        contact = facts['security_contact']
        references.append({'type': 'security-contact',
                           'url': contact if contact.startswith('https://') else f'mailto:{contact}'})
    product = {
        'type': 'application',
        'bom-ref': 'Brenhold.exe',
        'supplier': organisation(facts),
        'manufacturer': organisation(facts),
        'authors': [{'name': facts['name']}],
        'name': 'Brenhold caller',
        'version': version,
        'description': 'Brenhold.exe, 64-bit Windows program',
        'hashes': hashes(program),
        # Declared by the source (LICENSE); concluded the same for the program's own code: the
        # pieces it holds are components of their own, each with its concluded licence.
        'licenses': [{'license': {'id': 'MIT', 'acknowledgement': 'declared'}},
                     {'license': {'id': 'MIT', 'acknowledgement': 'concluded'}}],
        'purl': f'pkg:generic/brenhold-caller@{version}',
        'externalReferences': references,
        'properties': [
            {'name': 'brenhold:commit', 'value': commit},
            {'name': 'brenhold:end-of-support',
             'value': publisher.end_of_support(epoch, facts['support_years'])},
            {'name': 'bsi:component:filename', 'value': 'Brenhold.exe'},
            {'name': 'bsi:component:executable', 'value': 'executable'},
            {'name': 'bsi:component:archive', 'value': 'no archive'},
            {'name': 'bsi:component:structured', 'value': 'unstructured'},
        ],
    }
    own_parts = [c['bom-ref'] for c in library] + [a['bom-ref'] for c in library for a in c.get('components', [])]
    document = {
        'bomFormat': 'CycloneDX',
        'specVersion': '1.6',
        'serialNumber': '',
        'version': 1,
        'metadata': {
            'timestamp': datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime('%Y-%m-%dT%H:%M:%SZ'),
            'lifecycles': [{'phase': 'build'}],
            'tools': {'components': [{'type': 'application', 'name': 'make-sbom.py', 'group': 'Brenhold caller',
                                      'version': version, 'supplier': organisation(facts),
                                      'description': f'scripts/make-sbom.py of commit {commit}'}]},
            'authors': [{'name': facts['name']}],
            'manufacturer': organisation(facts),
            'supplier': organisation(facts),
            'component': product,
        },
        'components': library + needed,
        'dependencies': [
            {'ref': 'Brenhold.exe', 'dependsOn': [c['bom-ref'] for c in library + needed]},
            # Known to depend on nothing: the packages' parts (archives of import stubs and header
            # templates). The print library and the system DLLs have no entry: what they depend on is
            # not known (compositions, below).
            *[{'ref': ref, 'dependsOn': []} for ref in own_parts],
        ],
        'compositions': [
            {'aggregate': 'complete', 'assemblies': ['Brenhold.exe', *own_parts],
             'dependencies': ['Brenhold.exe', *[c['bom-ref'] for c in library]]},
            {'aggregate': 'unknown', 'assemblies': [c['bom-ref'] for c in needed],
             'dependencies': [c['bom-ref'] for c in needed]},
        ],
        'formulation': formulation(packages),
    }
    content = json.dumps(document, sort_keys=True).encode()
    document['serialNumber'] = f'urn:uuid:{uuid.uuid5(NAMESPACE, hashlib.sha256(content).hexdigest())}'
    return version, document


def main():
    folder = pathlib.Path(sys.argv[1])
    version, document = bom(folder)
    out = folder / f'Brenhold-{version}.cdx.json'
    out.write_text(json.dumps(document, indent=2) + '\n', encoding='utf-8')
    print(out)


if __name__ == '__main__':
    main()
