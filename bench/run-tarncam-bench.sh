#!/usr/bin/env bash
# tarncam against a 24-slot camera paced at 57,600 baud: all pictures fetched,
# then the contact sheet, each timed against its wire time.
#   bench/run-tarncam-bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset native >/dev/null && cmake --build --preset native --target tarncam camsim >/dev/null
out=$(mktemp -d)
trap 'kill $sim 2>/dev/null; rm -rf "$out"' EXIT
build/native/camsim/camsim --scenes 24 --pace --quiet >"$out/camsim.out" 2>&1 &
sim=$!
for _ in $(seq 1 100); do grep -q '^camera:' "$out/camsim.out" && break; sleep 0.05; done
port=$(sed -n 's/^camera: //p' "$out/camsim.out")
now() { date +%s.%N; }
t0=$(now)
build/native/tools/tarncam --port "$port" --slots 24 fetch all --out "$out/pictures" 2>/dev/null
t1=$(now)
sheet=$(build/native/tools/tarncam --port "$port" --slots 24 sheet "$out/sheet.png" 2>/dev/null)
t2=$(now)
# The sheet's own time, as the tool reports it, without the session's start.
inner=$(printf '%s\n' "$sheet" | sed -n 's/.*, in \([0-9.]*\) s$/\1/p')
# From the camera: a picture reply 20,687 bytes, a thumbnail reply 1,264, a
# command's ACK and reply 5, at 5,760 bytes a second.
python3 - "$t0" "$t1" "$t2" "$inner" <<'PY'
import sys
t0, t1, t2, inner = map(float, sys.argv[1:])
fetch, sheet = t1 - t0, t2 - t1
fetch_wire = 24 * 20687 / 5760
sheet_wire = 24 * 1264 / 5760
print(f"| fetch all, 24 pictures | {fetch:.3f} s | {fetch_wire:.3f} s (pictures) | {fetch / fetch_wire:.4f} |")
print(f"| contact sheet, 24 thumbnails (whole command) | {sheet:.3f} s | {sheet_wire:.3f} s (thumbnails) | {sheet / sheet_wire:.4f} |")
print(f"| contact sheet, 24 thumbnails (the tool's own time) | {inner:.2f} s | {sheet_wire + 5 / 5760:.3f} s (thumbnails, one positioning) | {inner / (sheet_wire + 5 / 5760):.4f} |")
PY
