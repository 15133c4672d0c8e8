#!/usr/bin/env bash
# Runs a Windows program under Wine in a private prefix:
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# 64-bit programs run under wine64, 32-bit ones under 32-bit Wine (read from
# the program's PE header). The prefix is made on first use (graphics driver
# "null", so windows work headless; no other camera's TWAIN source) and the
# server is kept up briefly so that later runs start fast.
set -u
prefix=$1
shift

wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wine32=/usr/lib/wine/wine
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
# A test may ask for its own DLLs before Wine's (TARN_DLLOVERRIDES, e.g. "twain_32=n").
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="${TARN_DLLOVERRIDES:+$TARN_DLLOVERRIDES;}mscoree,mshtml="

# The PE machine field: 014c for i386, 8664 for x86-64.
pe_machine() {
  local offset
  offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$offset" ] || return 1
  od -An -tx2 -j$((offset + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}

if [ ! -f "$prefix/.tarn-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/.tarn-ready" ]; then
    rm -rf "$prefix"
    "$wine64" wineboot -i >/dev/null 2>&1
    "$wine64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    "$wineserver" -w
    # Wine's bridge to a general camera library: no other camera code runs here.
    rm -f "$prefix/drive_c/windows/twain_64/gphoto2.ds" "$prefix/drive_c/windows/twain_32/gphoto2.ds"
    touch "$prefix/.tarn-ready"
  fi
  flock -u 9
fi

"$wineserver" -p 20 >/dev/null 2>&1 || true

wine=$wine64
[ "$(pe_machine "$1")" = 014c ] && wine=$wine32

# Wine's background processes inherit our output: never hand them a pipe that a
# caller waits on. Collect into files and print afterwards.
out=$(mktemp)
err=$(mktemp)
"$wine" "$@" >"$out" 2>"$err" </dev/null
rc=$?
cat "$out"
cat "$err" >&2
rm -f "$out" "$err"
exit $rc
