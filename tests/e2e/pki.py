"""A publisher's certificates as a company has them, made on the spot for the release tests: a
root, an intermediate and a code-signing certificate that expires a day after it is made,
whose key lives only in a PKCS#11 token (SoftHSM2) the tests make; and RFC 3161 time-stamping
authorities (`openssl ts`) answering on 127.0.0.1."""
import http.server
import os
import pathlib
import secrets
import subprocess
import tempfile
import threading

# Debian's libsofthsm2 puts the module here on Debian 12 and 13 (with a link under the
# multiarch folder).
SOFTHSM_MODULE = '/usr/lib/softhsm/libsofthsm2.so'
EXTENSIONS = """
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[codesign]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[req]
distinguished_name = name
[name]
"""


def run(*arguments, **options):
    return subprocess.run([str(a) for a in arguments], check=True, capture_output=True, **options)


def certificate(folder, name, subject, days, kind, issuer=None, key_type=('rsa:2048',)):
    """NAME.pem and NAME.key in the folder: a root (no issuer) or a certificate of the issuer's."""
    config = folder / 'extensions.cnf'
    config.write_text(EXTENSIONS)
    key, cert = folder / f'{name}.key', folder / f'{name}.pem'
    serial = '0x' + secrets.token_hex(8)
    if issuer is None:
        run('openssl', 'req', '-x509', '-newkey', *key_type, '-nodes', '-days', days, '-subj', subject, '-config',
            config, '-extensions', kind, '-set_serial', serial, '-keyout', key, '-out', cert)
    else:
        request = folder / f'{name}.csr'
        run('openssl', 'req', '-new', '-newkey', *key_type, '-nodes', '-subj', subject, '-config', config,
            '-keyout', key, '-out', request)
        run('openssl', 'x509', '-req', '-in', request, '-CA', folder / f'{issuer}.pem', '-CAkey',
            folder / f'{issuer}.key', '-days', days, '-extfile', config, '-extensions', kind, '-set_serial', serial,
            '-out', cert)
    return cert


def publisher(folder):
    """A root, an intermediate and a signer valid for a day; the signer's file holds the
    intermediate after it (the chain a CA hands out). The signer's key is imported into a new
    SoftHSM2 token and its file removed: the pkcs11: URI of the key (its PIN in a file), and
    the environment SoftHSM2 needs to find the token."""
    certificate(folder, 'root', '/CN=Test Publisher Root CA', 3650, 'ca')
    certificate(folder, 'intermediate', '/CN=Test Publisher Code Signing CA', 3650, 'ca', 'root')
    signer = certificate(folder, 'signer', '/CN=Test Publisher', 1, 'codesign', 'intermediate')
    chain = folder / 'signer-chain.pem'
    chain.write_bytes(signer.read_bytes() + (folder / 'intermediate.pem').read_bytes())
    tokens = folder / 'tokens'
    tokens.mkdir()
    (folder / 'softhsm2.conf').write_text(f'directories.tokendir = {tokens}\nobjectstore.backend = file\n'
                                          'log.level = ERROR\n')
    environment = dict(os.environ, SOFTHSM2_CONF=str(folder / 'softhsm2.conf'))
    run('softhsm2-util', '--init-token', '--free', '--label', 'brenhold-test', '--so-pin', '87654321', '--pin',
        '12345678', env=environment)
    pkcs8 = folder / 'signer.p8'
    run('openssl', 'pkcs8', '-topk8', '-nocrypt', '-in', folder / 'signer.key', '-out', pkcs8)
    run('softhsm2-util', '--import', pkcs8, '--token', 'brenhold-test', '--label', 'release-signer', '--id', '01',
        '--pin', '12345678', env=environment)
    pkcs8.unlink()
    (folder / 'signer.key').unlink()
    pin = folder / 'token.pin'
    pin.write_text('12345678')
    uri = f'pkcs11:token=brenhold-test;object=release-signer;type=private?pin-source=file:{pin}'
    return chain, uri, {'SOFTHSM2_CONF': environment['SOFTHSM2_CONF'], 'BRENHOLD_PKCS11_MODULE': SOFTHSM_MODULE}


class Authority:
    """An RFC 3161 time-stamping authority on 127.0.0.1: its own root and its signing
    certificate (root.pem, tsa.pem in its folder; both in authority.pem), `openssl ts -reply`
    behind an HTTP handler."""

    def __init__(self, name):
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix=f'brenhold-tsa-{name}-'))
        self.root = certificate(self.folder, 'root', f'/CN={name} Time Stamping Root', 3650, 'ca')
        # ECDSA P-256, as Sigstore's own authority: its verifier reads only ECDSA token signatures.
        self.cert = certificate(self.folder, 'tsa', f'/CN={name} Time Stamping Authority', 3650, 'tsa', 'root',
                                ('ec', '-pkeyopt', 'ec_paramgen_curve:P-256'))
        # What a verifier is given of the authority: its certificate, then its root.
        self.chain = self.folder / 'authority.pem'
        self.chain.write_bytes(self.cert.read_bytes() + self.root.read_bytes())
        (self.folder / 'serial').write_text('01\n')
        config = self.folder / 'tsa.cnf'
        config.write_text(f"""
[tsa]
default_tsa = authority
[authority]
serial = {self.folder / 'serial'}
crypto_device = builtin
signer_cert = {self.cert}
signer_key = {self.folder / 'tsa.key'}
certs = {self.root}
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
""")
        self.requests = 0
        authority = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers['Content-Length']))
                with tempfile.TemporaryDirectory() as work:
                    request, reply = pathlib.Path(work) / 'request.tsq', pathlib.Path(work) / 'reply.tsr'
                    request.write_bytes(query)
                    subprocess.run(['openssl', 'ts', '-reply', '-config', str(config), '-queryfile', str(request),
                                    '-out', str(reply)], check=True, capture_output=True)
                    answer = reply.read_bytes()
                authority.requests += 1
                self.send_response(200)
                self.send_header('Content-Type', 'application/timestamp-reply')
                self.send_header('Content-Length', str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

            def log_message(self, *arguments):
                pass

        self.server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        self.url = f'http://127.0.0.1:{self.server.server_address[1]}/'
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
