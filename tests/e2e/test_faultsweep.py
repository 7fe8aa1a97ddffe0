"""Every Windows call the program makes fails once, on purpose, in the released executable
unchanged (SQLite's fault simulator, Application Verifier's low-resource simulation): the test
driver puts tests/faults/FaultHook.dll first in the program's import table, and the hook fails
the N-th call of one function with its documented failure value and a chosen last error,
once, or for allocation and file calls also from that call on. One clean run per scenario
counts the calls; then every call of every covered function fails in turn. Every faulted run
must end, and end well: within the time limit, without a box where nobody can see one, with a
status of the outcome table that tells the truth, the input file removed only after a
confirmed print and only with the tested bytes in it, never changed, and a runtime-error
report only at the program's own raise sites."""
import dataclasses
import os
import time

import pefile

import endings
import harness
from harness import PRODUCT, ProductTest, direct_calls_of

# Imports that need no hook: none of them can fail in a way the program could see.
CANNOT_FAIL = {
    'GetLastError': 'reads the thread\'s last error; has no failure',
    'SetLastError': 'sets the thread\'s last error; returns nothing',
    'GetCommandLineW': 'answers the process\'s command line, which exists from its start; no failure documented',
    'GetCurrentProcessId': 'answers the process ID; no failure documented',
    'GetCurrentThreadId': 'answers the thread ID; no failure documented',
    'GetCurrentProcess': 'answers the process\'s pseudo handle; no failure documented',
    'SetUnhandledExceptionFilter': 'answers the filter it replaced; no failure documented',
    'Sleep': 'returns nothing',
    'RtlPcToFileHeader': 'answers the image an address lies in, or none: an answer, not a failure',
    'RtlLookupFunctionEntry': 'answers a function\'s unwind data, or none for a leaf function: an answer, not a failure',
    'RtlVirtualUnwind': 'steps one frame outward with the unwind data given; no failure documented',
    'GetProcessHeap': 'answers the default heap, which exists for the life of the process',
    'GetACP': 'answers the ANSI code page; no failure documented',
    'GetErrorMode': 'answers the process\'s error mode; no failure documented',
    'SetErrorMode': 'returns the previous mode; no failure documented',
    'ExitProcess': 'does not return',
    'RaiseException': 'raises the program\'s own non-continuable errors; does not return',
    '__C_specific_handler': 'the compiler\'s exception-handling routine, called by Windows while it unwinds, never by the program',
    'DefWindowProcW': 'the default processing of a message: its result is the answer to the message, not a failure',
    'CharLowerW': 'converts a buffer in place; no failure value for a buffer',
    'OleUninitialize': 'returns nothing',
    'memcpy': 'C runtime memory routine; no failure',
    'memmove': 'C runtime memory routine; no failure',
    'memset': 'C runtime memory routine; no failure',
    'wcslen': 'C runtime string routine; no failure',
}

ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY = 2, 5, 6, 8
ERROR_SHARING_VIOLATION, ERROR_NOT_SUPPORTED, ERROR_INVALID_PARAMETER = 32, 50, 87
ERROR_INSUFFICIENT_BUFFER, ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND = 122, 126, 127
ERROR_NO_DATA, ERROR_NO_UNICODE_TRANSLATION = 232, 1113
ERROR_INVALID_WINDOW_HANDLE, ERROR_CLASS_DOES_NOT_EXIST = 1400, 1411


@dataclasses.dataclass
class Covered:
    errors: tuple                 # the last errors to fail it with; 0 where it sets none
    persistent: bool = False      # also fail every call from the N-th on
    ignored: str = ''             # why a failure may rightly pass unseen


