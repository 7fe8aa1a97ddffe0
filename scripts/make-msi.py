#!/usr/bin/env python3
"""Builds the MSI package from res/Brenhold.wxs with wixl (msitools), then makes its bytes
depend on nothing but its contents.

    make-msi.py VERSION PROGRAM OUT.msi DOCUMENT...

Each document (the build's list, BRENHOLD_DOCUMENTS in CMakeLists.txt) is packed under its own
file name, beside the program: a File element each, written into Documents.wxi, which
res/Brenhold.wxs includes, with a short (8.3) name made for a name that is not one.

- The publisher comes from publisher.json (scripts/publisher.py): its name is the
  Manufacturer (Programs and Features' "Publisher"); its website, source repository and
  security contact become ARPURLINFOABOUT, ARPHELPLINK and ARPCONTACT, each only where the
  file has it: an unknown address is left out, never filled in.

- The product code is derived from the version: the same version always has the same code.
  A version whose fourth field is not 0 is refused: Windows Installer compares only the first
  three fields, so 1.0.0.1 would install beside 1.0.0.0 instead of upgrading it.
- What wixl cannot write is set in the tables afterwards (msibuild): the event source's
  message file as REG_EXPAND_SZ; the program's File row with the image's own version and
  language (so the file-versioning rules apply; a versioned file has no MsiFileHash row);
  the short name that the Filename type requires beside a long one (see short_names); INSTALLDIR among the
  secure properties, so that a managed install keeps an INSTALLDIR from the command line;
  plain type 51 (set a property) for the custom actions; and the older version removed
  before the newer one installs, right after InstallInitialize, so that an upgrade into
  another folder leaves nothing in the old one.
- wixl stamps the summary information with the build time and a random package code. Both
  times become SOURCE_DATE_EPOCH (1980-01-01 when unset) and the package code one derived
  from the package's own bytes (with the code blanked), so that the same content always has
  the same code and other content another. These values are rewritten in place at their own
  size, so nothing else in the file moves."""
import hashlib
import os
import re
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid

import olefile
import pefile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import publisher  # noqa: E402

SOURCE = pathlib.Path(__file__).resolve().parents[1]
WXS = SOURCE / 'res' / 'Brenhold.wxs'
# The UpgradeCode of res/Brenhold.wxs: product codes are derived in its namespace.
UPGRADE_CODE = uuid.UUID('6F2D1C44-8A57-4B2E-9A4F-3F1F1F3B6A10')
EXPANDABLE_MESSAGE_FILE = ("UPDATE `Registry` SET `Value` = '#%[#BrenholdExe]' "
                           "WHERE `Name` = 'EventMessageFile'")
# The Filename data type: a short name of up to 8 characters, an optional extension of up to 3,
# none of the characters it forbids, no blank.
SHORT_NAME = re.compile(r'^[^\\?|><:/*"+,;=\[\] .]{1,8}(\.[^\\?|><:/*"+,;=\[\] .]{1,3})?$')
SHORT_FORBIDDEN = re.compile(r'[\\?|><:/*"+,;=\[\] .]')
PROGRAM_NAME = 'Brenhold.exe'
# Programs and Features' links, from the publisher's facts of the same names.
ARP_PROPERTIES = {'ARPURLINFOABOUT': 'website', 'ARPHELPLINK': 'source_repository',
                  'ARPCONTACT': 'security_contact'}
SECURE_PROPERTIES = 'INSTALLDIR;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED'
SET_PROPERTY = 51
REMOVE_OLDER_FIRST = ("UPDATE `InstallExecuteSequence` SET `Sequence` = 1501 "
                      "WHERE `Action` = 'RemoveExistingProducts'")

SUMMARY = '\x05SummaryInformation'
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64
BLANK_CODE = b'{00000000-0000-0000-0000-000000000000}'
# Package codes of this project live in a namespace of their own.
NAMESPACE = uuid.UUID('5b0c3f7e-3c1e-4f53-9d2a-6c1f0b6e2a47')


def property_offsets(stream):
    """Offset in the stream of each property's value (after its type), by property ID."""
    section = struct.unpack_from('<I', stream, 28 + 16)[0]
    count = struct.unpack_from('<I', stream, section + 4)[0]
    offsets = {}
    for index in range(count):
        pid, offset = struct.unpack_from('<II', stream, section + 8 + 8 * index)
        vtype = struct.unpack_from('<I', stream, section + offset)[0]
        offsets[pid] = (vtype, section + offset + 4)
    return offsets


def filetime(epoch):
    return struct.pack('<Q', (epoch + 11644473600) * 10_000_000)


def rewrite(path, code, epoch):
    with olefile.OleFileIO(path, write_mode=True) as package:
        stream = bytearray(package.openstream(SUMMARY).read())
        offsets = property_offsets(stream)
        for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
            vtype, at = offsets[pid]
            assert vtype == VT_FILETIME, (pid, vtype)
            stream[at:at + 8] = filetime(epoch)
        vtype, at = offsets[PID_REVNUMBER]
        length = struct.unpack_from('<I', stream, at)[0]
        assert vtype == VT_LPSTR and stream[at + 4 + len(code)] == 0 and length >= len(code) + 1
        stream[at + 4:at + 4 + len(code)] = code
        package.write_stream(SUMMARY, bytes(stream))


def product_code(version):
    return str(uuid.uuid5(UPGRADE_CODE, f'Brenhold caller {version}')).upper()


