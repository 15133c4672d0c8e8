#!/usr/bin/env bash
# Runs a data-source test with COM1 to COM4 of its own Wine prefix laid out:
#   with-ports.sh CAMSIM PREFIX PORTDIR COM1 COM2 COM3 COM4 -- PROGRAM.exe [ARGS...]
#   with-ports.sh CAMSIM PREFIX PORTDIR COM1 COM2 COM3 COM4 -- SCRIPT.sh [ARGS...]
# A script runs under bash with WINEPREFIX, TARN_WINE_RUN (tools/wine-run.sh
# for that prefix) and TARN_PORT_DIR set, to run several programs against the
# same cameras.
# TARN_CAMSIM_OPTIONS replaces the simulators' pictures (default --scenes 8);
# TARN_PREFIX_FONTS is passed on to tools/wine-run.sh.
# Each COMn is "absent" (its link dangles: the open fails), "camera" (a
# simulator) or "silent" (a simulator that never answers). The prefix's Ports
# values point COM1 to COM8 at PORTDIR/com1..com8, so that every cold start
# keeps them there; a simulator on COMn gets its control line on COMn+4,
# which the program finds in TARN_COMn_CONTROL.
# Each setup step says what it does and every wait is bounded, so a test that
# hangs shows where (TARN_WINE_LIMIT: see tools/wine-run.sh).
set -u
[ -z "${TARN_WINE_LIMIT:-}" ] \
  || export TARN_WINE_DEADLINE=${TARN_WINE_DEADLINE:-$(($(date +%s) + TARN_WINE_LIMIT))}
say() { echo "with-ports: $*" >&2; }
camsim=$1
mkdir -p "$2" "$3"
prefix=$(cd "$2" && pwd)
portdir=$(cd "$3" && pwd)
shift 3
layout=("$1" "$2" "$3" "$4")
shift 4
[ "$1" = "--" ] || { say "expected -- after the four ports"; exit 2; }
shift
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)

if [ ! -x "$camsim" ]; then
  say "no simulator at $camsim (build the native preset first)"
  exit 1
fi

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -f "$portdir"/com[1-8] "$portdir"/camsim*.out "$portdir"/camsim*.err
}
trap cleanup EXIT

# wine-run.sh says why it cannot make the prefix (e.g. TARN_PREFIX_FONTS missing).
if [ ! -f "$prefix/.tarn-ready" ] && ! "$root/tools/wine-run.sh" "$prefix" cmd /c exit >/dev/null; then
  say "could not make the Wine prefix $prefix"
  exit 1
fi

# Wine rewrites the comN links from these values at each cold start only.
if [ "$(cat "$prefix/.session-ports" 2>/dev/null)" != "$portdir" ]; then
  say "pointing COM1 to COM8 of $prefix at $portdir"
  for n in 1 2 3 4 5 6 7 8; do
    "$root/tools/wine-run.sh" "$prefix" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" \
      /d "$portdir/com$n" /f >/dev/null
  done
  "$root/tools/wine-run.sh" "$prefix" --stop || exit 1
  echo "$portdir" >"$prefix/.session-ports"
fi

rm -f "$portdir"/com[1-8]
for n in 1 2 3 4; do
  kind=${layout[$((n - 1))]}
  case "$kind" in
    absent) continue ;;
    camera) faults=() ;;
    silent) faults=(--fault '*:silent:always') ;;
    *) say "COM$n is absent, camera or silent, not '$kind'"; exit 2 ;;
  esac
  # shellcheck disable=SC2086
  "$camsim" ${TARN_CAMSIM_OPTIONS:---scenes 8} --quiet "${faults[@]}" --link "$portdir/com$n" \
    --control-link "$portdir/com$((n + 4))" \
    >"$portdir/camsim$n.out" 2>"$portdir/camsim$n.err" &
  pids+=($!)
  ready=0
  for _ in $(seq 1 200); do
    if grep -q '^control:' "$portdir/camsim$n.out" 2>/dev/null; then ready=1; break; fi
    sleep 0.05
  done
  if [ $ready = 0 ]; then
    say "the simulator for COM$n did not start within 10 s"
    cat "$portdir/camsim$n.err" >&2
    exit 1
  fi
  export "TARN_COM${n}_CONTROL=COM$((n + 4))"
done
say "ports: COM1 to COM4 ${layout[*]}; running $(basename "$1")"

if [ "${1##*.}" = sh ]; then
  export WINEPREFIX=$prefix TARN_WINE_RUN="$root/tools/wine-run.sh $prefix" TARN_PORT_DIR=$portdir
  bash "$@"
else
  "$root/tools/wine-run.sh" "$prefix" "$@"
fi