# Each covered function, with what Windows documents for its failure. The hook returns the
# documented failure value; SHFileOperationW answers the error itself.
COVERED = {
    'HeapAlloc': Covered((0,), persistent=True),  # NULL; sets no last error
    'HeapFree': Covered((ERROR_INVALID_PARAMETER,), ignored='a block not given back costs nothing in a process about to end'),
    'CreateFileW': Covered((ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION), persistent=True),
    'GetFileAttributesW': Covered((ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION), persistent=True),
    'FindFirstFileW': Covered((ERROR_ACCESS_DENIED,), persistent=True),
    'FindClose': Covered((ERROR_INVALID_HANDLE,), ignored='a clean-up; nothing is left to do about it'),
    'CloseHandle': Covered((ERROR_INVALID_HANDLE,), ignored='a clean-up; nothing is left to do about it'),
    'GetFileInformationByHandle': Covered((ERROR_ACCESS_DENIED,), persistent=True),
    # The 128-bit ID or the reparse tag unread: each identity keeps its 64-bit index, which
    # then decides; a plain file needs no tag.
    'GetFileInformationByHandleEx': Covered((ERROR_NOT_SUPPORTED,), persistent=True,
                                            ignored='the 64-bit indexes decide; the file still goes'),
    # 87 on the first call is the Ex disposition class refused as unsupported: the older class
    # must still delete the file.
    'SetFileInformationByHandle': Covered((ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_INVALID_PARAMETER),
                                          persistent=True),
    'DeleteFileW': Covered((ERROR_ACCESS_DENIED,), persistent=True),
    'RemoveDirectoryW': Covered((ERROR_ACCESS_DENIED,), persistent=True),
    'GetFullPathNameW': Covered((ERROR_NOT_ENOUGH_MEMORY,), persistent=True),
    'GetShortPathNameW': Covered((ERROR_FILE_NOT_FOUND,), persistent=True),
    'WriteFile': Covered((ERROR_NO_DATA,), persistent=True,
                         ignored='the line on standard error is lost; the event and the status still say it'),
    'GetStdHandle': Covered((ERROR_INVALID_HANDLE,),
                            ignored='no standard error: the event and the status still say it'),
    'LoadLibraryW': Covered((ERROR_MOD_NOT_FOUND, ERROR_NOT_ENOUGH_MEMORY)),
    'GetProcAddress': Covered((ERROR_PROC_NOT_FOUND,)),
    'FreeLibrary': Covered((ERROR_INVALID_PARAMETER,), ignored='a clean-up; the library stays loaded until the end'),
    # From a call on: no conversion at all, and the library must not be called.
    'WideCharToMultiByte': Covered((ERROR_NO_UNICODE_TRANSLATION, ERROR_INSUFFICIENT_BUFFER), persistent=True),
    # NULL, with no last error documented.
    # Read only while a fault during the call is judged, which no scenario has; where it fails,
    # the handler counts as the system's and the fault as a crash (the file kept).
    # Refused by versions that do not know UOI_TIMERPROC_EXCEPTION_SUPPRESSION (and by Wine):
    # Windows then swallows a fault in a timer callback as it always did.
    'SetUserObjectInformationW': Covered((ERROR_INVALID_PARAMETER,), ignored='the timer callbacks keep the system\'s default'),
    'GetSystemWindowsDirectoryW': Covered((ERROR_INSUFFICIENT_BUFFER,), ignored='called only after a fault, which no scenario has'),
    # Called only for the ending of a crash that no frame handler saw, which no scenario here
    # has. A thread for the ending that cannot be made: the faulting thread ends the run itself
    # with the status and quiet mode's line; the stack left unread: the ending is handed to a
    # thread of its own; TerminateProcess refused: the process ends the ordinary way.
    'CreateThread': Covered((ERROR_NOT_ENOUGH_MEMORY,), ignored='called only after a crash, which no scenario has'),
    'WaitForSingleObject': Covered((ERROR_INVALID_HANDLE,), ignored='called only after a crash, which no scenario has'),
    'VirtualQuery': Covered((ERROR_INVALID_PARAMETER,), ignored='called only after a crash, which no scenario has'),
    'TerminateProcess': Covered((ERROR_ACCESS_DENIED,), ignored='called only after a crash, which no scenario has'),
    # Refused where the stack is too small for it: an overflow of the printing thread is then
    # handed to a thread of its own, as one of the library's threads.
    'SetThreadStackGuarantee': Covered((ERROR_INVALID_PARAMETER,), ignored='an overflow is then handed over'),
    'AddVectoredExceptionHandler': Covered((0,), ignored='a fault the system swallows inside the library then goes '
                                                         'unnoticed; the frame handler and the filter still act'),
    'RemoveVectoredExceptionHandler': Covered((0,), ignored='the watch stays, noting faults nobody reads any more'),
    'SetThreadLocale': Covered((ERROR_INVALID_PARAMETER,), ignored='the library then runs in the thread\'s own locale'),
    'OleInitialize': Covered((0,), ignored='E_OUTOFMEMORY: the job runs on, OLE is not released'),
    # The class of IGlobalOptions not made: COM keeps its default, as Wine's does anyway.
    'CoCreateInstance': Covered((0,), ignored='E_OUTOFMEMORY: COM keeps answering a fatal exception in a server '
                                              'the library hosts with RPC_E_SERVERFAULT'),
    'GetModuleFileNameW': Covered((ERROR_INSUFFICIENT_BUFFER,), ignored='the hidden window gets an empty title'),
    'GetClassInfoW': Covered((ERROR_CLASS_DOES_NOT_EXIST,), ignored='the normal answer: the class is registered then'),
    'RegisterClassW': Covered((ERROR_NOT_ENOUGH_MEMORY,)),
    'CreateWindowExW': Covered((ERROR_NOT_ENOUGH_MEMORY,), ignored='the boxes then have no owner'),
    'DestroyWindow': Covered((ERROR_INVALID_WINDOW_HANDLE,), ignored='a clean-up at the end of the process'),
    'GetSystemMetrics': Covered((0,), ignored='0 is a size like any other: the hidden window sits at 0,0'),
    'GetActiveWindow': Covered((0,), ignored='no active window is a normal answer'),
    'GetLastActivePopup': Covered((0,), ignored='the box then has no owner'),
    'MessageBoxW': Covered((ERROR_NOT_ENOUGH_MEMORY,),
                           ignored='a box that cannot be shown ends the job as if closed; no other dialog is tried'),
    'MessageBoxA': Covered((ERROR_NOT_ENOUGH_MEMORY,), ignored='the report cannot be shown; the status is still 217'),
    'GetProcessWindowStation': Covered((ERROR_ACCESS_DENIED,)),
    'GetUserObjectInformationW': Covered((ERROR_ACCESS_DENIED,)),
    'ProcessIdToSessionId': Covered((ERROR_ACCESS_DENIED,)),
    'RegisterEventSourceW': Covered((ERROR_ACCESS_DENIED,), ignored='no event: the line and the status still say it'),
    'ReportEventW': Covered((ERROR_INVALID_PARAMETER,), ignored='no event: the line and the status still say it'),
    'DeregisterEventSource': Covered((ERROR_INVALID_HANDLE,), ignored='a clean-up'),
    'SHFileOperationW': Covered((ERROR_ACCESS_DENIED,)),
}

