#!/usr/bin/env python3
"""Writes the release's provenance: an in-toto statement (v1) with a SLSA v1 provenance
predicate, naming what was built (each output by its SHA-256), from what (the commit) and
with what (every Debian package of BUILD-INFO.txt, with its exact version):

    make-provenance.py BUILD-FOLDER OUTPUT...      -> BUILD-FOLDER/Brenhold-<version>.intoto.json

Given a certificate and its key (BRENHOLD_SIGN_CERT, BRENHOLD_SIGN_KEY: PEM files, the ones
the release signs the program with), it is also signed: a detached CMS signature in DER,
Brenhold-<version>.intoto.json.p7s, holding the certificate, made by `openssl cms` without
signed attributes (no signing time), so the same statement and key give the same signature.
A reviewer checks it with

    openssl cms -verify -binary -inform DER -in Brenhold-<version>.intoto.json.p7s \\
        -content Brenhold-<version>.intoto.json -CAfile ISSUER.pem -purpose any -out /dev/null

The statement holds no time of the build and no path of the machine: the same release gives
the same bytes."""
import hashlib
import json
import os
import pathlib
import re
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import buildinfo  # noqa: E402
import publisher  # noqa: E402

SOURCE = pathlib.Path(__file__).resolve().parents[1]
# Identifiers of this project's own: how a release is built (scripts/release.sh, as
# docs/DEVELOPING.md's "Releases" describes it) and by what.
BUILD_TYPE = 'urn:brenhold-caller:build-type:release-sh:v1'
BUILDER = 'urn:brenhold-caller:builder:release-sh-debian-12'


def sha256(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def statement(folder, outputs, signed):
    version, commit, packages = buildinfo.read(folder)
    facts = publisher.load(SOURCE)
    # A release names a whole commit (scripts/release.sh refuses any other tree), and in-toto's
    # ResourceDescriptor needs a digest, a URI or the content.
    if not re.fullmatch(r'[0-9a-f]{40}', commit):
        raise SystemExit(f'make-provenance.py: the commit is "{commit}": only a committed tree is released')
    source = {'name': 'source', 'digest': {'gitCommit': commit}}
    if facts['source_repository']:
        source['uri'] = f'git+{facts["source_repository"]}@{commit}'
    parameters = {'version': version, 'commit': commit, 'signed': signed}
    if facts['source_repository']:
        parameters['repository'] = facts['source_repository']
    return {
        '_type': 'https://in-toto.io/Statement/v1',
        'subject': [{'name': pathlib.Path(output).name, 'digest': {'sha256': sha256(output)}} for output in outputs],
        'predicateType': 'https://slsa.dev/provenance/v1',
        'predicate': {
            'buildDefinition': {
                'buildType': BUILD_TYPE,
                'externalParameters': parameters,
                'internalParameters': {'SOURCE_DATE_EPOCH': os.environ.get('SOURCE_DATE_EPOCH', '')},
                'resolvedDependencies': [source] + [
                    {'uri': buildinfo.debian_purl(name, package_version, architecture), 'name': name}
                    for name, package_version, architecture in packages],
            },
            'runDetails': {
                'builder': {'id': BUILDER},
                'metadata': {},
                'byproducts': [{'name': 'BUILD-INFO.txt', 'digest': {'sha256': sha256(folder / 'BUILD-INFO.txt')}}],
            },
        },
    }


def main():
    folder, outputs = pathlib.Path(sys.argv[1]), sys.argv[2:]
    cert, key = os.environ.get('BRENHOLD_SIGN_CERT'), os.environ.get('BRENHOLD_SIGN_KEY')
    version = buildinfo.read(folder)[0]
    out = folder / f'Brenhold-{version}.intoto.json'
    out.write_text(json.dumps(statement(folder, outputs, bool(cert)), indent=2) + '\n', encoding='utf-8')
    print(out)
    if cert:
        subprocess.run(['openssl', 'cms', '-sign', '-binary', '-noattr', '-md', 'sha256', '-in', out,
                        '-signer', cert, '-inkey', key, '-outform', 'DER', '-out', f'{out}.p7s'], check=True)
        print(f'{out}.p7s')


if __name__ == '__main__':
    main()
