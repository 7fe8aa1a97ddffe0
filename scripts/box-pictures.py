#!/usr/bin/env python3
"""Takes a picture of each box the program can show, for docs/DEVELOPING.md.

Runs the real program under Wine on an Xvfb display, inside a Wine virtual desktop (so
Wine draws the captions itself, with no window manager), and crops each box out of a
screenshot. Writes docs/boxes/*.png. Needs a build (scripts/build.sh), Xvfb and ImageMagick.
"""
import os
import pathlib
import shutil
import subprocess
import sys
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / 'tests' / 'e2e'))
import harness  # noqa: E402

DISPLAY = ':57'
PREFIX = ROOT / 'build' / 'wineprefix-x11'
OUT = ROOT / 'docs' / 'boxes'

CASES = [
    # (picture, print library variant, arguments, environment)
    ('invalid-keyword', 'default', '-DEL report.pdf', {}),
    ('no-input-file', 'default', '', {}),
    ('input-file-does-not-exist', 'default', '"C:\\Reports\\May 2026.pdf"', {}),
    ('cant-find-tamsel', None, 'report.pdf', {}),
    ('entry-point-missing', 'no-entry', 'report.pdf', {}),
    ('runtime-error-217', 'default', 'report.pdf', {'TAMSEL_RESULT': '0x80004005'}),
]


def wine_environment():
    environment = dict(os.environ, WINEPREFIX=str(PREFIX), WINEDEBUG='-all', DISPLAY=DISPLAY)
    return environment


# Wine draws the caption buttons' glyphs with its Marlett font (the close cross is the letter
# "r" there). fonts-wine ships it in /usr/share/wine/fonts, but Debian's Wine 8 never looks
# in that folder (traced: it searches the prefix's C:\windows\Fonts and fontconfig's
# folders), so without a copy in the prefix another font drew a plain "r".
MARLETT = pathlib.Path('/usr/share/wine/fonts/marlett.ttf')


def make_prefix():
    if (PREFIX / '.brenhold-ready').exists():
        return
    environment = wine_environment()
    subprocess.run(['wineboot', '-i'], env=environment, capture_output=True)
    fonts = PREFIX / 'drive_c' / 'windows' / 'Fonts'
    fonts.mkdir(parents=True, exist_ok=True)
    shutil.copy(MARLETT, fonts / MARLETT.name)
    for key, name, value in [('HKCU\\Software\\Wine\\Explorer', 'Desktop', 'Default'),
                             ('HKCU\\Software\\Wine\\Explorer\\Desktops', 'Default', '640x480')]:
        subprocess.run(['wine', 'reg', 'add', key, '/v', name, '/d', value, '/f'], env=environment,
                       capture_output=True)
    subprocess.run(['wineserver', '-w'], env=environment)
    (PREFIX / '.brenhold-ready').touch()


def picture(name, variant, arguments, environment):
    sandbox = harness.Sandbox(variant)
    try:
        sandbox.file('report.pdf')
        hold = sandbox.root / 'hold'
        output = sandbox.root / 'driver.out'
        runner = threading.Thread(target=sandbox.run, args=(arguments,),
                                  kwargs={'env': dict(wine_environment(), **environment), 'hold': hold})
        runner.start()
        deadline = time.time() + 60
        while time.time() < deadline:
            lines = output.read_text().splitlines() if output.exists() else []
            boxes = [line for line in lines if line.startswith('box ')]
            if boxes:
                break
            time.sleep(0.1)
        else:
            raise SystemExit(f'{name}: no box appeared')
        time.sleep(0.5)  # let the box paint
        box = harness.parse_box(harness.parse_fields(boxes[0].split()[1:]))
        left, top, right, bottom = box.rect
        target = OUT / f'{name}.png'
        subprocess.run(['import', '-display', DISPLAY, '-window', 'root',
                        '-crop', f'{right - left}x{bottom - top}+{left}+{top}', '+repage', str(target)], check=True)
        hold.touch()
        runner.join()
        print(f'{target.relative_to(ROOT)}: {box.caption} / {box.text}')
    finally:
        sandbox.close()


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    xvfb = subprocess.Popen(['Xvfb', DISPLAY, '-screen', '0', '640x480x24', '-nolisten', 'tcp'],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(1)
        make_prefix()
        for case in CASES:
            picture(*case)
    finally:
        subprocess.run(['wineserver', '-k'], env=wine_environment())
        xvfb.terminate()


if __name__ == '__main__':
    main()
