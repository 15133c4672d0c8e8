#!/usr/bin/env bash
# Every test: installs what is missing, builds the three builds and runs
# their tests (native directly, win64 under wine64, win32 by its export table).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
jobs=$(nproc)

for preset in native win64 win32; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

status=0
passed=0
failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Adds up ctest's "N% tests passed, F tests failed out of T" lines.
count() {
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  local f t
  f=$(printf '%s\n' "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
  t=$(printf '%s\n' "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
  if [ -n "$line" ]; then
    passed=$((passed + t - f))
    failed=$((failed + f))
  else
    failed=$((failed + 1))
  fi
}

for preset in native win64 win32; do
  echo "== test $preset"
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log" || status=1
  count
done
# Wine's server for the test prefix would outlive this script.
WINEPREFIX="$PWD/build/win64/wineprefix" "$(command -v wineserver || echo /usr/lib/wine/wineserver)" -k 2>/dev/null || true

if [ -f tools/test-extra.sh ]; then
  echo "== sanitizers and fuzzing"
  bash tools/test-extra.sh 2>&1 | tee "$log" || status=1
  extra=$(sed -n 's/^test-extra: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$log")
  if [ -n "$extra" ]; then
    passed=$((passed + ${extra% *}))
    failed=$((failed + ${extra#* }))
  else
    failed=$((failed + 1))
  fi
fi

[ $failed -eq 0 ] || status=1
echo "all: $passed passed, $failed failed"
exit $status
