#!/usr/bin/env bash
# Builds the command-line fuzz target natively (clang, libFuzzer, ASan, UBSan) and runs it.
#   scripts/fuzz.sh [SECONDS]      default 60; CI runs the default as a smoke run
# Everything it writes stays in build/fuzz (or $BRENHOLD_BUILD/fuzz): the target, new inputs
# in corpus/, the log, and any failing input in artifacts/. The seeds in tests/fuzz/corpus
# are only read. Exits non-zero when the fuzzer finds anything.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
# Every switch the parser spells must stand in the command-line half of a seed: the fuzzer
# seldom makes up a switch by itself, so one that its properties do not know would pass.
missing=$(python3 - <<'PY'
import pathlib
import re
switches = re.findall(r'k\w*Switch\[\] = L"(-\w+)"', pathlib.Path('job/CommandLine.cpp').read_text())
lines = []
for seed in pathlib.Path('tests/fuzz/corpus').iterdir():
    units = seed.read_bytes()
    text = units[:len(units) // 2 * 2].decode('utf-16-le', 'replace')
    lines.append(text[:len(text) // 2].split('\0')[0].upper())
print(' '.join(switch for switch in switches if not any(switch in line for line in lines)))
PY
)
if [ -n "$missing" ]; then
  echo "no seed in tests/fuzz/corpus has $missing in its command line (its first half, before any NUL):" \
       "add one, and the switch to the properties in tests/fuzz/CommandLineFuzz.cpp" >&2
  exit 1
fi
out=$(realpath -m "${BRENHOLD_BUILD:-build}/fuzz")
artifacts=$out/artifacts
mkdir -p "$out/corpus"
rm -rf "$artifacts" && mkdir -p "$artifacts"
clang++ -std=c++20 -g -O1 -I. \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  tests/fuzz/CommandLineFuzz.cpp job/CommandLine.cpp -o "$out/commandline_fuzz"
status=0
"$out/commandline_fuzz" -max_total_time="$seconds" -timeout=10 -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" "$out/corpus" tests/fuzz/corpus >"$out/last-run.log" 2>&1 || status=$?
grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss|==[0-9]+==|SUMMARY)' "$out/last-run.log" || true
found=$(find "$artifacts" -type f | sort)
if [ "$status" -ne 0 ] || [ -n "$found" ]; then
  echo "the fuzzer failed (status $status); its log: $out/last-run.log" >&2
  tail -n 40 "$out/last-run.log" >&2
  [ -z "$found" ] || echo "failing inputs: $found" >&2
  exit 1
fi
