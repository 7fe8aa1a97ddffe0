#!/usr/bin/env python3
"""Every header the program's objects were compiled from (the compiler's own dependency
files) falls under a licence whose case docs/RELEASING.md has decided: a notice in
THIRD-PARTY-NOTICES.txt, or none, for the reason given here. A change that includes a header
under another licence fails until that licence is read and decided.

    check-headers.py BUILD-DIR NOTICES

The licence of a MinGW-w64 header is the one the package's machine-readable copyright file
gives its path; the others name theirs in their own text."""
import fnmatch
import pathlib
import re
import subprocess
import sys

TRIPLE = 'x86_64-w64-mingw32'
MINGW_INCLUDE = f'/usr/{TRIPLE}/include/'
MINGW_COPYRIGHT = '/usr/share/doc/mingw-w64-x86-64-dev/copyright'
# Where the package's copyright file names the headers (its source tree's folders).
MINGW_SOURCE_FOLDERS = ('mingw-w64-headers/include/', 'mingw-w64-headers/crt/', 'mingw-w64-headers/ddk/include/')
# licence -> the notices' section that names it, or None where no notice is owed.
DECIDED = {
    'public-domain': None,
    'ZPL-2.1': 'mingw-w64-x86-64-dev',
    'GPL-3.0-or-later WITH GCC-exception-3.1': 'g++-mingw-w64-x86-64-win32',
    # The LLVM exception lifts the Apache licence's conditions for what compiling embeds.
    'Apache-2.0 WITH LLVM-exception': None,
    # Only compiler intrinsics of instruction sets the build does not enable (clang refuses to
    # compile a call to one without its target feature): none of their code is in the program.
    'MIT (intrinsics)': None,
    # LGPL-2.1 section 5: object code that uses only macros (and the like) of a header is
    # unrestricted; the check below keeps such a header to preprocessor lines.
    'LGPL-2.1+ (macros only)': None,
    # GCC's old stdarg.h, which Debian 13's headers bring in: its own exception says that
    # including it does not by itself put the program under the GPL.
    'GPL-2+ (header exception)': None,
}
HEADER_EXCEPTION = ('this header file does not by itself cause\n   the resulting executable to be covered by '
                    'the GNU General Public\n   License')
NOTICE_SECTION = re.compile(r'^Package: (\S+) ', re.MULTILINE)


def included_headers(build):
    found = set()
    for dependencies in (pathlib.Path(build) / 'CMakeFiles' / 'Brenhold.dir').rglob('*.obj.d'):
        for word in dependencies.read_text().replace('\\\n', ' ').split():
            if word.startswith('/usr/') and not word.endswith(':'):
                found.add(pathlib.Path(word))
    return sorted(found)


def mingw_rules():
    text = pathlib.Path(MINGW_COPYRIGHT).read_text()
    rules = []
    for stanza in text.split('\n\n'):
        files = re.match(r'Files:(.*?)(?=^\S|\Z)', stanza, re.DOTALL | re.MULTILINE)
        licence = re.search(r'^License: (.*)$', stanza, re.MULTILINE)
        if files and licence:
            rules.append((files.group(1).split(), licence.group(1).strip()))
    return rules


def macros_only(path):
    """True when every line outside comments is a preprocessor line or empty."""
    text = re.sub(r'/\*.*?\*/', '', path.read_text(errors='replace'), flags=re.DOTALL)
    code = [line for line in (re.sub(r'//.*', '', line).strip() for line in text.splitlines()) if line]
    return all(line.startswith('#') or lines_continue for line, lines_continue in
               zip(code, [False] + [previous.endswith('\\') for previous in code]))


def licence(path, rules):
    if str(path).startswith(MINGW_INCLUDE):
        relative = str(path)[len(MINGW_INCLUDE):]
        chosen = 'unknown'
        for patterns, named in rules:  # the last matching stanza wins, as in the copyright format
            if any(fnmatch.fnmatch(folder + relative, pattern) for pattern in patterns for folder in MINGW_SOURCE_FOLDERS):
                chosen = named
        if chosen == 'LGPL-2.1+' and macros_only(path):
            return 'LGPL-2.1+ (macros only)'
        if chosen == 'GPL-2+' and HEADER_EXCEPTION in path.read_text(errors='replace'):
            return 'GPL-2+ (header exception)'
        return chosen
    text = path.read_text(errors='replace')[:3000]
    if 'Apache-2.0 WITH LLVM-exception' in text or 'Apache License v2.0 with LLVM Exceptions' in text:
        return 'Apache-2.0 WITH LLVM-exception'
    if 'GCC Runtime Library Exception' in text:
        return 'GPL-3.0-or-later WITH GCC-exception-3.1'
    resource = pathlib.Path(subprocess.run(['clang', '-print-resource-dir'], capture_output=True,
                                           text=True).stdout.strip()) / 'include'
    if 'Permission is hereby granted, free of charge' in text and path.parent == resource and \
            path.name.endswith('intrin.h'):
        return 'MIT (intrinsics)'
    return 'unknown'


def problems(build, notices_text):
    rules = mingw_rules()
    sections = set(NOTICE_SECTION.findall(notices_text))
    found = []
    for path in included_headers(build):
        named = licence(path, rules)
        if named not in DECIDED:
            found.append(f'{path}: licence {named}, not decided: read it, decide whether the notices must name it')
        elif DECIDED[named] and DECIDED[named] not in sections:
            found.append(f'{path}: {named} asks for a notice, and THIRD-PARTY-NOTICES.txt has no {DECIDED[named]}')
    return found


def main():
    found = problems(sys.argv[1], pathlib.Path(sys.argv[2]).read_text(encoding='utf-8'))
    for problem in found:
        print(problem)
    if found:
        sys.exit(1)
    print('every header compiled in is under a decided licence')


if __name__ == '__main__':
    main()
