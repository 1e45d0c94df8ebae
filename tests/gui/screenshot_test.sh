#!/usr/bin/env bash
# keystation on four emulated loader devices under a virtual X server: a sample key file is
# loaded (--kdb), Start is pressed (--start), and once every row has finished the program saves
# its window as PNG (KS_SCREENSHOT) and ends. The picture must show four green rows; the key file
# must have four keys fewer unused and the RKP folder four JSON files.
#
# usage: screenshot_test.sh KEYSTATION KDBTOOL SOURCE_DIR OUT_DIR
set -euo pipefail
keystation=$1
kdbtool=$2
source_dir=$3
out_dir=$4

home="$out_dir/screenshot-home"
shot="$out_dir/keystation-screenshot.png"
rm -rf "$home" "$shot"
mkdir -p "$home/rkp"
cp -r "$source_dir/data/lang" "$source_dir/data/devices.ini" "$home/"
sed -e 's/^GetRkp=.*/GetRkp=1/' -e 's/^WriteKeybox=.*/WriteKeybox=1/' \
    -e 's/^DestPosition=.*/DestPosition=0/' -e "s#^SavePath=.*#SavePath=$home/rkp/#" \
    "$source_dir/data/config.ini" > "$home/config.ini"
"$kdbtool" create --keys 20 --key-size 128 "$home/sample.kdb" > /dev/null

KS_SCREENSHOT="$shot" timeout 120 xvfb-run -a -s "-screen 0 1280x1024x24" \
    "$keystation" --home "$home" --kdb "$home/sample.kdb" --simulate 4 --start

test -s "$shot" || { echo "no screenshot written"; exit 1; }
"$kdbtool" info "$home/sample.kdb" | grep -q "^unused count: 16$" ||
    { echo "key file not counted down"; "$kdbtool" info "$home/sample.kdb"; exit 1; }
rkp_files=$(find "$home/rkp" -name '*.json' | wc -l)
[ "$rkp_files" -eq 4 ] || { echo "expected 4 RKP files, found $rkp_files"; exit 1; }

# Count the pure green (0, 255, 0) pixels of the picture: four finished rows cover well over
# 20,000 of them.
python3 - "$shot" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG file"
pos, idat, width, height, ctype = 8, b"", 0, 0, 0
while pos < len(data):
    length, kind = struct.unpack(">I4s", data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + length]
    if kind == b"IHDR":
        width, height, depth, ctype = struct.unpack(">IIBB", body[:10])
        assert depth == 8 and ctype in (2, 6), "unexpected PNG format"
    elif kind == b"IDAT":
        idat += body
    pos += 12 + length
bpp = 4 if ctype == 6 else 3
raw = zlib.decompress(idat)
stride = width * bpp
prev = bytearray(stride)
green = 0
for y in range(height):
    f = raw[y * (stride + 1)]
    line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for i in range(stride):
        a = line[i - bpp] if i >= bpp else 0
        b = prev[i]
        c = prev[i - bpp] if i >= bpp else 0
        if f == 1: line[i] = (line[i] + a) & 255
        elif f == 2: line[i] = (line[i] + b) & 255
        elif f == 3: line[i] = (line[i] + (a + b) // 2) & 255
        elif f == 4:
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            pr = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
            line[i] = (line[i] + pr) & 255
    for x in range(0, stride, bpp):
        if line[x] == 0 and line[x + 1] == 255 and line[x + 2] == 0:
            green += 1
    prev = line
print(f"screenshot {width}x{height}, {green} green pixels: {sys.argv[1]}")
assert green > 20000, "the finished rows are not green"
PY
