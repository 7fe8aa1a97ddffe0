#!/usr/bin/env python3
"""Rewrites a ZIP so that its bytes depend only on the names and contents of its files:
entries sorted by name, directory entries dropped (unpacking makes them), one fixed time
(SOURCE_DATE_EPOCH when set, else 1980-01-01), no extra fields, fixed modes (0755 for .exe,
0644 for the rest), the same compression for every file.

    scripts/normalize-zip.py PACKAGE.zip"""
import os
import sys
import time
import zipfile


def fixed_time():
    epoch = os.environ.get('SOURCE_DATE_EPOCH')
    if not epoch:
        return (1980, 1, 1, 0, 0, 0)
    # DOS times cannot go below 1980; they carry whole seconds in steps of two.
    return max((1980, 1, 1, 0, 0, 0), time.gmtime(int(epoch))[:6])


def normalize(path):
    with zipfile.ZipFile(path) as source:
        files = sorted((info.filename, source.read(info)) for info in source.infolist() if not info.is_dir())
    stamp = fixed_time()
    temporary = path + '.tmp'
    with zipfile.ZipFile(temporary, 'w') as target:
        for name, data in files:
            entry = zipfile.ZipInfo(name, date_time=stamp)
            entry.create_system = 3  # Unix, so the mode below is read
            entry.external_attr = (0o100755 if name.endswith('.exe') else 0o100644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            target.writestr(entry, data, compresslevel=9)
    os.replace(temporary, path)


if __name__ == '__main__':
    normalize(sys.argv[1])
