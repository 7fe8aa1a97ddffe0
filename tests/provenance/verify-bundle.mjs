// Verifies a release's Sigstore bundle (Brenhold-<version>.sigstore.json) with Sigstore's own
// verifier, @sigstore/verify: the DSSE envelope's signature, by the signer's certificate,
// which must chain to the publisher's root through the intermediates shipped beside it and be
// valid at the time the RFC 3161 authority's token says, which must verify against that
// authority's certificates. No transparency log or certificate log is asked for.
//   node verify-bundle.mjs NODE-MODULES-FOLDER BUNDLE.json ROOT.pem CHAIN.pem AUTHORITY.pem
// CHAIN.pem is the shipped .signer.pem (the signer, then its intermediates; a self-signed
// certificate in it is not trusted); AUTHORITY.pem the authority's signing certificate, then
// its chain up to its root. Exits 0 with the token's time when all of that holds, else 1.
import { createRequire } from 'node:module';
import { X509Certificate } from 'node:crypto';
import { readFileSync } from 'node:fs';
import path from 'node:path';

const [modules, bundlePath, rootPath, chainPath, authorityPath] = process.argv.slice(2);
const require = createRequire(path.resolve(modules, 'node_modules', 'x.js'));
const { bundleFromJSON } = require('@sigstore/bundle');
const { Verifier, toSignedEntity, toTrustMaterial } = require('@sigstore/verify');

const certificates = (file) => (readFileSync(file, 'ascii').match(
  /-----BEGIN CERTIFICATE-----[^-]+-----END CERTIFICATE-----/g) || []).map((pem) => new X509Certificate(pem));
const selfSigned = (cert) => cert.issuer === cert.subject && cert.verify(cert.publicKey);
const raw = (cert) => ({ rawBytes: cert.raw });
try {
  const intermediates = certificates(chainPath).slice(1).filter((cert) => !selfSigned(cert));
  const root = {
    certificateAuthorities: [{ certChain: { certificates: [...intermediates, ...certificates(rootPath)].map(raw) } }],
    timestampAuthorities: [{ certChain: { certificates: certificates(authorityPath).map(raw) } }],
    tlogs: [], ctlogs: [],
  };
  const verifier = new Verifier(toTrustMaterial(root), { tlogThreshold: 0, ctlogThreshold: 0, tsaThreshold: 1 });
  const entity = toSignedEntity(bundleFromJSON(JSON.parse(readFileSync(bundlePath, 'utf8'))));
  verifier.verify(entity);
  console.log(`verified: ${entity.timestamps.map((t) => t.timestamp.signingTime?.toISOString?.() ?? 'stamped')}`);
} catch (error) {
  console.log(`not verified: ${error.code || ''} ${error.message}`);
  process.exit(1);
}
