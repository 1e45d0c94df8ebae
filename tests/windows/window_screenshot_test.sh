#!/usr/bin/env bash
# keystation.exe on four simulated boards under Wine and a virtual X server, once with the English
# and once with the Chinese language file: a sample key file is loaded (--kdb), Start is pressed
# (--start), and once every row has finished the program saves its window (KS_SCREENSHOT) and
# ends. Each picture must show four green rows; the key file must count four keys used. First
# --help lists the options and a bad --simulate is refused.
# The Wine prefix gets the WenQuanYi font linked behind the dialog and table faces first, as a
# Chinese Windows has its own fonts.
#
# usage: window_screenshot_test.sh WINERUN KEYSTATION.exe KDBTOOL.exe SOURCE_DIR OUT_DIR
set -euo pipefail
# Every Wine program of this test runs under one virtual X server: the prefix's server and
# desktop stay up a moment after a program ends, and a window needs them started with a display.
if [ -z "${KS_UNDER_XVFB:-}" ]; then
  KS_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi
winerun=$1 keystation=$2 kdbtool=$3 source_dir=$4 out_dir=$5
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }

# A prefix of its own (its server and desktop must start under the virtual X server), made by
# the first run, with the CJK font links.
# shellcheck source=window_prefix.sh
. "$here/window_prefix.sh"
window_prefix "$winerun" "$kdbtool" "$out_dir/wine-prefix-window" || exit 1

# The window's thread holds COM apartment-threaded before the folder chooser: the program
# imports OleInitialize (the window test checks the apartment itself).
objdump=$(command -v x86_64-w64-mingw32-objdump || true)
if [ -n "$objdump" ]; then
  "$objdump" -p "$keystation" | grep 'OleInitialize' >/dev/null || fail "keystation.exe does not import OleInitialize"
fi

# One command line for every station: keystation.exe takes the station's options, says which few
# it does not take and why, and refuses a bad one with the reason.
help=$("$winerun" "$keystation" --help | tr -d '\r')
for option in --sim-state --sim-fault --sim-seed --key-pool --pool --help "Not taken by keystation"; do
  grep -qF -- "$option" <<<"$help" || fail "keystation.exe --help lacks $option"
done
if timeout 60 "$winerun" "$keystation" --simulate 65 >/dev/null 2>&1; then
  fail "keystation.exe took --simulate 65"
fi

run() {  # run LANGUAGE-INDEX PICTURE
  local selected=$1 picture=$2
  local home="$out_dir/screenshot-home-$selected"
  rm -rf "$home" "$picture"
  mkdir -p "$home/rkp"
  cp -r "$source_dir/data/lang" "$source_dir/data/devices.ini" "$home/"
  sed -e "s/^Selected=.*/Selected=$selected/" -e 's/^GetRkp=.*/GetRkp=1/' \
      -e 's/^WriteKeybox=.*/WriteKeybox=1/' -e 's/^DestPosition=.*/DestPosition=0/' \
      -e "s#^SavePath=.*#SavePath=Z:$home/rkp/#" \
      "$source_dir/data/config.ini" > "$home/config.ini"
  "$winerun" "$kdbtool" create --keys 20 --key-size 128 "$(winpath "$home/sample.kdb")" >/dev/null
  KS_SCREENSHOT=$(winpath "$home/shot.bmp") timeout 180 \
      "$winerun" "$keystation" --home "$(winpath "$home")" --kdb "$(winpath "$home/sample.kdb")" \
      --simulate 4 --start || fail "keystation.exe failed"
  [ -s "$home/shot.bmp" ] || fail "no screenshot written"
  python3 "$here/bmp_to_png.py" "$home/shot.bmp" "$picture"
  "$winerun" "$kdbtool" info "$(winpath "$home/sample.kdb")" | tr -d '\r' | grep -q '^unused count: 16$' ||
      fail "key file not counted down"
  [ "$(find "$home/rkp" -name '*.json' | wc -l)" -eq 4 ] || fail "expected 4 RKP files"
  # Four finished rows are pure green (0, 255, 0) over well over 20,000 pixels.
  python3 - "$home/shot.bmp" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
offset = struct.unpack_from("<I", data, 10)[0]
width, height = struct.unpack_from("<ii", data, 18)
stride = (width * 3 + 3) // 4 * 4
green = 0
for y in range(abs(height)):
    row = data[offset + y * stride: offset + y * stride + width * 3]
    green += sum(1 for x in range(0, len(row), 3) if row[x] == 0 and row[x + 1] == 255 and row[x + 2] == 0)
print(f"screenshot {width}x{abs(height)}, {green} green pixels: {sys.argv[1]}")
assert green > 20000, "the finished rows are not green"
PY
}

run 0 "$out_dir/keystation-win-screenshot.png"
run 1 "$out_dir/keystation-win-screenshot-zh.png"
echo PASS
