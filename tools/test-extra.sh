#!/usr/bin/env bash
# The checks beyond the three builds: the link's soak run under the address and
# undefined-behaviour sanitizers, a bounded run of the link's fuzzer, and the
# main job on freshly bootstrapped Debian roots.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
passed=0
failed=0
result() { if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi; }

echo "== native-asan: every native test and the link soak run, under the sanitizers"
cmake --preset native-asan -DTARN_REQUIRE_ALL=ON >/dev/null
cmake --build --preset native-asan -j "$jobs"
rc=0
ctest --preset native-asan -j "$jobs" || rc=1
result $rc

echo "== fuzz: reply reader and uploads"
cmake --preset fuzz -DTARN_REQUIRE_ALL=ON >/dev/null
cmake --build --preset fuzz -j "$jobs" --target fuzz_link
corpus=build/fuzz/corpus-seeds
python3 tests/fuzz/make_seeds.py "$corpus"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rc=0
build/fuzz/tests/fuzz/fuzz_link -runs=20000 -max_total_time=90 -max_len=24000 \
  -print_final_stats=1 "$work" "$corpus" >"$work.log" 2>&1 || { tail -60 "$work.log"; rc=1; }
grep -E '^(Done|stat::number_of_executed_units)' "$work.log" || true
rm -f "$work.log"
result $rc

# This machine keeps every package earlier work installed: a step the main job
# forgets to install shows only on a root that has none of them.
echo "== the README's main job on bare Debian 12 roots"
rc=0
bash tests/tools/bare_root.sh || rc=1
result $rc

echo "test-extra: $passed passed, $failed failed"
[ $failed -eq 0 ]
