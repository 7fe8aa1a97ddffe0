"""Runs the real Brenhold.exe under Wine through the test driver and reports what a user
would see: the boxes (caption, text, buttons, owner), the exit status, the files left,
the trash, and the events the stand-in print library logged."""
import dataclasses
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

import pefile

import endings
from endings import CAPTION, ENDINGS, REPORT_CAPTION

BUILD = pathlib.Path(os.environ.get('BRENHOLD_BUILD', pathlib.Path(__file__).resolve().parents[2] / 'build'))
# Another copy of the program (an unpacked or a signed one) can stand in for the build's.
PRODUCT = pathlib.Path(os.environ.get('BRENHOLD_PRODUCT', BUILD / 'bin' / 'Brenhold.exe'))
DRIVER = BUILD / 'testbin' / 'TestDriver.exe'
FAULT_HOOK = BUILD / 'testbin' / 'faults' / 'FaultHook.dll'
TAMSEL = BUILD / 'testbin' / 'tamsel'
MAP_FILE = BUILD / 'Brenhold.map'
# The one version of the build, as its build information names it ("Brenhold caller X").
VERSION = (BUILD / 'BUILD-INFO.txt').read_text().splitlines()[0].rsplit(' ', 1)[1]
SOURCE_ROOT = pathlib.Path(__file__).resolve().parents[2]
# The documents both packages carry beside the program, from the source tree and the build:
# the tests' own list, held to the build's (BRENHOLD_DOCUMENTS in CMakeLists.txt) by the
# packages' contents.
DOCUMENTS = [SOURCE_ROOT / 'README.md', SOURCE_ROOT / 'DEPLOYING.md', SOURCE_ROOT / 'REFERENCE.md',
             SOURCE_ROOT / 'VENDOR-CONTRACT.md', BUILD / 'BUILD-INFO.txt', SOURCE_ROOT / 'LICENSE.txt',
             SOURCE_ROOT / 'THIRD-PARTY-NOTICES.txt', BUILD / 'SECURITY.md', SOURCE_ROOT / 'CHANGELOG.md']
# What an installed or unpacked release holds.
SHIPPED = sorted(['Brenhold.exe'] + [document.name for document in DOCUMENTS])
SHIPPED_DIFFERS = ('the package holds other files than the tests expect: a shipped document is one line in '
                   'BRENHOLD_DOCUMENTS in CMakeLists.txt and one in DOCUMENTS in tests/e2e/harness.py')

NO_INPUT = ENDINGS['NoInputFile'].box
NO_LIBRARY = ENDINGS['LibraryMissing'].box
NO_ENTRY = ENDINGS['EntryPointMissing'].box
WINDOW_CLASS = 'BrenholdCallerWindow'


def winpath(path):
    """Wine maps the Unix root to drive Z:."""
    return 'Z:' + str(path).replace('/', '\\')


_wineserver = None


def start_wineserver():
    """Keeps the prefix's wineserver up between runs: a fresh one per run costs seconds.
    It goes away by itself a minute after the last run. Not waited for: when a server is
    already up, this one only waits for it to go."""
    global _wineserver
    if _wineserver is None:
        _wineserver = subprocess.Popen(['wineserver', '-p60'], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, start_new_session=True)


def function_range(name):
    """[start, end) of a function of the executable, from the linker map."""
    addresses = set()
    start = None
    for line in MAP_FILE.read_text().splitlines():
        match = re.match(r'^([0-9a-f]{8}) [0-9a-f]{8} +0 +(\S.*)$', line)
        if not match:
            continue
        address = 0x400000 + int(match.group(1), 16)
        addresses.add(address)
        if match.group(2).startswith(name + '('):
            start = address
    return start, min(a for a in addresses if a > start)


def address_after_call(caller, callee):
    """The address just after the one direct call (E8 rel32) of callee inside caller, decoded
    from the built image: what the report must show for a failure result."""
    start, end = function_range(caller)
    target, _ = function_range(callee)
    image = pefile.PE(str(PRODUCT), fast_load=True)
    code = image.get_data(start - image.OPTIONAL_HEADER.ImageBase, end - start)
    sites = [start + offset + 5 for offset in range(len(code) - 4)
             if code[offset] == 0xE8
             and start + offset + 5 + int.from_bytes(code[offset + 1:offset + 5], 'little', signed=True) == target]
    assert len(sites) == 1, f'{len(sites)} calls of {callee} in {caller}'
    return sites[0]

