"""BUILD-INFO.txt as the release's later steps read it (the SBOM, the provenance): the
version, the commit, and the Debian packages of its "package NAME: VERSION ARCHITECTURE"
lines, each with its purl."""
import pathlib


def read(folder):
    """(version, commit, [(name, version, architecture)...]) of FOLDER/BUILD-INFO.txt."""
    lines = (pathlib.Path(folder) / 'BUILD-INFO.txt').read_text().splitlines()
    fields = dict(line.split(': ', 1) for line in lines[1:] if ': ' in line)
    packages = [(name[len('package '):], *fields[name].split()) for name in fields if name.startswith('package ')]
    return lines[0].rsplit(' ', 1)[1], fields['commit'], packages


def debian_purl(package, version, architecture, subpath=''):
    """pkg:deb/debian/NAME@VERSION?arch=...&distro=debian-12, the version's ':' and '+'
    percent-encoded as purl asks; SUBPATH names a file inside the package."""
    quoted = version.replace(':', '%3A').replace('+', '%2B')
    return (f'pkg:deb/debian/{package}@{quoted}?arch={architecture}&distro=debian-12'
            + (f'#{subpath.lstrip("/")}' if subpath else ''))
