"""BUILD-INFO.txt as the release's later steps read it (the SBOM, the provenance): the
version, the commit, and the Debian packages of its "package NAME: VERSION ARCHITECTURE"
lines, each with its purl and the SHA-256 of its .deb as the package index gives it."""
import hashlib
import pathlib
import subprocess


def read(folder):
    """(version, commit, [(name, version, architecture)...]) of FOLDER/BUILD-INFO.txt."""
    lines = (pathlib.Path(folder) / 'BUILD-INFO.txt').read_text().splitlines()
    fields = dict(line.split(': ', 1) for line in lines[1:] if ': ' in line)
    packages = [(name[len('package '):], *fields[name].split()) for name in fields if name.startswith('package ')]
    return lines[0].rsplit(' ', 1)[1], fields['commit'], packages


def distro():
    """debian-12, debian-13...: the Debian release of this machine, as purl's distro names it."""
    fields = {name: value.strip('"') for name, value in
              (line.split('=', 1) for line in pathlib.Path('/etc/os-release').read_text().splitlines() if '=' in line)}
    return f'{fields["ID"]}-{fields.get("VERSION_ID", "unknown")}'


def debian_purl(package, version, architecture, subpath=''):
    """pkg:deb/debian/NAME@VERSION?arch=...&distro=debian-N, the version's ':' and '+'
    percent-encoded as purl asks; SUBPATH names a file inside the package."""
    quoted = version.replace(':', '%3A').replace('+', '%2B')
    return (f'pkg:deb/debian/{package}@{quoted}?arch={architecture}&distro={distro()}'
            + (f'#{subpath.lstrip("/")}' if subpath else ''))


# The digest of a package whose installed version the package index no longer lists (a later
# update superseded it): the SHA-256 of its md5sums file as dpkg installed it, which is the
# file of that name in the .deb's control archive, so it can be checked against the .deb
# from Debian's snapshot archive.
MD5SUMS_DIGEST = 'sha256-of-dpkg-md5sums'


def md5sums_file(name, architecture):
    info = pathlib.Path('/var/lib/dpkg/info')
    for candidate in (info / f'{name}:{architecture}.md5sums', info / f'{name}.md5sums'):
        if candidate.exists():
            return candidate
    return None


def deb_digests(packages):
    """{name: digest set} for (name, version, architecture) triples: {'sha256': ...} of the
    .deb as the package index gives it (apt-cache show), the archive's own digest of the file
    the machine installed; else, for a version the index no longer lists, MD5SUMS_DIGEST. A
    package with neither stops the release with what to do."""
    listed = subprocess.run(['apt-cache', 'show', *[f'{name}={version}' for name, version, _ in packages]],
                            capture_output=True, text=True).stdout
    indexed = {}
    for stanza in listed.split('\n\n'):
        fields = dict(line.split(': ', 1) for line in stanza.splitlines() if ': ' in line and not line[0].isspace())
        if 'SHA256' in fields:
            indexed[(fields['Package'], fields['Version'], fields['Architecture'])] = fields['SHA256']
    found, missing = {}, []
    for name, version, architecture in packages:
        md5sums = md5sums_file(name, architecture)
        if (name, version, architecture) in indexed:
            found[name] = {'sha256': indexed[(name, version, architecture)]}
        elif md5sums:
            found[name] = {MD5SUMS_DIGEST: hashlib.sha256(md5sums.read_bytes()).hexdigest()}
        else:
            missing.append(f'{name} {version}')
    if missing:
        raise SystemExit('no digest for ' + ', '.join(missing) + ': the package index does not list the installed '
                         'version and dpkg keeps no md5sums for it; run apt-get update, or install the versions '
                         'the index lists')
    return found
