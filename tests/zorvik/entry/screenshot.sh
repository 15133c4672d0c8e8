#!/usr/bin/env bash
# The dialog on a real X screen (Xvfb): the pixel check of the dialog test,
# with the capture kept as a PNG. Run by with-ports.sh inside xvfb-run.
#   screenshot.sh PROGRAM.exe OUT.png
set -u
exe=$1 png=$2
root=$(cd "$(dirname "$0")/../../.." && pwd)
# The X11 driver, with unmanaged windows: no window manager runs here.
$TARN_WINE_RUN reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f >/dev/null 2>&1
$TARN_WINE_RUN reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
$TARN_WINE_RUN --stop || exit 1
bmp="${png%.png}.bmp"
rm -f "$bmp" "$png"
TARN_SCREENSHOT="Z:$(printf '%s' "$bmp" | tr / '\\')" $TARN_WINE_RUN "$exe" \
  --gtest_filter='Dialog.ScreenShowsThePicturesInTheirPlaces'
rc=$?
[ -f "$bmp" ] && python3 "$root/tools/bmp_to_png.py" "$bmp" "$png" && rm -f "$bmp"
[ $rc = 0 ] && [ -f "$png" ] && echo "screenshot: $png"
exit $rc
