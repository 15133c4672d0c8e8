#!/usr/bin/env bash
# The dialog on a real X screen (Xvfb): the pixel check of the dialog test,
# with the capture kept as a PNG. Run by with-ports.sh inside xvfb-run.
#   screenshot.sh PROGRAM.exe OUT.png
set -u
exe=$1 png=$2
root=$(cd "$(dirname "$0")/../../.." && pwd)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
# The X11 driver, with unmanaged windows: no window manager runs here.
$TARN_WINE_RUN reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f >/dev/null 2>&1
$TARN_WINE_RUN reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
"$wineserver" -k 2>/dev/null
timeout -k 5 60 "$wineserver" -w 2>/dev/null \
  || { echo "screenshot: the server of $WINEPREFIX did not stop within 60 s after -k" >&2; exit 1; }
bmp="${png%.png}.bmp"
rm -f "$bmp" "$png"
TARN_SCREENSHOT="Z:$(printf '%s' "$bmp" | tr / '\\')" $TARN_WINE_RUN "$exe" \
  --gtest_filter='Dialog.ScreenShowsThePicturesInTheirPlaces'
rc=$?
[ -f "$bmp" ] && python3 "$root/tools/bmp_to_png.py" "$bmp" "$png" && rm -f "$bmp"
[ $rc = 0 ] && [ -f "$png" ] && echo "screenshot: $png"
exit $rc
