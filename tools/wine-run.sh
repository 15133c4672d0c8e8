#!/usr/bin/env bash
# Runs a Windows program under Wine in a private prefix:
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# 64-bit programs run under wine64, 32-bit ones under 32-bit Wine (read from
# the program's PE header). The prefix is made on first use (graphics driver
# "null", so windows work headless; no other camera's TWAIN source) and the
# server is kept up briefly so that later runs start fast.
# TARN_PREFIX_FONTS=DIR puts every font file under DIR (e.g. an unpacked Debian
# font package in build/fonts) into the new prefix's C:\windows\Fonts: dialog
# units follow the fonts Wine finds, so the dialog is tested with each set.
set -u
prefix=$1
shift

wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wine32=/usr/lib/wine/wine
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
# A test may ask for its own DLLs before Wine's (TARN_DLLOVERRIDES, e.g. "twain_32=n").
export WINEPREFIX=$prefix WINEDEBUG=${TARN_WINEDEBUG:--all} WINEDLLOVERRIDES="${TARN_DLLOVERRIDES:+$TARN_DLLOVERRIDES;}mscoree,mshtml="

fonts=${TARN_PREFIX_FONTS:-}
font_files() {
  find "$fonts" -type f \( -iname '*.ttf' -o -iname '*.ttc' -o -iname '*.otf' -o -iname '*.fon' \) "$@"
}
if [ -n "$fonts" ] && [ -z "$(font_files -print -quit 2>/dev/null)" ]; then
  echo "wine-run: no font files under $fonts (run tools/install-deps.sh)" >&2
  exit 1
fi
# A prefix made with other fonts (or none) would test the wrong configuration.
if [ -n "$fonts" ] && [ -f "$prefix/.tarn-ready" ]; then
  made=$(cat "$prefix/.tarn-fonts" 2>/dev/null)
  if [ "$made" != "$fonts" ]; then
    echo "wine-run: $prefix was made with ${made:-no added fonts}, not $fonts;" \
      "remove it to have it made again" >&2
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
    # Wine scans this folder at each process start; the next run picks them up.
    if [ -n "$fonts" ]; then
      font_files -exec cp -f -t "$prefix/drive_c/windows/Fonts" {} + || exit 1
    fi
    printf '%s' "$fonts" >"$prefix/.tarn-fonts"
    touch "$prefix/.tarn-ready"
  fi
  flock -u 9
fi

# -p20, not -p 20: a bare -p keeps the server up for good.
"$wineserver" -p20 >/dev/null 2>&1 || true

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
