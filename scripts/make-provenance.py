#!/usr/bin/env python3
"""Writes the release's provenance: an in-toto statement (v1) with a SLSA v1 provenance
predicate, naming what was built (each output by its SHA-256), from what (the commit) and
with what (every Debian package of BUILD-INFO.txt, with its exact version and the SHA-256 of
its .deb as the package index gives it):

    make-provenance.py BUILD-FOLDER OUTPUT...      -> BUILD-FOLDER/Brenhold-<version>.intoto.json

Given a certificate and its key (BRENHOLD_SIGN_CERT, a PEM file; BRENHOLD_SIGN_KEY, a PEM file
or a pkcs11: URI with BRENHOLD_PKCS11_MODULE: the ones the release signs the program with),
the statement is also signed as in-toto attestations are: a DSSE envelope (payloadType
application/vnd.in-toto+json, the statement's bytes as its payload, one signature over
DSSE's pre-authentication encoding), one line of Brenhold-<version>.intoto.jsonl, with the certificate beside it as
Brenhold-<version>.signer.pem (the certificate file as given: the signer first, then the
chain its CA issued with it). Given also an RFC 3161 time-stamping authority's address
(BRENHOLD_TSA_URL, from the release's -ts option), the authority's token over that signature
and the envelope go into a Sigstore bundle, Brenhold-<version>.sigstore.json. The signature
is RSA PKCS#1 v1.5 or ECDSA with SHA-256, as the key is, made by `openssl dgst`; its keyid
is the SHA-256 of the certificate's public key (DER).

The statement holds no time of the build (only its commit's time) and no path of the
machine: the same release gives the same bytes."""
import base64
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import urllib.request

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import buildinfo  # noqa: E402
import publisher  # noqa: E402

SOURCE = pathlib.Path(__file__).resolve().parents[1]
# Identifiers of this project's own: how a release is built (scripts/release.sh; DEPLOYING.md,
# which ships, defines it under "The provenance") and by what, on which Debian release.
BUILD_TYPE = 'urn:brenhold-caller:build-type:release-sh:v2'
BUILDER = 'urn:brenhold-caller:builder:release-sh-'


def sha256(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def statement(folder, outputs, signed):
    version, commit, packages = buildinfo.read(folder)
    digests = buildinfo.deb_digests(packages)
    facts = publisher.load(SOURCE)
    # A release names a whole commit (scripts/release.sh refuses any other tree), and in-toto's
    # ResourceDescriptor needs a digest, a URI or the content.
    if not re.fullmatch(r'[0-9a-f]{40}', commit):
        raise SystemExit(f'make-provenance.py: the commit is "{commit}": only a committed tree is released')
    source = {'name': 'source', 'digest': {'gitCommit': commit}}
    if facts['source_repository']:
        source['uri'] = f'git+{facts["source_repository"]}@{commit}'
    # The release's date is its commit's time (scripts/release.sh refuses any other), so a
    # reader can hold it to the commit: git log -1 --format=%ct COMMIT.
    # Whether the tree was the commit's own (git archive in a checkout) or a copy's that only
    # names it (scripts/release.sh sets BRENHOLD_TREE).
    parameters = {'version': version, 'commit': commit, 'commitTime': int(os.environ['SOURCE_DATE_EPOCH']),
                  'tree': os.environ.get('BRENHOLD_TREE', 'copy'), 'signed': signed}
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
                'resolvedDependencies': [source] + [
                    {'uri': buildinfo.debian_purl(name, package_version, architecture), 'name': name,
                     'digest': digests[name]}
                    for name, package_version, architecture in packages],
            },
            'runDetails': {
                'builder': {'id': BUILDER + buildinfo.distro()},
                'metadata': {},
                'byproducts': [{'name': path.name, 'digest': {'sha256': sha256(path)}}
                               for path in [folder / 'BUILD-INFO.txt', folder / f'Brenhold-{version}.buildinfo']
                               if path.exists()],
            },
        },
    }


PAYLOAD_TYPE = 'application/vnd.in-toto+json'


def pae(payload_type, payload):
    """DSSE's pre-authentication encoding: the bytes a DSSE signature signs."""
    kind = payload_type.encode()
    return b'DSSEv1 %d %s %d %s' % (len(kind), kind, len(payload), payload)


def openssl(*arguments, data=None):
    return subprocess.run(['openssl', *arguments], input=data, capture_output=True, check=True).stdout


