#!/usr/bin/env bash
# The main job: builds tarncam and the camera simulator, puts the project's
# photographs into a simulated camera, and fetches every picture (PNG) and a
# contact sheet of them with tarncam.
#   tools/main-job.sh [OUTPUT-DIR]       (default ./camera-pictures)
# TARN_BUILD_DIR chooses the build folder (default build/native).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-./camera-pictures}
build=${TARN_BUILD_DIR:-$root/build/native}
photos=$root/camsim/photos

# What this job builds needs, from one list; nothing else (no Wine, no SANE, no
# test toolchain: tools/install-deps.sh is for the tests).
. "$root/tools/apt.sh"
if command -v dpkg-query >/dev/null; then
  apt_ensure "$root/tools/packages/main-job"
else
  echo "main-job: not a Debian system; this needs $(apt_list "$root/tools/packages/main-job" | tr '\n' ' ')or their equivalents" >&2
fi

echo "building tarncam and camsim in $build"
# Parts whose packages are missing (tests, SANE backend) are left out with a line each.
cmake --preset native -S "$root" -B "$build" -DTARN_REQUIRE_ALL=OFF >/dev/null
cmake --build "$build" -j2 --target tarncam camsim >/dev/null

count=$(find "$photos" -maxdepth 1 -name '*.png' | wc -l)
scratch=$(mktemp -d /tmp/main-job.XXXXXX)
camsim_pid=
cleanup() {
  if [ -n "$camsim_pid" ]; then
    kill "$camsim_pid" 2>/dev/null || true
    wait "$camsim_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# A camera with just as many slots as photographs: each empty slot the tool
# looks at costs 1.3 s, the library's wait for a quiet line after a refusal.
"$build/camsim/camsim" --images "$photos" --slots "$count" --quiet >"$scratch/camsim.out" 2>&1 &
camsim_pid=$!
port=
for _ in $(seq 1 100); do
  port=$(sed -n 's/^camera: //p' "$scratch/camsim.out")
  [ -n "$port" ] && break
  kill -0 "$camsim_pid" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$port" ]; then
  echo "main-job: the simulator did not start:" >&2
  cat "$scratch/camsim.out" >&2
  exit 1
fi
echo "simulated camera with $count photographs on $port"

tarncam=("$build/tools/tarncam" --port "$port" --slots "$count")
"${tarncam[@]}" info
"${tarncam[@]}" fetch all --out "$out"
"${tarncam[@]}" sheet "$out/contact-sheet.png"

kill "$camsim_pid" && wait "$camsim_pid" 2>/dev/null || true
camsim_pid=
echo "pictures and contact sheet in $(cd "$out" && pwd)"
