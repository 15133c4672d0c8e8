#!/usr/bin/env bash
# Every test: installs what is missing, builds the three builds and runs
# their tests (native directly, win64 under wine64, win32 by its export table).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
jobs=$(nproc)

for preset in native win64 win32; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

status=0
for preset in native win64 win32; do
  echo "== test $preset"
  ctest --preset "$preset" -j "$jobs" || status=1
done

if [ -x tools/test-extra.sh ]; then
  echo "== sanitizers and fuzzing"
  bash tools/test-extra.sh || status=1
fi
exit $status
