#!/usr/bin/env bash
# Builds the command-line fuzz target natively (clang, libFuzzer, ASan, UBSan) and runs it.
#   scripts/fuzz.sh [SECONDS]      default 60; CI runs the default as a smoke run
# New inputs go to build/fuzz/corpus (or $BRENHOLD_BUILD/fuzz/corpus) (the seeds in tests/fuzz/corpus stay untouched).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=${BRENHOLD_BUILD:-build}/fuzz
mkdir -p "$out/corpus"
clang++ -std=c++20 -g -O1 -I. \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  tests/fuzz/CommandLineFuzz.cpp control/CommandLine.cpp -o "$out/commandline_fuzz"
"$out/commandline_fuzz" -max_total_time="$seconds" -timeout=10 -max_len=4096 \
  -print_final_stats=1 "$out/corpus" tests/fuzz/corpus 2>&1 | tee "$out/last-run.log" | grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss|==[0-9]+==|SUMMARY)' || true
test "${PIPESTATUS[0]}" -eq 0