def key_id(cert):
    """The SHA-256 of the certificate's public key, DER: the signature's hint to its key."""
    public = openssl('x509', '-in', str(cert), '-noout', '-pubkey')
    return hashlib.sha256(openssl('pkey', '-pubin', '-outform', 'DER', data=public)).hexdigest()


def sign(data, key):
    """The signature of the bytes by the key: a PEM file, or a pkcs11: URI reached through
    OpenSSL's "pkcs11" engine in the module BRENHOLD_PKCS11_MODULE names."""
    with tempfile.TemporaryDirectory() as folder:
        signed, signature = pathlib.Path(folder) / 'signed', pathlib.Path(folder) / 'signature'
        signed.write_bytes(data)
        if key.startswith('pkcs11:'):
            environment = dict(os.environ, PKCS11_MODULE_PATH=os.environ['BRENHOLD_PKCS11_MODULE'])
            subprocess.run(['openssl', 'dgst', '-sha256', '-engine', 'pkcs11', '-keyform', 'engine', '-sign', key,
                            '-out', str(signature), str(signed)], env=environment, capture_output=True, check=True)
        else:
            openssl('dgst', '-sha256', '-sign', key, '-out', str(signature), str(signed))
        return signature.read_bytes()


def envelope(payload, cert, key):
    signature = sign(pae(PAYLOAD_TYPE, payload), key)
    return {'payloadType': PAYLOAD_TYPE, 'payload': base64.b64encode(payload).decode(),
            'signatures': [{'keyid': key_id(cert), 'sig': base64.b64encode(signature).decode()}]}


def time_stamp(signature, url):
    """The RFC 3161 authority's answer at the URL, a time-stamp token over the signature's
    bytes (their SHA-256), whole (TimeStampResp, DER), as a Sigstore bundle carries it."""
    with tempfile.TemporaryDirectory() as work:
        data, query = pathlib.Path(work) / 'data', pathlib.Path(work) / 'tsq'
        reply = pathlib.Path(work) / 'tsr'
        data.write_bytes(signature)
        openssl('ts', '-query', '-data', str(data), '-sha256', '-cert', '-out', str(query))
        request = urllib.request.Request(url, data=query.read_bytes(),
                                         headers={'Content-Type': 'application/timestamp-query'})
        with urllib.request.urlopen(request, timeout=60) as answer:
            reply.write_bytes(answer.read())
        status = openssl('ts', '-reply', '-in', str(reply), '-text').decode()
        if 'Status: Granted' not in status:
            raise SystemExit(f'make-provenance.py: the time-stamping authority {url} did not grant a token:\n{status}')
        return reply.read_bytes()


def bundle(signed_envelope, cert, token):
    """A Sigstore bundle (v0.3) of the envelope: the signer's certificate and the authority's
    token over the envelope's signature; no transparency log entry."""
    leaf = openssl('x509', '-in', str(cert), '-outform', 'DER')
    return {'mediaType': 'application/vnd.dev.sigstore.bundle.v0.3+json',
            'verificationMaterial': {
                'certificate': {'rawBytes': base64.b64encode(leaf).decode()},
                'tlogEntries': [],
                'timestampVerificationData': {'rfc3161Timestamps': [
                    {'signedTimestamp': base64.b64encode(token).decode()}]}},
            'dsseEnvelope': signed_envelope}


def main():
    folder, outputs = pathlib.Path(sys.argv[1]), sys.argv[2:]
    cert, key = os.environ.get('BRENHOLD_SIGN_CERT'), os.environ.get('BRENHOLD_SIGN_KEY')
    authority = os.environ.get('BRENHOLD_TSA_URL')
    version = buildinfo.read(folder)[0]
    out = folder / f'Brenhold-{version}.intoto.json'
    payload = (json.dumps(statement(folder, outputs, bool(cert)), indent=2) + '\n').encode()
    out.write_bytes(payload)
    print(out)
    if cert:
        signed = folder / f'Brenhold-{version}.intoto.jsonl'
        signed_envelope = envelope(payload, cert, key)
        signed.write_text(json.dumps(signed_envelope, separators=(',', ':')) + '\n', encoding='ascii')
        shutil.copyfile(cert, folder / f'Brenhold-{version}.signer.pem')
        print(signed)
        if authority:
            token = time_stamp(base64.b64decode(signed_envelope['signatures'][0]['sig']), authority)
            stamped = folder / f'Brenhold-{version}.sigstore.json'
            stamped.write_text(json.dumps(bundle(signed_envelope, cert, token), indent=2) + '\n', encoding='ascii')
            print(stamped)


if __name__ == '__main__':
    main()
