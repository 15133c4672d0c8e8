#!/usr/bin/env bash
# The installed backend as SANE's dll backend finds it: installed into a prefix
# of the test's own, its configuration in PREFIX/etc/sane.d (with the dll.d
# entry naming it, and no dll.conf), the backend bound to the installed
# libtarnlink, and scanimage listing the simulated camera and taking its picture.
#   install_test.sh BUILD_DIR SCRATCH SCANIMAGE   (camera from TARN_CAMERA_PORT)
set -u
build=$1 scratch=$2 scanimage=$3
status=0
fail() { echo "FAIL: $*"; status=1; }

rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >"$scratch/install.txt" 2>&1 ||
  { cat "$scratch/install.txt"; echo "FAIL: cmake --install"; exit 1; }

backend=$(find "$prefix" -name 'libsane-tarncam.so.1' | head -n 1)
[ -n "$backend" ] || { echo "FAIL: no libsane-tarncam.so.1 in $prefix"; find "$prefix"; exit 1; }
[ "$(basename "$(dirname "$backend")")" = sane ] || fail "backend not in a sane folder: $backend"
libdir=$(dirname "$(dirname "$backend")")
[ -f "$libdir/libtarnlink.so.1" ] || fail "libtarnlink.so.1 is not beside the sane folder"
etc=$prefix/etc/sane.d
[ "$(cat "$etc/dll.d/tarncam" 2>/dev/null)" = tarncam ] || fail "dll.d/tarncam does not name tarncam"
grep -q '^#' "$etc/tarncam.conf" 2>/dev/null || fail "tarncam.conf is not installed"
# Bound to the installed library, not the build's.
bound=$(ldd "$backend" | sed -n 's/^[[:space:]]*libtarnlink\.so\.1 => \([^ ]*\).*/\1/p')
[ "$(readlink -f "$bound")" = "$(readlink -f "$libdir/libtarnlink.so.1")" ] ||
  fail "the backend binds to '$bound'"
# Only the entry points leave it.
extra=$(nm -D --defined-only "$backend" | awk '{print $3}' | grep -v '^sane_tarncam_')
[ -z "$extra" ] || fail "exports besides the entry points: $extra"

# A user's own tarncam.conf survives a second install.
echo "/dev/ttyUSB7" >"$etc/tarncam.conf"
cmake --install "$build" --prefix "$prefix" >/dev/null 2>&1 || fail "second install"
[ "$(cat "$etc/tarncam.conf")" = /dev/ttyUSB7 ] || fail "a second install replaced tarncam.conf"

echo "$TARN_CAMERA_PORT" >"$etc/tarncam.conf"
export SANE_CONFIG_DIR=$etc LD_LIBRARY_PATH=$libdir/sane
listed=$(timeout 60 "$scanimage" -L 2>&1)
echo "$listed" | grep -q "device \`tarncam:$TARN_CAMERA_PORT' is a Tessaly" ||
  fail "scanimage -L: $listed"
timeout 60 "$scanimage" -d "tarncam:$TARN_CAMERA_PORT" --format=pnm >"$scratch/picture.pnm" \
  2>"$scratch/scanimage.err" || fail "scanimage: $(cat "$scratch/scanimage.err")"
[ "$(wc -c <"$scratch/picture.pnm")" -eq $((57600 + 35)) ] || fail "picture of $(wc -c <"$scratch/picture.pnm") bytes"
[ $status -eq 0 ] && echo "installed backend: OK"
exit $status