REPORT = endings.pattern(endings.REPORT_TEXT, whole=False)
CONTENT = b'the tested bytes\r\n'


@dataclasses.dataclass
class Scenario:
    name: str
    arguments: str
    quiet: bool = False
    hidden_station: bool = False
    variant: str = 'default'
    env: dict = dataclasses.field(default_factory=dict)

    @property
    def recycles(self):
        return '-RECYCLE' in self.arguments and '-DELETE' not in self.arguments


SCENARIOS = [
    Scenario('-DELETE, shown', '-DELETE x.txt'),
    Scenario('-RECYCLE, shown', '-RECYCLE x.txt'),
    Scenario('-DELETE, invisible station', '-DELETE x.txt', quiet=True, hidden_station=True),
    Scenario('-RECYCLE, -SILENT', '-SILENT -RECYCLE x.txt', quiet=True),
    Scenario('print failure, -SILENT', '-SILENT -DELETE x.txt', quiet=True, env={'TAMSEL_RESULT': '0x80004005'}),
    Scenario('print failure, shown', '-RECYCLE x.txt', env={'TAMSEL_RESULT': '0x80004005'}),
    Scenario('library missing, shown', '-DELETE x.txt', variant=None),
]


@dataclasses.dataclass
class Ending:
    """What a faulted run came to, for the sweep's table."""
    status: object
    file: str  # present, gone, trashed


