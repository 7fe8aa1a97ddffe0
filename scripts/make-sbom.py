#!/usr/bin/env python3
"""Writes the release's SBOM, CycloneDX 1.6 JSON, from the release build's folder:

    make-sbom.py BUILD-FOLDER        -> BUILD-FOLDER/Brenhold-<version>.cdx.json

The product is Brenhold.exe (name, version, licence, SHA-256 and SHA-512); the ZIP and the MSI
that carry it are components of their own with their hashes; the third-party pieces are read
from the linker's map (scripts/linkmap.py: each linked archive under the Debian package that
owns it, with its version, purl and SPDX licence, and libstdc++'s headers where the program
holds instances of their templates); the tools are the lines of BUILD-INFO.txt. The serial
number is derived from the content and the timestamp is SOURCE_DATE_EPOCH, so the same
release gives the same bytes."""
import datetime
import hashlib
import json
import os
import pathlib
import sys
import uuid

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import linkmap  # noqa: E402

# The SPDX licence of each package whose pieces the program may hold. A package missing here
# stops the SBOM: its licence must be read and named first (THIRD-PARTY-NOTICES.txt too).
LICENCES = {
    'mingw-w64-x86-64-dev': {'license': {'id': 'ZPL-2.1'}},
    'g++-mingw-w64-x86-64-win32': {'expression': 'GPL-3.0-or-later WITH GCC-exception-3.1'},
}
# The SBOMs of this project get serial numbers in a namespace of their own.
NAMESPACE = uuid.UUID('0f5c6d2e-7b1a-4c3e-9e8d-2a6b5c4d3e1f')


def hashes(path):
    data = pathlib.Path(path).read_bytes()
    return [{'alg': 'SHA-256', 'content': hashlib.sha256(data).hexdigest()},
            {'alg': 'SHA-512', 'content': hashlib.sha512(data).hexdigest()}]


def purl(package, version, architecture):
    return f'pkg:deb/debian/{package}@{version}?arch={architecture}&distro=debian-12'


def package_component(package, version, architecture, archives, note):
    if package not in LICENCES:
        raise SystemExit(f'make-sbom.py: no licence known for {package}: read it, name it here and in '
                         'THIRD-PARTY-NOTICES.txt')
    component = {
        'type': 'library',
        'bom-ref': f'deb:{package}',
        'supplier': {'name': 'Debian'},
        'name': package,
        'version': version,
        'licenses': [LICENCES[package]],
        'purl': purl(package, version, architecture),
        'description': note,
    }
    if archives:
        component['components'] = [{
            'type': 'library',
            'bom-ref': f'deb:{package}:{archive.name}',
            'name': archive.name,
            'version': version,
            'hashes': hashes(archive),
            'licenses': [LICENCES[package]],
            'properties': [{'name': 'brenhold:linked-members', 'value': str(count)}],
        } for archive, count in archives]
    return component


def third_party(map_path):
    return [package_component(package.name, package.version, package.architecture,
                              [(component.archive, len(component.members)) for component in package.archives],
                              'archive members linked into Brenhold.exe' if package.archives
                              else 'header templates compiled into the program\'s own objects')
            for package in linkmap.packages(map_path)]


def tools(build_info_lines):
    """BUILD-INFO.txt's tool lines, as the tools of the SBOM's metadata."""
    found = []
    for line in build_info_lines[1:]:
        name, _, version = line.partition(': ')
        if name != 'commit':
            found.append({'type': 'application', 'name': name, 'version': version})
    return found


def bom(folder):
    build_info = (folder / 'BUILD-INFO.txt').read_text().splitlines()
    version = build_info[0].rsplit(' ', 1)[1]
    commit = build_info[1].split(': ', 1)[1]
    epoch = int(os.environ.get('SOURCE_DATE_EPOCH') or 315532800)
    packages = [folder / f'Brenhold-{version}-win64.zip', folder / f'Brenhold-{version}-win64.msi']
    library = third_party(folder / 'Brenhold.map')
    product = {
        'type': 'application',
        'bom-ref': 'Brenhold.exe',
        'supplier': {'name': 'the Brenhold caller authors'},
        'name': 'Brenhold caller',
        'version': version,
        'description': 'Brenhold.exe, 64-bit Windows program',
        'hashes': hashes(folder / 'bin' / 'Brenhold.exe'),
        'licenses': [{'license': {'id': 'MIT'}}],
        'properties': [{'name': 'brenhold:commit', 'value': commit}],
    }
    carriers = [{
        'type': 'file',
        'bom-ref': package.name,
        'name': package.name,
        'version': version,
        'hashes': hashes(package),
        'licenses': [{'license': {'id': 'MIT'}}],
    } for package in packages]
    document = {
        'bomFormat': 'CycloneDX',
        'specVersion': '1.6',
        'serialNumber': '',
        'version': 1,
        'metadata': {
            'timestamp': datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime('%Y-%m-%dT%H:%M:%SZ'),
            'lifecycles': [{'phase': 'build'}],
            'tools': {'components': tools(build_info)},
            'component': product,
            'supplier': {'name': 'the Brenhold caller authors'},
        },
        'components': library + carriers,
        'dependencies': [
            {'ref': 'Brenhold.exe', 'dependsOn': [c['bom-ref'] for c in library]},
            *[{'ref': c['bom-ref'], 'dependsOn': ['Brenhold.exe']} for c in carriers],
            *[{'ref': c['bom-ref'], 'dependsOn': []} for c in library],
        ],
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
