#!/usr/bin/env python3
"""Writes the record of a release's whole build environment beside its packages, in the
shape of Debian's .buildinfo files (deb822 fields): what was built (the packages and
BUILD-INFO.txt, with their SHA-256 and size), from which commit, on which Debian release and
architecture, and every Debian package of the build's environment with its exact version
(scripts/build-packages.py --environment), SOURCE_DATE_EPOCH among the environment's values.

    make-buildinfo.py BUILD-FOLDER PYTHON FILE...    -> BUILD-FOLDER/Brenhold-<version>.buildinfo

BUILD-INFO.txt, inside the packages, names only what shapes their bytes; this file also names
what does not (the signing tools, the C library, CMake's libraries...), so that the packages
stay the same when such a package is updated, and a rebuild can still start from the very
environment of the release (docs/RELEASING.md, Verifying a published build)."""
import hashlib
import os
import pathlib
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import buildinfo  # noqa: E402


def os_release():
    fields = dict(line.split('=', 1) for line in pathlib.Path('/etc/os-release').read_text().splitlines() if '=' in line)
    return fields.get('PRETTY_NAME', '').strip('"')


def main():
    folder, python, files = pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3:]
    version, commit, _ = buildinfo.read(folder)
    listed = subprocess.run([sys.executable, pathlib.Path(__file__).with_name('build-packages.py'), '--environment',
                             python], capture_output=True, text=True, check=True).stdout.splitlines()
    packages = [line.split() for line in listed if not line.startswith('unpackaged ')]
    unpackaged = [line.split(' ', 1)[1] for line in listed if line.startswith('unpackaged ')]
    architecture = subprocess.run(['dpkg', '--print-architecture'], capture_output=True, text=True,
                                  check=True).stdout.strip()
    lines = ['Format: 1.0', 'Source: brenhold-caller', f'Version: {version}', f'Commit: {commit}',
             'Build-Origin: Debian', f'Build-Distribution: {buildinfo.distro()} ({os_release()})',
             f'Build-Architecture: {architecture}', 'Checksums-Sha256:']
    for name in files:
        data = (folder / name).read_bytes()
        lines.append(f' {hashlib.sha256(data).hexdigest()} {len(data)} {pathlib.Path(name).name}')
    lines.append('Installed-Build-Depends:')
    lines += [f' {name}:{arch} (= {package_version}),' for name, package_version, arch in packages]
    lines[-1] = lines[-1].rstrip(',')
    if unpackaged:
        lines += ['Unpackaged-Files:'] + [f' {path}' for path in unpackaged]
    lines += ['Environment:', f' SOURCE_DATE_EPOCH="{os.environ.get("SOURCE_DATE_EPOCH", "")}"']
    out = folder / f'Brenhold-{version}.buildinfo'
    out.write_text('\n'.join(lines) + '\n', encoding='utf-8')
    print(out)


if __name__ == '__main__':
    main()