def direct_calls_of(callee):
    """The address just after every direct call (E8 rel32) of callee in the whole image."""
    target, _ = function_range(callee)
    image = pefile.PE(str(PRODUCT), fast_load=True)
    [text] = [s for s in image.sections if s.Name.rstrip(b'\0') == b'.text']
    start = image.OPTIONAL_HEADER.ImageBase + text.VirtualAddress
    code = text.get_data()
    return {start + offset + 5 for offset in range(len(code) - 4)
            if code[offset] == 0xE8
            and start + offset + 5 + int.from_bytes(code[offset + 1:offset + 5], 'little', signed=True) == target}


def unshipped_references(readme):
    """The links and pictures of a shipped document (Markdown or HTML) whose target is not a
    file beside it: a reader of the package would find them broken."""
    text = pathlib.Path(readme).read_text(encoding='utf-8')
    targets = re.findall(r'\]\(([^)\s]+)', text) + re.findall(r'<img[^>]*\ssrc="([^"]+)"', text)
    local = [t for t in targets if not re.match(r'^[a-z]+:|^#', t)]
    return [t for t in local if not (pathlib.Path(readme).parent / t.split('#')[0]).is_file()]


def readme_block(marker):
    """The one fenced code block of the source tree's README.md that holds marker: the tests
    run the README's recipes as written."""
    text = (SOURCE_ROOT / 'README.md').read_text(encoding='utf-8')
    [block] = [b for b in re.findall(r'^```[a-z]*\n(.*?)^```', text, re.S | re.M) if marker in b]
    return block


def utf16(text):
    """Hex of UTF-16 text, as the stand-in library logs the paths it was asked to remove."""
    return text.encode('utf-16-le').hex()


def wine_unescape(text):
    """Undoes the escapes of Wine's debugstr_w: a backslash before four hexadecimal digits
    (a character outside printable ASCII), before n, r or t, or before itself or a quote."""
    controls = {'n': '\n', 'r': '\r', 't': '\t'}
    return re.sub(r'\\([0-9a-fA-F]{4})|\\(.)',
                  lambda m: chr(int(m.group(1), 16)) if m.group(1) else controls.get(m.group(2), m.group(2)), text)


def unhex(text):
    return bytes.fromhex(text).decode('utf-8')


@dataclasses.dataclass
class Box:
    caption: str
    text: str
    rect: tuple
    buttons: str
    icon: int
    owned: bool
    owner_class: str = ''
    owner_title: str = ''
    owner_visible: bool = False
    owner_rect: tuple = ()
    owner_style: int = 0
    owner_exstyle: int = 0
    others: str = ''


@dataclasses.dataclass
class Event:
    kind: str
    fields: dict


@dataclasses.dataclass
class Run:
    boxes: list
    exit: int
    screen: tuple
    query_answers: list
    events: list
    output: str
    wine_errors: str = ''
    locale: str = 'C.UTF-8'
    # With the fault hook: name -> {'installed', 'calls', 'failed'}; and whether it ran.
    fault_counts: dict = dataclasses.field(default_factory=dict)
    fault_attached: bool = False
    fault_plan_found: bool = False

    def events_of(self, kind):
        return [e for e in self.events if e.kind == kind]

    def reported_events(self):
        """Each event the product reported, as (source, type, id, text): its message, the
        first of its strings (the second is reported_event_paths')."""
        return [(source, kind, event_id, strings[0] if strings else '')
                for source, kind, event_id, _, strings in self.reported_event_strings()]

    def reported_event_paths(self):
        """The second string of each event the product reported, the input path: '' where it
        was empty (Wine prints no line for an empty string), None for an event without one."""
        return [(strings[1] if len(strings) > 1 else '') if count >= 2 else None
                for *_, count, strings in self.reported_event_strings()]

    def reported_event_strings(self):
        """Each event the product reported, as (source, type, id, number of strings, strings),
        read from what Wine prints for it with WINEDEBUG=fixme+advapi,err+eventlog,warn+eventlog:
        its RegisterEventSourceW and ReportEventW stubs name the source, the type, the ID and
        the number of strings, and the eventlog channel prints each string that is not empty
        on a line of its own (errors as err:, warnings as warn:). Wine cuts a long string in
        its debug output: the text then ends in '...'."""
        found, source = [], None
        for line in self.wine_errors.splitlines():
            registered = re.search(r'RegisterEventSourceW \(\(null\),L"(.*)"\)', line)
            reported = re.search(r'fixme:advapi:ReportEventW \([0-9A-Fa-f]+,0x([0-9a-f]{4}),0x[0-9a-f]{4},'
                                 r'0x([0-9a-f]{8}),[^,]*,0x([0-9a-f]{4}),', line)
            text = re.search(r'(?:err|warn):eventlog:ReportEventW L"(.*)"(\.\.\.)?$', line)
            if registered:
                source = wine_unescape(registered.group(1))
            elif reported:
                found.append((source, int(reported.group(1), 16), int(reported.group(2), 16),
                              int(reported.group(3), 16), []))
            elif text and found:
                found[-1][4].append(wine_unescape(text.group(1)) + (text.group(2) or ''))
        return found

    @property
    def printed(self):
        """The exact bytes printFile received, or None when it was never called."""
        prints = self.events_of('print')
        return bytes.fromhex(prints[0].fields['bytes']) if prints else None


