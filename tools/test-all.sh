#!/usr/bin/env bash
# Every test: installs what is missing, builds the three builds and runs
# their tests (native directly, win64 under wine64, win32 under 32-bit Wine
# where this machine runs 32-bit code, and by its export tables everywhere).
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

# A machine whose kernel or Wine runs no 32-bit code still checks the tables.
skipped=""
win32_filter=()
if ! timeout 120 tools/wine-run.sh "$PWD/build/win32/wineprefix" build/win32/tests/wine_probe.exe \
  >/dev/null 2>&1; then
  skipped="win32: NOT RUN under 32-bit Wine: this machine runs no 32-bit Windows program (probe failed); only its export and import tables were checked"
  win32_filter=(-L tables)
fi

# Wine's servers for a build's test prefixes (and their device services)
# would outlive this script. On CI the prefixes (about 1.3 GB each) go too,
# so that the two builds' prefixes never fill the disk together.
stop_prefixes() {
  local prefix
  for prefix in "build/$1"/wineprefix*; do
    [ -d "$prefix" ] || continue
    WINEPREFIX="$PWD/$prefix" "$(command -v wineserver || echo /usr/lib/wine/wineserver)" -k \
      >/dev/null 2>&1 || true
    if [ "${CI:-}" = true ]; then rm -rf "$prefix"; fi
  done
}

for preset in native win64 win32; do
  echo "== test $preset"
  filter=()
  [ "$preset" = win32 ] && filter=("${win32_filter[@]}")
  ctest --preset "$preset" -j "$jobs" "${filter[@]}" 2>&1 | tee "$log" || status=1
  count
  [ "$preset" = native ] || stop_prefixes "$preset"
done

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
[ -z "$skipped" ] || echo "!! $skipped"
echo "all: $passed passed, $failed failed"
exit $status
