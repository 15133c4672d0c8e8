#!/usr/bin/env bash
# The checks beyond the three builds: the link's soak run under the address and
# undefined-behaviour sanitizers, and a bounded run of the link's fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
status=0

echo "== native-asan: every native test and the link soak run, under the sanitizers"
cmake --preset native-asan -DTARN_REQUIRE_ALL=ON >/dev/null
cmake --build --preset native-asan -j "$jobs"
ctest --preset native-asan -j "$jobs" || status=1

echo "== fuzz: reply reader and uploads"
cmake --preset fuzz -DTARN_REQUIRE_ALL=ON >/dev/null
cmake --build --preset fuzz -j "$jobs" --target fuzz_link
corpus=build/fuzz/corpus-seeds
python3 tests/fuzz/make_seeds.py "$corpus"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/fuzz/tests/fuzz/fuzz_link -runs=20000 -max_total_time=90 -max_len=24000 \
  -print_final_stats=1 "$work" "$corpus" >"$work.log" 2>&1 || { tail -60 "$work.log"; status=1; }
grep -E '^(Done|stat::number_of_executed_units)' "$work.log" || true
rm -f "$work.log"

if [ $status -eq 0 ]; then echo "test-extra: 2 passed, 0 failed"; else echo "test-extra: failed"; fi
exit $status
