#!/usr/bin/env bash
# The acquisition tool through Wine's own TWAIN manager, with the source
# installed where that manager looks for it, run by with-ports.sh against a
# camera on COM2: listing, each transfer mechanism compared byte for byte with
# what the library makes of the same pictures, and the failures' exit codes.
#   acquire_test.sh BIN_DIR ZORVIK_DS SCRATCH
set -u
bin=$1 ds=$2 scratch=$3
run=$TARN_WINE_RUN
status=0
fail() { echo "FAIL: $*"; status=1; }
win() { printf 'Z:%s' "$1" | tr / '\\\\'; } # a Linux path as Wine names it

rm -rf "$scratch"
mkdir -p "$scratch"
# Wine's manager loads only sane.ds and gphoto2.ds from its folder; no other
# camera bridge may run.
machine=$(od -An -tx2 -j$(($(od -An -tu4 -j60 -N4 "$ds" | tr -d ' ') + 4)) -N2 "$ds" | tr -d ' ')
folder="$WINEPREFIX/drive_c/windows/twain_64"
[ "$machine" = 014c ] && folder="$WINEPREFIX/drive_c/windows/twain_32"
mkdir -p "$folder"
cp "$ds" "$folder/sane.ds"
rm -f "$WINEPREFIX/drive_c/windows/twain_32/gphoto2.ds" "$WINEPREFIX/drive_c/windows/twain_64/gphoto2.ds"

$run "$bin/twain_acquire.exe" --list >"$scratch/list.txt" 2>&1
grep -q '^Kelbrook Zorvik (Tessaly Ltd, TWAIN)' "$scratch/list.txt" || fail "listing: $(cat "$scratch/list.txt")"
[ "$(grep -c . "$scratch/list.txt")" = 1 ] || fail "only our source is listed: $(cat "$scratch/list.txt")"

count=3
for mech in native memory file; do
  # The same pictures in the same order from a fresh session: 21, 22, 23.
  $run "$bin/fetch_pictures.exe" COM2 --first $((24 - count)) --count $count \
    --out "$(win "$scratch/expected-$mech")" >"$scratch/fetch-$mech.txt" 2>&1 ||
    fail "fetch_pictures: $(cat "$scratch/fetch-$mech.txt")"
  $run "$bin/twain_acquire.exe" --source "Kelbrook Zorvik" --mech $mech --count $count \
    --out "$(win "$scratch/got-$mech")" >"$scratch/acquire-$mech.txt" 2>&1
  rc=$?
  [ $rc = 0 ] || fail "$mech: exit $rc: $(cat "$scratch/acquire-$mech.txt")"
  grep -q "^$count pictures saved" "$scratch/acquire-$mech.txt" || fail "$mech: $(cat "$scratch/acquire-$mech.txt")"
  for k in $(seq 1 $count); do
    got=$(printf '%s/got-%s/picture-%02d.bmp' "$scratch" $mech "$k")
    want=$(printf '%s/expected-%s/picture-%02d.bmp' "$scratch" $mech $((24 - count + k - 1)))
    [ "$(stat -c %s "$got" 2>/dev/null)" = 57654 ] || fail "$mech: $got is not a 57,654-byte bitmap"
    cmp -s <(tail -c 57600 "$got") <(tail -c 57600 "$want") || fail "$mech: $got differs from $want"
    [ "$(head -c 2 "$got")" = BM ] || fail "$mech: $got has no BM"
  done
done

# With the user interface: the user previews the selected picture (slot 23,
# the one before the counter at 0) and presses Capture, which gives three
# transfers of it; Close ends the session.
$run "$bin/fetch_pictures.exe" COM2 --first 23 --count 1 --out "$(win "$scratch/expected-ui")" \
  >/dev/null 2>&1 || fail "fetch_pictures for the user interface"
for mech in native memory file; do
  $run "$bin/press_buttons.exe" 60 ready click 1000 sleep 300 click 1051 sleep 1500 click 2 \
    >"$scratch/press-$mech.txt" 2>&1 &
  presser=$!
  $run "$bin/twain_acquire.exe" --source "Kelbrook Zorvik" --ui --mech $mech --count 3 \
    --timeout 60 --out "$(win "$scratch/ui-$mech")" >"$scratch/ui-$mech.txt" 2>&1
  rc=$?
  wait $presser || fail "ui $mech: the dialog was not driven: $(cat "$scratch/press-$mech.txt")"
  [ $rc = 0 ] || fail "ui $mech: exit $rc: $(cat "$scratch/ui-$mech.txt")"
  for k in 1 2 3; do
    got=$(printf '%s/ui-%s/picture-%02d.bmp' "$scratch" $mech $k)
    cmp -s <(tail -c 57600 "$got") <(tail -c 57600 "$scratch/expected-ui/picture-23.bmp") ||
      fail "ui $mech: $got is not the previewed picture"
  done
done

$run "$bin/twain_acquire.exe" --source "No Such Source" >"$scratch/nosource.txt" 2>&1
rc=$?
[ $rc = 4 ] || fail "an unknown source gives exit 4, not $rc: $(cat "$scratch/nosource.txt")"
grep -q 'no source named "No Such Source"' "$scratch/nosource.txt" || fail "$(cat "$scratch/nosource.txt")"

$run "$bin/twain_acquire.exe" --mech sideways >"$scratch/usage.txt" 2>&1
rc=$?
[ $rc = 2 ] || fail "a bad option gives exit 2, not $rc"

# The simulator's control line, from this side of Wine.
control() {
  local answer
  exec 3<>"$TARN_PORT_DIR/com6"
  printf '%s\n' "$1" >&3
  IFS= read -r -t 3 answer <&3
  exec 3>&-
  [ "${answer%%[ $'\r']*}" = ok ] || fail "control '$1': '$answer'"
}

# No camera answers: the source asks the user, who cancels; the tool says so.
$run "$bin/answer_boxes.exe" 20 cancel "$(win "$scratch/boxes.txt")" >/dev/null 2>&1 &
answerer=$!
control "fault * silent always"
$run "$bin/twain_acquire.exe" --source "Kelbrook Zorvik" >"$scratch/nocamera.txt" 2>&1
rc=$?
control clear
wait $answerer
[ $rc = 5 ] || fail "no camera gives exit 5, not $rc: $(cat "$scratch/nocamera.txt")"
grep -q '^Kelbrook Zorvik|Unable to locate a camera' "$scratch/boxes.txt" || fail "the box: $(cat "$scratch/boxes.txt")"

[ $status = 0 ] && echo "acquire: listing, 3 mechanisms x $count pictures, 3 failures: all as expected"
exit $status
