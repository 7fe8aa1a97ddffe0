#!/usr/bin/env python3
"""Benchmark of a whole run: the product's happy path against the floor (the bare platform
calls of a run), and the floor against an empty program, in paired alternating runs under
one Wine prefix. Prints wall-time ratios (median and spread), peak resident memory, sizes
and the product's imports. Not a test: it reports, it does not judge."""
import argparse
import os
import pathlib
import platform
import shutil
import statistics
import subprocess
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = ROOT / 'build'
PROGRAMS = {
    'product': BUILD / 'bin' / 'Brenhold.exe',
    'floor': BUILD / 'bench' / 'Floor.exe',
    'empty': BUILD / 'bench' / 'Empty.exe',
}


def winpath(path):
    return 'Z:' + str(path).replace('/', '\\')


class Bench:
    def __init__(self, folder):
        self.folder = folder
        self.work = folder / 'work'
        self.work.mkdir()
        for name, program in PROGRAMS.items():
            shutil.copy(program, folder / f'{name}.exe')
        shutil.copy(BUILD / 'testbin' / 'tamsel' / 'default' / 'Tamsel.dll', folder / 'Tamsel.dll')
        self.environment = dict(os.environ, WINEPREFIX=str(BUILD / 'wineprefix'), WINEDEBUG='-all',
                                XDG_DATA_HOME=str(folder / 'trash'), TAMSEL_RESULT='0')
        self.environment.pop('TAMSEL_LOG', None)

    def run(self, name):
        """One run: wall seconds and peak resident memory in KiB."""
        sample = self.work / 'sample.txt'
        sample.write_bytes(b'benchmark page\n')
        arguments = {'product': ['-RECYCLE', 'sample.txt'], 'floor': ['sample.txt'], 'empty': []}[name]
        start = time.perf_counter()
        child = subprocess.Popen(['wine', str(self.folder / f'{name}.exe'), *arguments], cwd=self.work,
                                 env=self.environment, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        elapsed = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode != 0:
            raise SystemExit(f'{name} ended with {child.returncode}')
        if name != 'empty' and sample.exists():
            raise SystemExit(f'{name} did not recycle the sample')
        return elapsed, usage.ru_maxrss

    def pairs(self, first, second, count):
        ratios, memory = [], {first: [], second: []}
        for index in range(count + 3):
            a_time, a_memory = self.run(first)
            b_time, b_memory = self.run(second)
            if index < 3:
                continue  # warm-up
            ratios.append(a_time / b_time)
            memory[first].append(a_memory)
            memory[second].append(b_memory)
        return ratios, memory


def spread(values):
    quartiles = statistics.quantiles(values, n=4)
    return f'median {statistics.median(values):.3f}, quartiles {quartiles[0]:.3f}-{quartiles[2]:.3f}, ' \
           f'range {min(values):.3f}-{max(values):.3f}'


def imports(program):
    dump = subprocess.run(['x86_64-w64-mingw32-objdump', '-p', str(program)], capture_output=True, text=True).stdout
    return sorted(line.split(':', 1)[1].strip() for line in dump.splitlines() if 'DLL Name:' in line)


def machine():
    """What the figures were taken on: they mean little on another machine."""
    memory = next(line.split()[1] for line in open('/proc/meminfo') if line.startswith('MemTotal:'))
    system = platform.freedesktop_os_release().get('PRETTY_NAME', platform.system())
    return f'{system}, {platform.machine()}, {os.cpu_count()} cores, {int(memory) // 1024 // 1024} GiB'


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--pairs', type=int, default=30)
    options = parser.parse_args()
    # One wineserver for all runs, so that each run pays for the program, not the server.
    server = subprocess.Popen(['wineserver', '-p60'], env=dict(os.environ, WINEPREFIX=str(BUILD / 'wineprefix')))
    with tempfile.TemporaryDirectory(prefix='brenhold-bench-') as folder:
        bench = Bench(pathlib.Path(folder))
        print(f'{time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}, {machine()}')
        print(f'{options.pairs} pairs after 3 warm-up pairs, Wine {subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()}')
        peaks = {}
        for first, second in (('product', 'floor'), ('floor', 'empty')):
            ratios, memory = bench.pairs(first, second, options.pairs)
            print(f'wall time {first}/{second}: {spread(ratios)}')
            for name, values in memory.items():
                peaks.setdefault(name, []).extend(values)
        for name, values in peaks.items():
            print(f'peak resident memory {name}: median {statistics.median(values) / 1024:.2f} MiB, '
                  f'max {max(values) / 1024:.2f} MiB')
        delta = statistics.median(peaks['product']) - statistics.median(peaks['floor'])
        print(f'peak memory product - floor: {delta / 1024:+.2f} MiB (median)')
    for name, program in PROGRAMS.items():
        print(f'size {name}: {program.stat().st_size} bytes')
    print('product imports: ' + ', '.join(imports(PROGRAMS['product'])))
    server.terminate()


if __name__ == '__main__':
    main()
