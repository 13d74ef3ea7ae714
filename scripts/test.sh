#!/usr/bin/env bash
# Sets up what is missing, builds every configuration and runs every test:
# unit and end-to-end tests (plain, ASan+UBSan, TSan), the Windows
# cross-build, the fuzzers for a bounded time, and the Windows program
# driven under Wine. Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test

jobs=$(nproc)
step() { printf '\n=== %s ===\n' "$*"; }

step "native build and tests"
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$jobs"
ctest --preset dev -j"$jobs"

for preset in asan tsan; do
  step "$preset build and tests"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  ctest --preset "$preset" -j"$jobs"
done

step "Windows cross-build (MinGW-w64)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j"$jobs"

step "fuzzers (bounded)"
cmake --preset fuzz >/dev/null
fuzzers=$(ls fuzz/*_fuzzer.cpp | xargs -n1 basename | sed 's/\.cpp$//')
# shellcheck disable=SC2086
cmake --build --preset fuzz -j"$jobs" --target $fuzzers
for fuzzer in build/fuzz/fuzz/*_fuzzer; do
  [ -x "$fuzzer" ] || continue
  corpus=$(mktemp -d)
  "$fuzzer" -max_total_time="${FUZZ_SECONDS:-30}" -print_final_stats=0 "$corpus" 2>&1 | tail -n 2
  rm -rf "$corpus"
done

if [ -x tests/wine/run.sh ]; then
  step "Windows program under Wine"
  tests/wine/run.sh
fi

step "all tests passed"
