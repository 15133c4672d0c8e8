#!/usr/bin/env bash
# Runs a 64-bit Windows program under wine64 in a private prefix:
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# The prefix is made on first use (graphics driver "null", so windows work
# headless) and the server is kept up briefly so that later runs start fast.
set -u
prefix=$1
shift

wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

if [ ! -f "$prefix/.tarn-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/.tarn-ready" ]; then
    rm -rf "$prefix"
    "$wine64" wineboot -i >/dev/null 2>&1
    "$wine64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    "$wineserver" -w
    touch "$prefix/.tarn-ready"
  fi
  flock -u 9
fi

"$wineserver" -p 20 >/dev/null 2>&1 || true

# Wine's background processes inherit our output: never hand them a pipe that a
# caller waits on. Collect into files and print afterwards.
out=$(mktemp)
err=$(mktemp)
"$wine64" "$@" >"$out" 2>"$err" </dev/null
rc=$?
cat "$out"
cat "$err" >&2
rm -f "$out" "$err"
exit $rc