def parse_fields(words):
    fields = {}
    for word in words:
        key, _, value = word.partition('=')
        fields[key] = value
    return fields


def parse_box(fields):
    box = Box(unhex(fields['caption']), unhex(fields['text']),
              tuple(int(v) for v in fields['rect'].split(',')), unhex(fields['buttons']),
              int(fields['icon']), fields['owner'] == '1', others=unhex(fields['others']))
    if box.owned:
        box.owner_class = unhex(fields['ownerclass'])
        box.owner_title = unhex(fields['ownertitle'])
        box.owner_visible = fields['ownervisible'] == '1'
        box.owner_rect = tuple(int(v) for v in fields['ownerrect'].split(','))
        box.owner_style = int(fields['ownerstyle'], 16)
        box.owner_exstyle = int(fields['ownerexstyle'], 16)
    return box


class Sandbox:
    """A private folder per run: app/ holds the executable (and a Tamsel.dll variant, with the
    other DLLs of its folder),
    work/ is the working directory, trash/ is Wine's XDG data home."""

    def __init__(self, variant='default', exe_name='Brenhold.exe', app_name='app'):
        start_wineserver()
        self.root = pathlib.Path(tempfile.mkdtemp(prefix='brenhold-'))
        self.app = self.root / app_name
        self.work = self.root / 'work'
        self.trash = self.root / 'trash'
        self.spool = self.root / 'spool'
        self.log = self.root / 'events.log'
        for folder in (self.app, self.work, self.trash):
            folder.mkdir()
        self.exe = self.app / exe_name
        shutil.copy(PRODUCT, self.exe)
        if variant:
            # Tamsel.dll, and any other DLL of its vendor's built beside it.
            for library in (TAMSEL / variant).glob('*.dll'):
                shutil.copy(library, self.app / library.name)

    def close(self):
        # BRENHOLD_KEEP=1 keeps every run's folder (the request, the driver's report, Wine's
        # output in wine.err, the stand-in's events) for a look after a failure.
        if os.environ.get('BRENHOLD_KEEP'):
            print(f'kept {self.root}', flush=True)
            return
        for path in self.root.rglob('*'):
            if not path.is_symlink():
                path.chmod(0o755 if path.is_dir() else 0o644)
        shutil.rmtree(self.root, ignore_errors=True)

    def file(self, name, content=b'print me\n', readonly=False):
        path = self.work / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)
        if readonly:
            path.chmod(0o444)
        return path

    def trashed(self):
        """Names in Wine's trash."""
        files = self.trash / 'Trash' / 'files'
        return sorted(p.name for p in files.iterdir()) if files.exists() else []

    def spooled(self):
        return sorted(p.name for p in self.spool.iterdir()) if self.spool.exists() else []

    def run(self, arguments='', command_line=None, env=None, logoff_caption=None,
            endsession_zero=False, close_app=False, lock=None, timeout_ms=30000, hold=None,
            watch_tree=False, exe=None, locale='C.UTF-8', hidden_station=False, stderr=None, may_hang=False, inject=False,
            read_ms=0):
        """Starts the product with `"<exe>" <arguments>`, or with command_line exactly. Wine
        takes the ANSI code page (and its button texts) from the Unix locale, so the run has
        the given locale and never the caller's. With close_app the session's end (logoff_caption,
        endsession_zero) comes as Restart Manager's request to close. A run that the driver's
        time limit ends fails the test, unless may_hang: then its exit is 'timeout'. read_ms:
        each box stays up that long before OK is pressed, as for a person who reads it."""
        if command_line is None:
            command_line = f'"{winpath(self.exe)}" {arguments}'
        request = {
            'exe': exe or winpath(self.exe),
            'cmdline': command_line.encode('utf-8').hex(),
            'cwd': winpath(self.work),
            'log': winpath(self.log),
            'timeout-ms': str(timeout_ms),
            'out': winpath(self.root / 'driver.out'),
        }
        if logoff_caption:
            request['logoff'] = logoff_caption.encode('utf-8').hex()
        if endsession_zero:
            request['endsession-zero'] = '1'
        if close_app:
            request['closeapp'] = '1'
        if lock:
            request['lock'] = winpath(lock)
        if hold:
            request['hold'] = winpath(hold)
        if read_ms:
            request['read-ms'] = str(read_ms)
        if watch_tree:
            request['watch'] = 'tree'
        if hidden_station:
            request['station'] = '1'
        if inject:
            request['inject'] = winpath(FAULT_HOOK)
        if stderr == 'pipe':
            request['stderr'] = 'pipe'
        elif stderr:
            request['stderr'] = winpath(stderr)
        request_file = self.root / 'request.txt'
        request_file.write_text(''.join(f'{k}={v}\n' for k, v in request.items()), encoding='utf-8')
        environment = dict(os.environ)
        environment.update({
            'LANG': locale,
            'LC_ALL': locale,
            # Wine's own messages are off unless asked for (BRENHOLD_WINEDEBUG=+seh,+loaddll ...);
            # they land in the folder's wine.err.
            'WINEDEBUG': os.environ.get('BRENHOLD_WINEDEBUG', '-all'),
            'XDG_DATA_HOME': str(self.trash),
            'TAMSEL_LOG': winpath(self.log),
            'TAMSEL_SPOOL': winpath(self.spool),
        })
        environment.update(env or {})
        output = self.root / 'driver.out'
        errors = self.root / 'wine.err'
        # A driver that never started, or whose start of the product Wine refused with
        # ERROR_INTERNAL_ERROR (1359: Wine itself failing to start a process, which happens now
        # and then, more often on a loaded machine), is tried again; a run of the product that
        # started is never repeated.
        for _ in range(3):
            output.unlink(missing_ok=True)
            # Wine's helper processes inherit the standard handles: no pipes, or we would
            # wait for them too.
            with errors.open('wb') as stderr:
                subprocess.run(['wine', str(DRIVER), winpath(request_file)], env=environment,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr,
                               timeout=timeout_ms / 1000 + 60)
            written = output.read_text('utf-8', 'replace') if output.exists() else ''
            if written and 'createprocess=failed error=1359' not in written:
                break
        text = output.read_text('utf-8', 'replace') if output.exists() else ''
        wine_errors = errors.read_text('utf-8', 'replace')
        run = self._read(text or wine_errors, may_hang)
        run.wine_errors = wine_errors
        run.locale = locale
        return run

    def run_changing(self, during, env=None, **kwargs):
        """Runs the product as run() does, with the stand-in library told to pause while it
        prints (TAMSEL_ACTION=pause): during(self) then changes the files, and the library
        goes on. With during None, a plain run."""
        ready, go = self.root / 'ready', self.root / 'go'
        env = dict(env or {}, TAMSEL_PAUSE_READY=winpath(ready), TAMSEL_PAUSE_GO=winpath(go))
        outcome = {}
        runner = threading.Thread(target=lambda: outcome.setdefault('run', self.run(env=env, **kwargs)))
        runner.start()
        if during:
            deadline = time.time() + 30
            while not ready.exists() and time.time() < deadline:
                time.sleep(0.02)
            during(self)
            go.touch()
        runner.join()
        return outcome['run']

    def _read(self, output, may_hang=False):
        boxes, answers, status, screen = [], [], None, ()
        for line in output.splitlines():
            words = line.split()
            if not words:
                continue
            if words[0] == 'box':
                boxes.append(parse_box(parse_fields(words[1:])))
            elif words[0].startswith('queryendsession='):
                answers.append(words[0].split('=', 1)[1])
            elif words[0].startswith('exit='):
                status = int(words[0].split('=', 1)[1])
            elif words[0] == 'timeout' and may_hang:
                status = 'timeout'
            elif words[0].startswith('screen='):
                screen = tuple(int(v) for v in words[0].split('=', 1)[1].split(','))
        events = []
        if self.log.exists():
            for line in self.log.read_text('utf-8', 'replace').splitlines():
                words = line.split()
                if words:
                    events.append(Event(words[0], parse_fields(words[1:])))
        if status is None:
            raise AssertionError(f'the driver saw no end of the process:\n{output}')
        run = Run(boxes, status, screen, answers, events, output)
        for line in output.splitlines():
            words = line.split()
            if words and words[0] == 'faults':
                fields = parse_fields(words[1:])
                run.fault_attached = fields['attached'] == '1'
                run.fault_plan_found = fields['planfound'] == '1'
            elif words and words[0] == 'fault':
                fields = parse_fields(words[1:])
                run.fault_counts[fields['name']] = {k: int(fields[k]) for k in ('installed', 'calls', 'failed')}
        return run


