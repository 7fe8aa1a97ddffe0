#!/usr/bin/env python3
"""Prints the SHA-256 Authenticode digest of a PE file: the hash that a signature signs. It
leaves out the checksum field, the certificate-table entry and the certificate table itself,
which is all that signing changes, so a signed program has the digest of the build it came
from.

    scripts/authenticode-digest.py FILE.exe"""
import hashlib
import struct
import sys

PE32_PLUS = 0x20B
CERTIFICATE_ENTRY = 4  # index of the certificate table among the data directories


def authenticode_digest(data):
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    if data[pe:pe + 4] != b'PE\0\0':
        raise ValueError('not a PE file')
    optional = pe + 24
    magic = struct.unpack_from('<H', data, optional)[0]
    checksum = optional + 64
    directories = optional + (112 if magic == PE32_PLUS else 96)
    certificate_entry = directories + 8 * CERTIFICATE_ENTRY
    table_offset, table_size = struct.unpack_from('<II', data, certificate_entry)
    end = table_offset if table_size else len(data)
    digest = hashlib.sha256()
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:certificate_entry])
    digest.update(data[certificate_entry + 8:end])
    return digest.hexdigest()


if __name__ == '__main__':
    with open(sys.argv[1], 'rb') as file:
        print(authenticode_digest(file.read()))
