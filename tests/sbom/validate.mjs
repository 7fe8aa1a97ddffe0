// Validates a CycloneDX 1.6 JSON document against the official schema, strictly (no
// property the schema does not name), with the validator that @cyclonedx/cyclonedx-library
// bundles. Offline: the schemas ship inside the package.
//
//     node validate.mjs INSTALL-FOLDER SBOM.json
//
// INSTALL-FOLDER holds the node_modules that scripts/setup.sh --tests installed from this
// folder's package.json and lock file. Exit status 0: valid; 1: the errors are printed.
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { resolve } from 'node:path';

const [installFolder, sbom] = process.argv.slice(2);
const require = createRequire(resolve(installFolder, 'package.json'));
const CDX = require('@cyclonedx/cyclonedx-library');
// The library names its schema versions by their numbers.
const validator = new CDX.Validation.JsonStrictValidator('1.6');
const errors = await validator.validate(readFileSync(sbom, 'utf8'));
if (errors !== null) {
  console.log(JSON.stringify(errors, null, 2));
  process.exit(1);
}
console.log('valid');