class FaultSweep(ProductTest):

    @classmethod
    def setUpClass(cls):
        cls.raise_sites = direct_calls_of('raiseInternalError') | direct_calls_of('checkPrintResult')

    def run_scenario(self, scenario, plan=None):
        box = self.sandbox(scenario.variant)
        box.file('x.txt', CONTENT)
        stderr = box.root / 'stderr.txt'
        env = dict(scenario.env, TAMSEL_WATCH='1')
        if plan:
            env['BRENHOLD_FAULT'] = plan
        run = box.run(scenario.arguments, env=env, hidden_station=scenario.hidden_station, stderr=stderr,
                      timeout_ms=15000, may_hang=True, inject=True)
        return box, run, stderr.read_bytes() if stderr.exists() else b''

    def file_after(self, box):
        path = box.work / 'x.txt'
        if path.exists():
            self.assertEqual(path.read_bytes(), CONTENT, 'the input file changed')
            return 'present'
        trashed = box.trash / 'Trash' / 'files' / 'x.txt'
        if trashed.exists():
            self.assertEqual(trashed.read_bytes(), CONTENT, 'the recycled file changed')
            return 'trashed'
        return 'gone'

    def printed(self, run):
        """The library was handed the tested file and answered success."""
        prints, returns = run.events_of('print'), run.events_of('return')
        handed = [bytes.fromhex(p.fields['bytes']) for p in prints]
        return handed == [b'x.txt'] and len(returns) == 1 and int(returns[0].fields['result'], 16) < 0x80000000

    def assertEndedWell(self, scenario, run, box, written, fault=None):
        self.assertNotEqual(run.exit, 'timeout', 'the run hung')
        statuses = endings.quiet_statuses() if scenario.quiet else endings.visible_statuses()
        self.assertIn(run.exit, statuses)
        if scenario.quiet:
            self.assertEqual(run.boxes, [], 'a box where nobody can answer it')
        for shown in run.boxes:
            # One of the program's own boxes, for the input x.txt (no argument is refused here).
            self.assertTrue(endings.endings_of_box(shown.caption, shown.text, path='x.txt'), shown)
        file = self.file_after(box)
        printed = self.printed(run)
        # Removed only after a confirmed print, and only what held the tested bytes.
        if file != 'present':
            self.assertTrue(printed, 'the input file went without a successful print')
        for removal in run.events:
            if removal.kind in ('delete', 'recycle') and removal.fields.get('ok') == '1':
                self.assertEqual(removal.fields['content'], CONTENT.hex(), 'removed what was not tested')
        asked = 'trashed' if scenario.recycles else 'gone'
        if scenario.quiet and run.exit == 0:
            self.assertTrue(printed and file == asked, f'status 0, but the file is {file}')
        if scenario.quiet and printed and file == 'present':
            self.assertEqual(run.exit, 80, 'printed, the file is still there, and the status hides it')
        if scenario.quiet and run.exit == 217:
            self.assertFalse(printed, '217 tells a quiet caller "not printed", yet the library printed')
        # A box that Windows cannot show ends the job as if it had been closed (see COVERED).
        if not scenario.quiet and run.exit == 0 and not run.boxes and fault != 'MessageBoxW':
            self.assertTrue(printed, 'status 0 with nothing shown and nothing printed')
        if run.exit == 217:
            reports = [b.text for b in run.boxes] + written.decode('utf-8', 'replace').splitlines()
            addresses = {int(m.group('address'), 16) for text in reports for m in [REPORT.search(text)] if m}
            self.assertLessEqual(addresses, self.raise_sites, 'a report for a fault outside the raise sites')
        return Ending(run.exit, file)

    def assertIdentityAndDeletionFaultsStillDelete(self, endings):
        # An unread 128-bit ID (or reparse tag) leaves the 64-bit indexes to decide, and the
        # Ex disposition class refused as unsupported leaves the older class to delete: the
        # printed file must go in every such run, not be kept for want of an answer.
        scenario = '-DELETE, invisible station'
        unread = {plan: ending for (name, plan), ending in endings.items()
                  if name == scenario and plan.startswith('GetFileInformationByHandleEx:')}
        self.assertTrue(unread)
        self.assertEqual(set(unread.values()), {(0, 'gone')}, unread)
        self.assertEqual(endings[(scenario, f'SetFileInformationByHandle:1:once:{ERROR_INVALID_PARAMETER}')],
                         (0, 'gone'))

    def test_every_import_is_covered_or_cannot_fail(self):
        image = pefile.PE(str(PRODUCT))
        imports = {i.name.decode() for d in image.DIRECTORY_ENTRY_IMPORT for i in d.imports}
        box, run, _ = self.run_scenario(SCENARIOS[0])
        self.assertTrue(run.fault_attached, run.output)
        hooked = {name for name, counts in run.fault_counts.items() if counts['installed']}
        self.assertEqual(imports - hooked - set(CANNOT_FAIL), set(),
                         'imports neither covered nor known not to fail: a COVER line in tests/faults/FaultHook.cpp '
                         'and a row in COVERED here, or a line in CANNOT_FAIL here')
        self.assertEqual(hooked, set(COVERED), 'the hook (COVER lines in tests/faults/FaultHook.cpp) and COVERED in '
                                               'tests/e2e/test_faultsweep.py must cover the same functions')
        self.assertEqual(set(CANNOT_FAIL) - imports, set(),
                         'no longer imported: drop from CANNOT_FAIL in tests/e2e/test_faultsweep.py')

    def test_sweep(self):
        # BRENHOLD_SWEEP=HeapAlloc,CreateFileW sweeps only those (for a quick look by hand).
        only = set(filter(None, os.environ.get('BRENHOLD_SWEEP', '').split(',')))
        table, endings, runs, started = {}, {}, 0, time.monotonic()
        for scenario in SCENARIOS:
            box, clean, written = self.run_scenario(scenario)
            self.assertEndedWell(scenario, clean, box, written)
            calls = {name: counts['calls'] for name, counts in clean.fault_counts.items()}
            for name, covered in COVERED.items():
                if only and name not in only:
                    continue
                for call in range(1, calls.get(name, 0) + 1):
                    modes = ['once', 'persist'] if covered.persistent and call < calls[name] else ['once']
                    for mode in modes:
                        for error in covered.errors:
                            plan = f'{name}:{call}:{mode}:{error}'
                            with self.subTest(scenario.name, plan=plan):
                                box, run, written = self.run_scenario(scenario, plan)
                                runs += 1
                                self.assertTrue(run.fault_plan_found, plan)
                                self.assertGreaterEqual(run.fault_counts[name]['failed'], 1, 'the fault never fired')
                                ending = self.assertEndedWell(scenario, run, box, written, name)
                                table.setdefault((name, scenario.name), []).append(f'{ending.status}/{ending.file}')
                                endings[(scenario.name, plan)] = (ending.status, ending.file)
        if not only or {'GetFileInformationByHandleEx', 'SetFileInformationByHandle'} <= only:
            self.assertIdentityAndDeletionFaultsStillDelete(endings)
        print(f'\n{runs} faulted runs in {time.monotonic() - started:.0f} s')
        for (name, scenario), endings in sorted(table.items()):
            summary = ', '.join(f'{e}×{endings.count(e)}' for e in sorted(set(endings), key=str))
            print(f'{name:30} {scenario:28} {len(endings):3} runs: {summary}')


if __name__ == '__main__':
    harness.main()
