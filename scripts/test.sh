#!/usr/bin/env bash
# Sets up what is missing, builds every preset and runs every test: unit and
# end-to-end tests (plain with coverage, ASan+UBSan, TSan), the release and
# benchmark builds, the Windows cross-build, the fuzzers for a bounded time,
# the Windows programs driven under Wine, and the packages. Ends with the
# core's line coverage and the tests' share of the code.
# Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test

jobs=$(nproc)
# Each step says how far into the run it begins, so a slow step shows.
step() { printf '\n=== %s === (%d s)\n' "$*" "$SECONDS"; }
build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j"$jobs"; }

step "native build and tests (with coverage)"
build dev
find build/dev -name '*.gcda' -delete
ctest --preset dev -j"$jobs"

for preset in asan tsan; do
  step "$preset build and tests"
  build "$preset"
  ctest --preset "$preset" -j"$jobs"
done

step "release and benchmark builds"
build release
# The benchmarks only: the programs are the release build's.
cmake --preset bench >/dev/null && cmake --build --preset bench -j"$jobs" --target benchmarks

step "Windows cross-build (MinGW-w64)"
build win32

step "fuzzers (bounded)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs" --target fuzzers
for fuzzer in build/fuzz/fuzz/*_fuzzer; do
  corpus=$(mktemp -d)
  dict=()
  case "$(basename "$fuzzer")" in parser_fuzzer|transfer_fuzzer) dict=(-dict=fuzz/frames.dict) ;; esac
  "$fuzzer" "${dict[@]}" -max_total_time="${FUZZ_SECONDS:-15}" -print_final_stats=0 "$corpus" 2>&1 | tail -n 2
  rm -rf "$corpus"
done

step "Windows programs under Wine"
tests/wine/run.sh

step "packages"
scripts/package.sh
scripts/check_packages.sh

step "coverage of the core and the tests' share"
lcov --quiet --capture --directory build/dev --output-file build/dev/coverage.info >/dev/null 2>&1
lcov --quiet --extract build/dev/coverage.info "$PWD/src/core/*" --output-file build/dev/core.info >/dev/null 2>&1
lcov --summary build/dev/core.info 2>&1 | grep -E 'lines' | sed 's/^ */core line coverage: /'
# Counted as the team's shared tool counts: tests/, fuzz/ and any other
# test or check file, against src/.
src_re='\.(c|cc|cpp|cxx|h|hh|hpp|inl|py|sh|rc|in)$'
code=$(git ls-files -- src | grep -E "$src_re" | xargs -r cat | wc -l)
tests=$( { git ls-files -- tests fuzz; git ls-files | grep -vE '^(src|tests|fuzz|bench|docs)/' \
  | grep -iE '(^|/|_)(tests?|checks?)(/|_|\.)'; } | sort -u | grep -E "$src_re" | xargs -r cat | wc -l)
share=$((100 * tests / code))
echo "src/ $code lines; tests $tests lines; tests are $share% of the code (at most 35%)"
if [ "$tests" -gt $((35 * code / 100)) ]; then
  echo "the tests are more than 35% of the code: keep them to what buys certainty" >&2
  exit 1
fi

step "all tests passed"