def image_version(program):
    """The program's own file version and the language of its version resource."""
    image = pefile.PE(str(program))
    fixed = image.VS_FIXEDFILEINFO[0]
    fields = (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF, fixed.FileVersionLS >> 16,
              fixed.FileVersionLS & 0xFFFF)
    [translation] = [var.entry[b'Translation'] for info in image.FileInfo[0] if info.Key == b'VarFileInfo'
                     for var in info.Var]
    return '.'.join(map(str, fields)), str(int(translation.split()[0], 16))


def check_version(version):
    fields = version.split('.')
    if len(fields) != 4 or not all(f.isdigit() for f in fields):
        raise SystemExit(f'make-msi.py: version {version!r} is not four numbers')
    if fields[3] != '0':
        raise SystemExit(f'make-msi.py: version {version} has a fourth field; Windows Installer compares only '
                         'the first three, so it could not upgrade the one before: raise one of them instead')


def arp_properties(facts):
    return [f"INSERT INTO `Property` (`Property`, `Value`) VALUES ('{name}', '{facts[fact]}')"
            for name, fact in ARP_PROPERTIES.items() if facts[fact]]


def file_id(name):
    """The File table's key for a document: its name with what an identifier cannot hold as _."""
    return '_' + re.sub(r'[^A-Za-z0-9_.]', '_', name)


def short_names(names):
    """'SHORT|long' for each name that is not a short name itself, made as Windows makes one:
    the first six characters of the stem that a short name may hold, in capitals, then ~N, and
    the first three of the extension, N counting up past the names already taken in the folder.
    A name with nothing a short name may hold, or a tenth one alike, is refused."""
    taken = {name.upper() for name in names if SHORT_NAME.match(name)}
    made = {}
    for name in names:
        if SHORT_NAME.match(name):
            continue
        stem, dot, extension = name.rpartition('.') if '.' in name[1:] else (name, '', '')
        stem = SHORT_FORBIDDEN.sub('', stem).upper()[:6]
        extension = SHORT_FORBIDDEN.sub('', extension).upper()[:3]
        if not stem:
            raise SystemExit(f'make-msi.py: {name!r} has no character a short (8.3) name can hold: '
                             'rename it')
        for number in range(1, 10):
            short = f'{stem}~{number}' + (f'.{extension}' if extension else '')
            if short not in taken:
                break
        else:
            raise SystemExit(f'make-msi.py: no short name left for {name!r}: {stem}~1 to {stem}~9 are taken '
                             'by names that begin as it does; rename it')
        taken.add(short)
        made[name] = f'{short}|{name}'
    return made


def documents_include(names):
    """The File element of each document, for res/Brenhold.wxs to include."""
    files = ''.join(f'  <File Id="{file_id(name)}" Name="{name}" Source="{name}"/>\n' for name in names)
    return ('<?xml version="1.0" encoding="utf-8"?>\n'
            '<Include xmlns="http://schemas.microsoft.com/wix/2006/wi">\n' + files + '</Include>\n')


def table_fixes(program, names, facts):
    version, language = image_version(program)
    queries = [EXPANDABLE_MESSAGE_FILE,
               f"UPDATE `File` SET `Version` = '{version}', `Language` = '{language}' WHERE `File` = 'BrenholdExe'",
               "DELETE FROM `MsiFileHash` WHERE `File_` = 'BrenholdExe'",
               f"UPDATE `Property` SET `Value` = '{SECURE_PROPERTIES}' WHERE `Property` = 'SecureCustomProperties'",
               f"UPDATE `CustomAction` SET `Type` = {SET_PROPERTY}",
               REMOVE_OLDER_FIRST]
    queries += [f"UPDATE `File` SET `FileName` = '{both}' WHERE `File` = '{file_id(name)}'"
                for name, both in short_names(names).items()]
    return queries + arp_properties(facts)


def epoch():
    return int(os.environ.get('SOURCE_DATE_EPOCH') or 315532800)


def normalize(path):
    rewrite(path, BLANK_CODE, epoch())
    digest = hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()
    code = '{' + str(uuid.uuid5(NAMESPACE, digest)).upper() + '}'
    rewrite(path, code.encode('ascii'), epoch())


def stage(folder, files):
    """wixl takes sources by names relative to where it runs, and its cabinet keeps each
    file's time: copies under the package's names, all with one time."""
    for name, source in files.items():
        shutil.copyfile(source, folder / name)
        os.utime(folder / name, (epoch(), epoch()))


def main():
    if len(sys.argv) < 5:
        raise SystemExit('usage: make-msi.py VERSION PROGRAM OUT.msi DOCUMENT...')
    version, program, out, *documents = sys.argv[1:]
    check_version(version)
    out = pathlib.Path(out).resolve()
    facts = publisher.load(SOURCE)
    names = [pathlib.Path(document).name for document in documents]
    if len(set(names)) != len(names) or PROGRAM_NAME in names:
        raise SystemExit(f'make-msi.py: two files of the package share a name: {names}')
    short_names([PROGRAM_NAME] + names)  # refused before wixl runs
    files = {PROGRAM_NAME: program} | dict(zip(names, documents))
    with tempfile.TemporaryDirectory(prefix='brenhold-msi-') as folder:
        stage(pathlib.Path(folder), files)
        (pathlib.Path(folder) / 'Documents.wxi').write_text(documents_include(names), encoding='utf-8')
        subprocess.run(['wixl', '-a', 'x64', '-D', f'Version={version}', '-D', f'ProductCode={product_code(version)}',
                        '-D', f'Manufacturer={facts["name"]}', '-o', str(out), str(WXS)], cwd=folder, check=True)
    for query in table_fixes(program, [PROGRAM_NAME] + names, facts):
        subprocess.run(['msibuild', str(out), '-q', query], check=True)
    normalize(out)


if __name__ == '__main__':
    main()
