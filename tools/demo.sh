#!/usr/bin/env bash
# The older example, end to end on a fresh machine: installs what is missing
# (the main job's packages, all this needs too), builds the simulator and the
# example client, starts the simulator with a few pictures, fetches every
# picture with the example client, and lists what came out.
#   tools/demo.sh [OUTPUT_DIR]     (default ./pictures)
set -euo pipefail
out=$(realpath -m "${1:-./pictures}")
cd "$(dirname "$0")/.."

. tools/apt.sh
apt_ensure tools/packages/main-job
cmake --preset native -DTARN_REQUIRE_ALL=OFF >/dev/null
cmake --build --preset native --target camsim fetch_pictures -j "$(nproc)"

pictures=(--scenes 6)
[ -d camsim/samples ] && pictures+=(--images camsim/samples)

log=$(mktemp)
build/native/camsim/camsim "${pictures[@]}" >"$log" 2>&1 &
camsim_pid=$!
trap 'kill $camsim_pid 2>/dev/null; wait $camsim_pid 2>/dev/null; rm -f "$log"' EXIT
for _ in $(seq 1 100); do
  grep -q '^camera:' "$log" && break
  sleep 0.05
done
port=$(sed -n 's/^camera: //p' "$log")
[ -n "$port" ] || { cat "$log" >&2; exit 1; }
echo "== camera simulator on $port"

mkdir -p "$out"
build/native/tools/fetch_pictures "$port" --out "$out"

echo "== $out"
ls -l "$out"
