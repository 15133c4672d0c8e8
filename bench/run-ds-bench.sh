#!/usr/bin/env bash
# Benchmarks of the data source against a camera paced at 57,600 baud on COM2
# of a prefix of its own: acquisition without user interface (three transfers
# by each mechanism), or with BENCH=bench_dialog the capture dialog's steps.
#   [BENCH=bench_dialog] bench/run-ds-bench.sh [win64|win32]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-win64}
cmake --preset native >/dev/null && cmake --build --preset native --target camsim >/dev/null
bench=${BENCH:-bench_acquire}
cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" --target "$bench" >/dev/null
build=$PWD/build/$preset
TARN_CAMSIM_OPTIONS="--scenes 24 --pace" bash tests/zorvik/support/with-ports.sh \
  build/native/camsim/camsim "$build/wineprefix-bench" "$build/bench-ports" absent camera absent absent \
  -- "$build/bench/$bench.exe" "Z:$(printf '%s' "$build/bench/zorvik.ds" | tr / '\\')"
