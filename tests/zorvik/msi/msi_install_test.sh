#!/usr/bin/env bash
# The package as a user installs it, run by with-ports.sh against a camera on
# COM2: msiexec puts zorvik.ds into the TWAIN folder and tarnlink.dll into
# the system folder; the acquisition tool, with no tarnlink.dll of its own,
# acquires through them; the uninstall takes both away again.
#   msi_install_test.sh MSI x86|x64 ZORVIK_DS TARNLINK_DLL TWAIN_ACQUIRE FETCH_PICTURES SCRATCH
set -u
msi=$1 arch=$2 ds=$3 dll=$4 acquire=$5 fetch=$6 scratch=$7
run=$TARN_WINE_RUN
status=0
fail() { echo "FAIL: $*"; status=1; }
win() { printf 'Z:%s' "$1" | tr / '\\\\'; } # a Linux path as Wine names it

windows=$WINEPREFIX/drive_c/windows
if [ "$arch" = x64 ]; then
  wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
  twain=$windows/twain_64 system=$windows/system32
else
  # A 32-bit package's SystemFolder is SysWOW64 on 64-bit Windows.
  wine=/usr/lib/wine/wine
  twain=$windows/twain_32 system=$windows/syswow64
fi
# Wine's background processes inherit our output: hand them files, not pipes.
# Each call is bounded and names itself, on the test's own stderr, when it overruns.
exec 3>&2
bounded_wine() {
  local rc=0
  WINEDEBUG=-all timeout -k 5 120 "$wine" "$@" </dev/null || rc=$?
  [ $rc -ne 124 ] || { echo "FAIL: wine $* did not finish within 120 s" >&3; status=1; }
  return $rc
}
msiexec() { bounded_wine msiexec "$@" >>"$scratch/msiexec.txt" 2>&1; }
product=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }')
uninstall_key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product"
registered() { bounded_wine reg query "$uninstall_key" >/dev/null 2>&1; }

rm -rf "$scratch"
mkdir -p "$scratch/app" "$scratch/ref"
# What an earlier, interrupted run may have left; the TWAIN folder is there
# before any source is installed, as on Windows.
mkdir -p "$twain"
rm -f "$twain/sane.ds" "$windows/twain_32/gphoto2.ds" "$windows/twain_64/gphoto2.ds"
msiexec /x "$(win "$msi")" /qn
[ ! -e "$twain/zorvik.ds" ] && [ ! -e "$system/tarnlink.dll" ] ||
  { echo "FAIL: the prefix holds files of the package before it is installed"; exit 1; }

msiexec /i "$(win "$msi")" /qn || fail "msiexec /i: exit $?: $(cat "$scratch/msiexec.txt")"
cmp -s "$twain/zorvik.ds" "$ds" || fail "installed $twain/zorvik.ds is not the built one"
cmp -s "$system/tarnlink.dll" "$dll" || fail "installed $system/tarnlink.dll is not the built one"
[ ! -e "$twain/tarnlink.dll" ] || fail "tarnlink.dll is in the TWAIN folder too"
registered || fail "no uninstall entry $uninstall_key"

# The tool alone in its folder: the source's import of tarnlink.dll can only
# be found where the package put it.
cp "$acquire" "$scratch/app/"
# The reference pictures, by the example client with the build's library.
cp "$fetch" "$dll" "$scratch/ref/"
# Wine's manager loads only sane.ds and gphoto2.ds: the test's own copy.
cp "$twain/zorvik.ds" "$twain/sane.ds"

$run "$scratch/app/twain_acquire.exe" --list >"$scratch/list.txt" 2>&1
grep -q '^Kelbrook Zorvik (Tessaly Ltd, TWAIN)' "$scratch/list.txt" || fail "listing: $(cat "$scratch/list.txt")"

# From a fresh session the source transfers the last pictures: 22, 23.
count=2
$run "$scratch/ref/$(basename "$fetch")" COM2 --first $((24 - count)) --count $count \
  --out "$(win "$scratch/expected")" >"$scratch/fetch.txt" 2>&1 || fail "fetch_pictures: $(cat "$scratch/fetch.txt")"
$run "$scratch/app/twain_acquire.exe" --source "Kelbrook Zorvik" --mech native --count $count \
  --out "$(win "$scratch/got")" >"$scratch/acquire.txt" 2>&1
rc=$?
[ $rc = 0 ] || fail "acquire: exit $rc: $(cat "$scratch/acquire.txt")"
grep -q "^$count pictures saved" "$scratch/acquire.txt" || fail "acquire: $(cat "$scratch/acquire.txt")"
for k in $(seq 1 $count); do
  got=$(printf '%s/got/picture-%02d.bmp' "$scratch" "$k")
  want=$(printf '%s/expected/picture-%02d.bmp' "$scratch" $((24 - count + k - 1)))
  [ "$(stat -c %s "$got" 2>/dev/null)" = 57654 ] || fail "$got is not a 57,654-byte bitmap"
  [ "$(head -c 2 "$got" 2>/dev/null)" = BM ] || fail "$got has no BM"
  cmp -s <(tail -c 57600 "$got") <(tail -c 57600 "$want") || fail "$got differs from $want"
done

rm -f "$twain/sane.ds"
msiexec /x "$(win "$msi")" /qn || fail "msiexec /x: exit $?: $(cat "$scratch/msiexec.txt")"
[ ! -e "$twain/zorvik.ds" ] || fail "$twain/zorvik.ds is left after the uninstall"
[ ! -e "$system/tarnlink.dll" ] || fail "$system/tarnlink.dll is left after the uninstall"
registered && fail "the uninstall entry $uninstall_key is left"
[ -d "$twain" ] || fail "the uninstall took the TWAIN folder, which was there before"

# Without the installed library the same source no longer loads: the one the
# tool used was the system folder's.
cp "$ds" "$twain/sane.ds"
$run "$scratch/app/twain_acquire.exe" --list >"$scratch/list-after.txt" 2>&1
rm -f "$twain/sane.ds"
grep -q 'Kelbrook Zorvik' "$scratch/list-after.txt" && fail "the source loads without the installed library"

[ $status = 0 ] && echo "msi install: zorvik.ds in ${twain#"$WINEPREFIX"/}, tarnlink.dll in ${system#"$WINEPREFIX"/}, $count pictures acquired through them, nothing left after the uninstall"
exit $status
