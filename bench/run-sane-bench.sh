#!/usr/bin/env bash
# One picture through scanimage and the SANE backend at real baud: the whole
# scanimage run (start-up, the dll backend loading tarncam, the session, the
# picture, writing the file) timed against the picture's wire time, locally and
# through saned and the net backend on loopback.
#   bench/run-sane-bench.sh [RUNS]       (BUILD_DIR=build/native by default)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
build=${BUILD_DIR:-build/native}
[ -f "$build/CMakeCache.txt" ] || cmake --preset native -B "$build" >/dev/null
cmake --build "$build" -j2 --target sane-tarncam camsim tarn_saned_port_shim >/dev/null
out=$(mktemp -d)
sim= saned=
trap '[ -n "$sim" ] && kill $sim 2>/dev/null; [ -n "$saned" ] && kill $saned 2>/dev/null; rm -rf "$out"' EXIT
"$build/camsim/camsim" --images camsim/photos --pace --quiet >"$out/camsim.out" 2>&1 &
sim=$!
for _ in $(seq 1 100); do grep -q '^camera:' "$out/camsim.out" && break; sleep 0.05; done
port=$(sed -n 's/^camera: //p' "$out/camsim.out")
mkdir -p "$out/local" "$out/server" "$out/client"
echo tarncam >"$out/local/dll.conf"
echo "$port" >"$out/local/tarncam.conf"
cp "$out/local/"* "$out/server/"
: >"$out/server/saned.conf"
echo net >"$out/client/dll.conf"
printf '127.0.0.1\n' >"$out/client/net.conf"
backend_dir=$(dirname "$(find "$build/sane" -name 'libsane-tarncam.so.1' | head -n 1)")
shim=$(find "$build/tests/sane" -name 'libtarn_saned_port_shim.so' | head -n 1)
saned_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
SANE_CONFIG_DIR=$out/server LD_LIBRARY_PATH=$backend_dir saned -l -b 127.0.0.1 -p "$saned_port" \
  >/dev/null 2>&1 &
saned=$!
sleep 0.5

now() { date +%s.%N; }
times_local=() times_net=()
for i in $(seq 1 "$runs"); do
  t0=$(now)
  SANE_CONFIG_DIR=$out/local LD_LIBRARY_PATH=$backend_dir \
    scanimage -d "tarncam:$port" --slot $((i % 8)) --format=pnm >"$out/local.pnm"
  t1=$(now)
  SANE_CONFIG_DIR=$out/client LD_PRELOAD=$shim TARN_SANED_PORT=$saned_port \
    scanimage -d "net:127.0.0.1:tarncam:$port" --slot $((i % 8)) --format=pnm >"$out/net.pnm"
  t2=$(now)
  [ "$(wc -c <"$out/local.pnm")" -eq 57635 ] && [ "$(wc -c <"$out/net.pnm")" -eq 57635 ] ||
    { echo "run $i: a picture is short" >&2; exit 1; }
  times_local+=("$(echo "$t1 - $t0" | bc)")
  times_net+=("$(echo "$t2 - $t1" | bc)")
done
# From the camera at 5,760 bytes a second: the picture reply 20,687 bytes; each
# command's ACK and reply 5 (the sync at open, setting the counter).
python3 - "${times_local[*]}" "${times_net[*]}" <<'PY'
import sys
wire = 20687 / 5760
session = (20687 + 2 * 5) / 5760
for name, text in (("scanimage, local", sys.argv[1]), ("scanimage through saned", sys.argv[2])):
    t = sorted(float(x) for x in text.split())
    print(f"| {name} | {len(t)} | {t[0]:.3f} s | {t[len(t) // 2]:.3f} s | {t[-1]:.3f} s "
          f"| {t[len(t) // 2] / wire:.4f} | {t[len(t) // 2] / session:.4f} |")
print(f"picture wire time {wire:.4f} s; the session's exchanges {session:.4f} s")
PY
