#!/usr/bin/env bash
# Runs a link test against a camera simulator started for it alone:
#   with-camsim.sh CAMSIM native [CAMSIM-OPTIONS...]           -- PROGRAM [ARGS...]
#   with-camsim.sh CAMSIM wine PREFIX COMN [CAMSIM-OPTIONS...] -- PROGRAM.exe [ARGS...]
# Natively the program gets the simulator's pseudo-terminals; under Wine the
# simulator links them as COMn (camera) and COMn+1 (control) in the prefix,
# so that the program's Win32 serial calls really reach it. The program learns
# its ports from TARN_CAMERA_PORT and TARN_CONTROL_PORT.
set -u
[ -z "${TARN_WINE_LIMIT:-}" ] \
  || export TARN_WINE_DEADLINE=${TARN_WINE_DEADLINE:-$(($(date +%s) + TARN_WINE_LIMIT))}
camsim=$1
mode=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

if [ ! -x "$camsim" ]; then
  echo "with-camsim: no simulator at $camsim (build the native preset first)" >&2
  exit 1
fi

scratch=$(mktemp -d /tmp/tarn-link.XXXXXX)
export TARN_SCRATCH_DIR=$scratch
camsim_pid=
cleanup() {
  [ -n "$camsim_pid" ] && kill "$camsim_pid" 2>/dev/null && wait "$camsim_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

# Waits until the simulator has printed its "camera:" (and "control:") lines.
await_ports() {
  for _ in $(seq 1 200); do
    if grep -q '^control:' "$scratch/camsim.out" 2>/dev/null; then return 0; fi
    kill -0 "$camsim_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "with-camsim: the simulator did not start within 10 s" >&2
  cat "$scratch/camsim.out" "$scratch/camsim.err" >&2
  return 1
}

com_name() { # Windows names COM10 and above only in the device form
  if [ "$1" -ge 10 ]; then printf '\\\\.\\COM%d' "$1"; else printf 'COM%d' "$1"; fi
}

# Simulator options up to "--" (four scenes by default).
take_options() {
  options=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
  [ ${#options[@]} -gt 0 ] || options=(--scenes 4)
  rest=("${@:2}")
}

case "$mode" in
  native)
    take_options "$@"
    set -- "${rest[@]}"
    "$camsim" "${options[@]}" --control >"$scratch/camsim.out" 2>"$scratch/camsim.err" &
    camsim_pid=$!
    await_ports || exit 1
    TARN_CAMERA_PORT=$(sed -n 's/^camera: //p' "$scratch/camsim.out")
    TARN_CONTROL_PORT=$(sed -n 's/^control: //p' "$scratch/camsim.out")
    export TARN_CAMERA_PORT TARN_CONTROL_PORT
    "$@"
    exit $?
    ;;
  wine)
    prefix=$1
    com=$2
    shift 2
    take_options "$@"
    set -- "${rest[@]}"
    # The prefix must exist before the simulator links its ports into it.
    if [ ! -f "$prefix/.tarn-ready" ] \
      && ! "$root/tools/wine-run.sh" "$prefix" "$1" --gtest_list_tests >/dev/null; then
      echo "with-camsim: could not make the Wine prefix $prefix" >&2
      exit 1
    fi
    mkdir -p "$prefix/dosdevices"
    rm -f "$prefix/dosdevices/com$com" "$prefix/dosdevices/com$((com + 1))"
    "$camsim" "${options[@]}" --link "$prefix/dosdevices/com$com" --control \
      --control-link "$prefix/dosdevices/com$((com + 1))" \
      >"$scratch/camsim.out" 2>"$scratch/camsim.err" &
    camsim_pid=$!
    await_ports || exit 1
    TARN_CAMERA_PORT=$(com_name "$com")
    TARN_CONTROL_PORT=$(com_name $((com + 1)))
    export TARN_CAMERA_PORT TARN_CONTROL_PORT
    echo "with-camsim: simulator on $TARN_CAMERA_PORT of $prefix; running $(basename "$1")" >&2
    "$root/tools/wine-run.sh" "$prefix" "$@"
    rc=$?
    rm -f "$prefix/dosdevices/com$com" "$prefix/dosdevices/com$((com + 1))"
    exit $rc
    ;;
  *)
    echo "with-camsim: mode is native or wine" >&2
    exit 2
    ;;
esac
