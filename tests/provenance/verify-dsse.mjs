// Verifies a DSSE envelope (one line of a .intoto.jsonl) with Sigstore's own verifier,
// @sigstore/verify, against a certificate's public key: the envelope goes into a Sigstore
// bundle whose verification material is that key, and the verifier checks the signature over
// DSSE's pre-authentication encoding. No transparency log, certificate log or timestamp
// authority is asked for: a release carries none of them (DEPLOYING.md, The provenance).
//   node verify-dsse.mjs NODE-MODULES-FOLDER ENVELOPE.jsonl CERT.pem
// Prints the payload type and exits 0 when the signature verifies, else prints why and exits 1.
import { createRequire } from 'node:module';
import { X509Certificate } from 'node:crypto';
import { readFileSync } from 'node:fs';
import path from 'node:path';

const [modules, envelopePath, certPath] = process.argv.slice(2);
const require = createRequire(path.resolve(modules, 'node_modules', 'x.js'));
const { bundleFromJSON } = require('@sigstore/bundle');
const { Verifier, toSignedEntity, toTrustMaterial } = require('@sigstore/verify');

const [line, ...more] = readFileSync(envelopePath, 'utf8').split('\n').filter(Boolean);
if (more.length) { console.log('more than one envelope'); process.exit(1); }
const envelope = JSON.parse(line);
const publicKey = new X509Certificate(readFileSync(certPath)).publicKey;
try {
  const bundle = bundleFromJSON({
    mediaType: 'application/vnd.dev.sigstore.bundle.v0.3+json',
    verificationMaterial: { publicKey: { hint: envelope.signatures[0].keyid }, tlogEntries: [],
                            timestampVerificationData: { rfc3161Timestamps: [] } },
    dsseEnvelope: envelope,
  });
  const empty = { certificateAuthorities: [], timestampAuthorities: [], tlogs: [], ctlogs: [] };
  const keys = (hint) => {
    if (hint !== envelope.signatures[0].keyid) throw new Error(`no key ${hint}`);
    return { publicKey, validFor: () => true };
  };
  const verifier = new Verifier(toTrustMaterial(empty, keys),
                                { tlogThreshold: 0, ctlogThreshold: 0, tsaThreshold: 0, timestampThreshold: 0 });
  verifier.verify(toSignedEntity(bundle));
  console.log(`verified: ${envelope.payloadType}`);
} catch (error) {
  console.log(`not verified: ${error.code || ''} ${error.message}`);
  process.exit(1);
}