class ProductTest(unittest.TestCase):
    """Gives each test a fresh sandbox, by default with the default stand-in library;
    variant None puts no Tamsel.dll beside the program."""

    def sandbox(self, variant='default', exe_name='Brenhold.exe', app_name='app'):
        box = Sandbox(variant, exe_name, app_name)
        self.addCleanup(box.close)
        return box

    def assertOneMessage(self, run, text):
        """One box of the job: exact caption and text, one OK button, no icon; exit 0."""
        self.assertEqual([(b.caption, b.text) for b in run.boxes], [(CAPTION, text)], run.output)
        self.assertEqual(run.boxes[0].buttons, 'OK')
        self.assertEqual(run.boxes[0].icon, 0)
        self.assertEqual(run.exit, 0)

    def assertEnding(self, run, name, quiet, written=None, other_boxes=(), cause=None, **fields):
        """The run ended as the ending `name` promises (endings.py), in quiet mode or not: the
        program's box or none, the exit status, and, where written (what standard error got)
        is given, the line (the cause's, where the ending's line depends on it) and the event.
        fields fill the texts ({path}, {argument}); other_boxes are the captions of boxes not
        the program's (the library's own)."""
        ending = ENDINGS[name]
        mine = [b for b in run.boxes if b.caption in (CAPTION, REPORT_CAPTION)]
        self.assertEqual([b.caption for b in run.boxes if b not in mine], list(other_boxes), run.output)
        if quiet or ending.box is None:
            self.assertEqual(mine, [], run.output)
        else:
            self.assertEqual(len(mine), 1, run.output)
            self.assertEqual(mine[0].caption, ending.caption)
            self.assertEqual(endings.unfilled(ending.box, **fields), [], f'{name}: fields the test must give')
            self.assertRegex(mine[0].text, endings.pattern(ending.box, **fields))
            # One button, no icon. Wine names the button in the run's language: 'OK' in the
            # C locale, which the tests run in unless they choose another.
            self.assertEqual((mine[0].buttons.count('|'), mine[0].icon), (0, 0))
            if run.locale == 'C.UTF-8':
                self.assertEqual(mine[0].buttons, 'OK')
        self.assertEqual(run.exit, ending.quiet if quiet else ending.visible, run.output)
        if written is None:
            return
        if not quiet or ending.quiet_text_of(cause) is None:
            self.assertEqual(written, b'')
            self.assertEqual(run.reported_events(), [])
            return
        self.assertTrue(written.endswith(b'\r\n'), written)
        text = written[:-2].decode('utf-8')
        self.assertEqual(endings.unfilled(ending.quiet_text_of(cause), **fields), [],
                         f'{name}: fields the test must give')
        self.assertRegex(text, endings.pattern(ending.quiet_text_of(cause), **fields))
        self.assertEqual(run.reported_events(),
                         [(endings.SOURCE, endings.EVENT_TYPES[ending.event], ending.event_id, text)])
        # The event names its file as its second string, where the run got as far as a path.
        if 'path' in fields:
            self.assertEqual(run.reported_event_paths(), [fields['path']])

    def assertPrintedQuietly(self, run):
        """printFile was called, no box was shown, the process ended with 0."""
        self.assertEqual(run.boxes, [], run.output)
        self.assertEqual(run.exit, 0)
        self.assertEqual(len(run.events_of('print')), 1, run.output)


def main():
    unittest.main(verbosity=2)
