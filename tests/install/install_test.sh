#!/usr/bin/env bash
# Installs a build into a prefix of its own and builds the client against it
# twice, through pkg-config and through the CMake package; each must bind to
# the installed library and print what the in-tree client prints, and the
# picture's checksum must be that of the example client's picture 0.
#   install_test.sh BUILD_DIR CLIENT_DIR SCRATCH CAMSIM REFERENCE FETCH_PICTURES CC
set -u
build=$1 client=$2 scratch=$3 camsim=$4 reference=$5 fetch=$6 cc=$7
here=$(cd "$(dirname "$0")" && pwd)
with_camsim="$here/../link/with-camsim.sh"
status=0
fail() { echo "FAIL: $*"; status=1; }

rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >"$scratch/install.txt" 2>&1 ||
  { cat "$scratch/install.txt"; echo "FAIL: cmake --install"; exit 1; }

# Where GNUInstallDirs put the library: lib, lib64 or a multiarch folder.
so=$(find "$prefix" -name 'libtarnlink.so.1.5.0' -type f)
[ -n "$so" ] || { echo "FAIL: no libtarnlink.so.1.5.0 in $prefix"; find "$prefix"; exit 1; }
libdir=$(dirname "$so")
for f in include/tarnlink.h include/status_table.h; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
[ "$(readlink "$libdir/libtarnlink.so.1")" = libtarnlink.so.1.5.0 ] || fail "libtarnlink.so.1 -> $(readlink "$libdir/libtarnlink.so.1")"
[ "$(readlink "$libdir/libtarnlink.so")" = libtarnlink.so.1 ] || fail "libtarnlink.so -> $(readlink "$libdir/libtarnlink.so")"
readelf -d "$so" | grep -q 'SONAME.*\[libtarnlink\.so\.1\]' || fail "SONAME: $(readelf -d "$so" | grep SONAME)"
# Nothing of the build tree may be baked into the installed library.
readelf -d "$so" | grep -qE 'RPATH|RUNPATH' && fail "installed library has a search path: $(readelf -d "$so" | grep -E 'RPATH|RUNPATH')"
for f in tarnlinkConfig.cmake tarnlinkConfigVersion.cmake tarnlinkTargets.cmake; do
  [ -f "$libdir/cmake/tarnlink/$f" ] || fail "$f is not installed"
done
# The package must name no place outside the prefix (the build's own library, the sources).
grep -rqE "$build/tarnlink|$(cd "$here/../.." && pwd)/tarnlink" "$libdir/cmake/tarnlink" "$libdir/pkgconfig" &&
  fail "the installed package names the build or the sources"

# Through pkg-config: the .pc file alone must say where everything is.
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion tarnlink)" = 1.5.0 ] || fail "pkg-config version: $(pkg-config --modversion tarnlink 2>&1)"
flags=$(pkg-config --cflags --libs tarnlink) || fail "pkg-config: $flags"
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$scratch/client-pc" "$client/client.c" $flags \
  >"$scratch/cc.txt" 2>&1 || fail "pkg-config build: $(cat "$scratch/cc.txt")"

# Through find_package with the prefix on CMAKE_PREFIX_PATH; CMake's build
# path points the client at the imported library.
cmake -S "$client" -B "$scratch/client-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >"$scratch/cmake.txt" 2>&1 &&
  cmake --build "$scratch/client-cmake" >>"$scratch/cmake.txt" 2>&1 ||
  fail "find_package build: $(cat "$scratch/cmake.txt")"
found=$(sed -n 's/^tarnlink_DIR:PATH=//p' "$scratch/client-cmake/CMakeCache.txt")
[ "$found" = "$libdir/cmake/tarnlink" ] || fail "the CMake client found the package in '$found'"

# The loader's choice: the pkg-config client through LD_LIBRARY_PATH, the
# CMake one through its RUNPATH; both into the prefix, neither into the build.
bound() { ldd "$1" | sed -n 's/^[[:space:]]*libtarnlink\.so\.1 => \([^ ]*\).*/\1/p'; }
[ "$(LD_LIBRARY_PATH=$libdir bound "$scratch/client-pc")" = "$libdir/libtarnlink.so.1" ] ||
  fail "pkg-config client binds to: $(LD_LIBRARY_PATH=$libdir ldd "$scratch/client-pc")"
[ "$(bound "$scratch/client-cmake/client")" = "$libdir/libtarnlink.so.1" ] ||
  fail "CMake client binds to: $(ldd "$scratch/client-cmake/client")"
readelf -d "$scratch/client-cmake/client" | grep -qE "R(UN)?PATH.*\[$libdir\]" ||
  fail "CMake client's search path: $(readelf -d "$scratch/client-cmake/client" | grep -E 'RPATH|RUNPATH')"
readelf -d "$scratch/client-pc" | grep -q 'NEEDED.*\[libtarnlink\.so\.1\]' || fail "pkg-config client does not need libtarnlink.so.1"

run() { # NAME PROGRAM: against a simulator of its own
  local name=$1
  shift
  bash "$with_camsim" "$camsim" native -- "$@" >"$scratch/$name.txt" 2>&1 ||
    fail "$name: $(cat "$scratch/$name.txt")"
}
run reference "$reference"
LD_LIBRARY_PATH=$libdir run pkg-config "$scratch/client-pc"
run cmake "$scratch/client-cmake/client"
# The example client takes the port as its argument.
run fetch bash -c '"$0" "$TARN_CAMERA_PORT" --count 1 --out "$1"' "$fetch" "$scratch/fetched"

grep -qx 'library 1\.05' "$scratch/reference.txt" || fail "reference: $(cat "$scratch/reference.txt")"
grep -qx 'firmware .\+' "$scratch/reference.txt" || fail "reference has no firmware: $(cat "$scratch/reference.txt")"
grep -qx 'picture counter [0-9]\+' "$scratch/reference.txt" || fail "reference has no counter: $(cat "$scratch/reference.txt")"
for name in pkg-config cmake; do
  cmp -s "$scratch/reference.txt" "$scratch/$name.txt" ||
    fail "$name client: $(diff "$scratch/reference.txt" "$scratch/$name.txt")"
done
want=$(tail -c 57600 "$scratch/fetched/picture-00.bmp" | cksum)
[ "$(sed -n 's/^picture 0: //p' "$scratch/reference.txt")" = "$want" ] ||
  fail "picture 0 is $(sed -n 's/^picture 0: //p' "$scratch/reference.txt"), the example client's is $want"

[ $status = 0 ] && echo "install: headers, libtarnlink.so.1.5.0 (SONAME libtarnlink.so.1), pkg-config and CMake clients bound to $libdir, same output as the library's: $(tr '\n' ';' <"$scratch/reference.txt")"
exit $status
