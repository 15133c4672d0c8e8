#!/usr/bin/env bash
# Runs a Windows program under Wine in a private prefix:
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
#   wine-run.sh PREFIX --stop      ends the prefix's processes and its server
# 64-bit programs run under wine64, 32-bit ones under 32-bit Wine (read from
# the program's PE header). The prefix is made on first use (graphics driver
# "null", so windows work headless; no other camera's TWAIN source) and the
# server is kept up briefly so that later runs start fast.
# TARN_PREFIX_FONTS=DIR puts every font file under DIR (e.g. an unpacked Debian
# font package in build/fonts) into the new prefix's C:\windows\Fonts: dialog
# units follow the fonts Wine finds, so the dialog is tested with each set.
# TARN_WINE_LIMIT=SECONDS bounds the test's Wine programs together (the first
# wrapper to see it sets TARN_WINE_DEADLINE for the rest): at the deadline the
# program is stopped with a line naming it, before ctest's own limit kills the
# test without a word.
# Every step that waits says so on stderr and is bounded; the program's output
# is passed on as it comes, so a run that hangs shows how far it got.
set -u
prefix=$1
shift

wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wine32=/usr/lib/wine/wine
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
# A test may ask for its own DLLs before Wine's (TARN_DLLOVERRIDES, e.g. "twain_32=n").
export WINEPREFIX=$prefix WINEDEBUG=${TARN_WINEDEBUG:--all} WINEDLLOVERRIDES="${TARN_DLLOVERRIDES:+$TARN_DLLOVERRIDES;}mscoree,mshtml="
[ -z "${TARN_WINE_LIMIT:-}" ] \
  || export TARN_WINE_DEADLINE=${TARN_WINE_DEADLINE:-$(($(date +%s) + TARN_WINE_LIMIT))}

say() { echo "wine-run: $*" >&2; }
# A step that may not take longer than LIMIT seconds: "bounded LIMIT WHAT COMMAND...".
bounded() {
  local limit=$1 what=$2 rc=0
  shift 2
  timeout -k 5 "$limit" "$@" || rc=$?
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then say "$what: not done within $limit s"; fi
  return $rc
}
# Waits until the server is gone: a prefix's port settings take effect at the
# next start, and a removed prefix's inode may be reused by a new folder, whose
# programs would reach a server still up.
stop_server() {
  "$wineserver" -k >/dev/null 2>&1
  bounded 60 "the server of $prefix stopping" "$wineserver" -w
}
if [ "${1:-}" = --stop ]; then
  stop_server
  exit
fi

fonts=${TARN_PREFIX_FONTS:-}
font_files() {
  find "$fonts" -type f \( -iname '*.ttf' -o -iname '*.ttc' -o -iname '*.otf' -o -iname '*.fon' \) "$@"
}
if [ -n "$fonts" ] && [ -z "$(font_files -print -quit 2>/dev/null)" ]; then
  say "no font files under $fonts (run tools/install-deps.sh)"
  exit 1
fi
# A prefix made with other fonts (or none) would test the wrong configuration.
if [ -n "$fonts" ] && [ -f "$prefix/.tarn-ready" ]; then
  made=$(cat "$prefix/.tarn-fonts" 2>/dev/null)
  if [ "$made" != "$fonts" ]; then
    say "$prefix was made with ${made:-no added fonts}, not $fonts; remove it to have it made again"
    exit 1
  fi
fi

# The PE machine field: 014c for i386, 8664 for x86-64.
pe_machine() {
  local offset
  offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$offset" ] || return 1
  od -An -tx2 -j$((offset + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}

make_prefix() {
  local start=$SECONDS
  say "making the prefix $prefix${fonts:+ with the fonts of $fonts}"
  # What an interrupted run left goes with its server first.
  if [ -d "$prefix" ]; then stop_server || return 1; fi
  rm -rf "$prefix"
  bounded 240 "wineboot -i (making $prefix)" "$wine64" wineboot -i >/dev/null 2>&1 || return 1
  bounded 60 "setting the null graphics driver" "$wine64" reg add 'HKCU\Software\Wine\Drivers' \
    /v Graphics /d null /f >/dev/null 2>&1 || return 1
  bounded 60 "the server of $prefix stopping after wineboot" "$wineserver" -w || return 1
  # Wine's bridges to a general camera library and to SANE's backends: no other
  # camera or scanner code runs here.
  rm -f "$prefix"/drive_c/windows/twain_{32,64}/{gphoto2,sane}.ds
  # Wine scans this folder at each process start; the next run picks them up.
  if [ -n "$fonts" ]; then
    font_files -exec cp -f -t "$prefix/drive_c/windows/Fonts" {} + || return 1
  fi
  printf '%s' "$fonts" >"$prefix/.tarn-fonts"
  touch "$prefix/.tarn-ready"
  say "prefix made in $((SECONDS - start)) s"
}

if [ ! -f "$prefix/.tarn-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  if ! flock -n 9; then
    say "waiting for another run to make $prefix"
    flock -w 300 9 || { say "$prefix.lock: still held after 300 s"; exit 1; }
  fi
  if [ ! -f "$prefix/.tarn-ready" ]; then
    make_prefix || { say "could not make the prefix $prefix"; exit 1; }
  fi
  flock -u 9
  exec 9>&-
fi

# -p20, not -p 20: a bare -p keeps the server up for good.
bounded 30 "starting the server of $prefix" "$wineserver" -p20 >/dev/null 2>&1

wine=$wine64
[ "$(pe_machine "$1")" = 014c ] && wine=$wine32

limit=()
if [ -n "${TARN_WINE_DEADLINE:-}" ]; then
  left=$((TARN_WINE_DEADLINE - $(date +%s)))
  [ $left -gt 0 ] || { say "the test's time ran out before $1 could start"; exit 124; }
  limit=(timeout -k 5 "$left")
fi

# Wine's background processes inherit our output: never hand them a pipe that a
# caller waits on. The output goes to files, passed on as it comes.
out=$(mktemp)
err=$(mktemp)
"${limit[@]}" "$wine" "$@" >"$out" 2>"$err" </dev/null &
pid=$!
tail -s 0.1 --pid=$pid -n +1 -f "$out" &
tail_out=$!
tail -s 0.1 --pid=$pid -n +1 -f "$err" >&2 &
tail_err=$!
wait $pid
rc=$?
wait $tail_out $tail_err
rm -f "$out" "$err"
if [ ${#limit[@]} -gt 0 ] && { [ $rc -eq 124 ] || [ $rc -eq 137 ]; }; then
  say "$* did not finish within the test's time (TARN_WINE_LIMIT=${TARN_WINE_LIMIT:-}); stopping the prefix's processes"
  stop_server
  exit 124
fi
exit $rc
