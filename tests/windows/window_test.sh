#!/usr/bin/env bash
# The Windows window's test program (Win32WindowTest.cpp) under Wine and a virtual X server, in a
# prefix with Chinese dialog faces. It leaves parity-win32-en.txt and parity-win32-zh.txt in
# OUT_DIR, and the window's pictures as PNG when KS_SHOT_DIR names a folder.
#
# usage: window_test.sh WINERUN ks_win_window_tests.exe OUT_DIR
set -euo pipefail
if [ -z "${KS_UNDER_XVFB:-}" ]; then
  KS_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi
winerun=$1 program=$2 out_dir=$3
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out_dir"
rm -f "$out_dir"/parity-win32-*.txt
# shellcheck source=window_prefix.sh
. "$here/window_prefix.sh"
# A prefix made for another Windows user (cmake/WineRun.sh names the operator) is made again:
# its shell folders belong to that user, and the folder chooser finds no folders then.
users="$out_dir/wine-prefix/drive_c/users"
if [ -d "$users" ] &&
   [ "$(ls "$users" | grep -v '^Public$' | tr -d '\n')" != "${KS_WINE_USER:-张三}" ]; then
  rm -rf "$out_dir/wine-prefix"
fi
window_prefix "$winerun" "$program" "$out_dir/wine-prefix"
shots=${KS_SHOT_DIR:-}
if [ -n "$shots" ]; then
  mkdir -p "$shots"
  export KS_SHOT_DIR="Z:$(echo "$shots" | tr / '\\')"
fi
status=0
"$winerun" "$program" || status=$?
# The pictures are converted also after a failure: they show what went wrong.
if [ -n "$shots" ]; then
  for bmp in "$shots"/*-win32-*.bmp; do
    [ -f "$bmp" ] || continue
    python3 "$here/bmp_to_png.py" "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
  done
fi
exit $status
