#!/usr/bin/env python3
"""Makes an MSI written by wixl depend on nothing but its contents: wixl stamps the summary
information with the build time and a random package code. This sets both times to
SOURCE_DATE_EPOCH and the package code to one derived from the package's own bytes (with the
code blanked), so that the same content always has the same code and other content another.

    normalize-msi.py PACKAGE.msi        (SOURCE_DATE_EPOCH from the environment)

Every value is rewritten in place at its own size, so nothing else in the file moves."""
import hashlib
import os
import struct
import sys
import uuid

import olefile

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


def main():
    path = sys.argv[1]
    epoch = int(os.environ['SOURCE_DATE_EPOCH'])
    rewrite(path, BLANK_CODE, epoch)
    with open(path, 'rb') as package:
        digest = hashlib.sha256(package.read()).hexdigest()
    code = '{' + str(uuid.uuid5(NAMESPACE, digest)).upper() + '}'
    rewrite(path, code.encode('ascii'), epoch)
    print(code)


if __name__ == '__main__':
    main()
