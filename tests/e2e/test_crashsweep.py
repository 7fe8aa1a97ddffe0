"""A crash timed across the whole run: a thread of the library's (the library pinned, so its
code outlives the caller's FreeLibrary) faults at moments swept from printFile's start past the
run's end, while printFile works, while the file is disposed of and while the program shuts
down, with each switch, visible and quiet. Each step the program takes after the print is
slowed by the stand-in, so that the moments land in each. One judgement holds every run,
whatever moment the crash met: a file still there never ends 0 and has the report or its
line; a removed file never ends as 217 or "kept"; at most one box or one line; no hang."""
import collections

import harness
from harness import ProductTest

STEP_MS = 150                        # printFile, and each step of the disposal and shutdown
MOMENTS_MS = range(0, 1000, 100)     # from printFile's start past the run's end
READING_MS = 1000                    # a person reads the report before pressing OK
STAGES = ('printing', 'disposal', 'shutdown')
REPORT = 'Runtime error 217 at '
KEPT = b'was printed, but kept.'


def stage_hit(run):
    """Where the crash came, from the stand-in's log: the last step logged before it."""
    stage = None
    for event in run.events:
        if event.kind == 'print':
            stage = 'printing'
        elif event.kind == 'sweep-step':
            stage = event.fields['at']
        elif event.kind == 'sweep-fault':
            return stage
    return 'after the run'


class CrashSweep(ProductTest):

    def run_at(self, moment, switch, quiet):
        box = self.sandbox()
        box.file('x.txt', b'the input')
        stderr = box.root / 'stderr.txt'
        env = {'TAMSEL_FAULT': 'sweep', 'TAMSEL_SWEEP_AT_MS': str(moment), 'TAMSEL_SWEEP_STEP_MS': str(STEP_MS),
               'TAMSEL_WATCH': '1'}
        run = box.run(f'{"-SILENT " if quiet else ""}{switch} x.txt', env=env, stderr=stderr,
                      read_ms=0 if quiet else READING_MS, timeout_ms=20000)
        return box, run, stderr.read_bytes() if stderr.exists() else b''

    def faults_in(self, box, run, switch, quiet, written):
        """What is wrong with one run's ending, given what became of the file."""
        faults = []
        there = (box.work / 'x.txt').exists()
        if len(run.boxes) > 1:
            faults.append(f'{len(run.boxes)} boxes')
        if written.count(b'\r\n') > 1:
            faults.append('more than one line, or one garbled by a second ending')
        if there:
            reported = (REPORT.encode() in written or KEPT in written) if quiet else \
                any(b.text.startswith(REPORT) for b in run.boxes)
            if run.exit == 0:
                faults.append('a file still there ended 0')
            if not reported:
                faults.append('a file still there without the report or its line')
        else:
            if run.exit == 217:
                faults.append('a removed file ended 217')
            if KEPT in written:
                faults.append('a removed file told as kept')
            if box.trashed() and switch != '-RECYCLE':
                faults.append('recycled without -RECYCLE')
        return faults

    def test_sweep(self):
        met = collections.Counter()
        for switch in ('-DELETE', '-RECYCLE'):
            stages = set()
            for quiet in (False, True):
                for moment in MOMENTS_MS:
                    with self.subTest(switch=switch, quiet=quiet, moment=moment):
                        box, run, written = self.run_at(moment, switch, quiet)
                        stage = stage_hit(run)
                        stages.add(stage)
                        gone = not (box.work / 'x.txt').exists()
                        met[(switch, 'quiet' if quiet else 'visible', stage, run.exit,
                             'removed' if gone else 'kept')] += 1
                        self.assertEqual(self.faults_in(box, run, switch, quiet, written), [],
                                         f'crash in {stage}: {run.output}')
            self.assertEqual([s for s in STAGES if s not in stages], [], f'{switch}: stages never hit')
        print('\nendings met (switch, mode, stage, status, file): runs')
        for ending, count in sorted(met.items(), key=str):
            print(f'  {ending}: {count}')


if __name__ == '__main__':
    harness.main()
