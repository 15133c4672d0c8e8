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
  # Every part, or stop: no test may go missing with its packages.
  cmake --preset "$preset" -DTARN_REQUIRE_ALL=ON >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

status=0
passed=0
failed=0
log=$(mktemp)
trap 'rm -f "$log" "${probe_log:-}"' EXIT
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
wine32=/usr/lib/wine/wine
# Runs a hand-made i686 Linux program (ELF header, one program header, then
# "mov eax,1; xor ebx,ebx; int 0x80": exit(0)). In the build tree, not /tmp,
# which may be mounted noexec.
kernel_runs_i686() {
  local elf rc=0
  elf=$(mktemp "$PWD/build/i686-exit.XXXXXX")
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$elf"
  printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' >>"$elf"
  printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' >>"$elf"
  printf '\x00\x00\x00\x00' >>"$elf"
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' >>"$elf"
  printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' >>"$elf"
  printf '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >>"$elf"
  chmod +x "$elf"
  "$elf" >/dev/null 2>&1 || rc=$?
  rm -f "$elf"
  return $rc
}
# Why the probe failed, every reason that applies; $1 is what the probe said.
win32_reasons() {
  local why=""
  if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    why="32-bit Wine is not installed (wine32:i386 missing: tools/install-deps.sh could not install it, see its warning)"
  elif [ ! -x "$wine32" ]; then
    why="32-bit Wine is not installed ($wine32 absent)"
  fi
  kernel_runs_i686 || why="${why:+$why; }this kernel runs no 32-bit programs"
  printf '%s' "${why:-32-bit Wine is installed and this kernel runs 32-bit programs, but the probe still failed ($1)}"
}
skipped=""
win32_filter=()
probe_log=$(mktemp)
probe_rc=0
timeout 120 tools/wine-run.sh "$PWD/build/win32/wineprefix" build/win32/tests/wine_probe.exe \
  >"$probe_log" 2>&1 || probe_rc=$?
if [ $probe_rc -ne 0 ]; then
  if [ $probe_rc -eq 124 ]; then
    said="timed out after 120 s"
  else
    said="exit $probe_rc: $(tr -s '\r\n' '  ' <"$probe_log" | cut -c1-300)"
  fi
  skipped="win32: NOT RUN under 32-bit Wine: $(win32_reasons "$said"); only its export and import tables were checked"
  # Loud now and again in the summary: a skip of the shipped build must not go unseen.
  echo "!! $skipped" >&2
  echo "!! the probe: $said" >&2
  win32_filter=(-L tables)
fi
rm -f "$probe_log"

# Wine's servers for a build's test prefixes (and their device services)
# would outlive this script. On CI the prefixes (about 1.3 GB each) go too,
# so that the two builds' prefixes never fill the disk together.
# A prefix goes only once its server is gone (see wine-run.sh --stop).
stop_prefixes() {
  local prefix
  for prefix in "build/$1"/wineprefix*; do
    [ -d "$prefix" ] || continue
    if ! tools/wine-run.sh "$PWD/$prefix" --stop; then
      echo "!! the server of $prefix did not stop; the prefix is kept" >&2
      continue
    fi
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
  echo "== sanitizers, fuzzing and the main job on bare roots"
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
