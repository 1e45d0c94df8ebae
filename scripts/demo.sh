#!/usr/bin/env bash
# Installs what is missing, builds the station and runs its main job on eight simulated loader
# devices: a sample key file is made, every device gets a key written into its misc partition,
# its RKP data is saved as JSON, and the key file is counted down.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
build=${KS_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKS_BUILD_BENCH=OFF
cmake --build "$build" -j"$(nproc)" --target kdbtool keystation-cli

home="$build/demo"
rm -rf "$home" && mkdir -p "$home/rkp"
cp -r data/lang data/devices.ini "$home/"
sed -e 's/^GetRkp=.*/GetRkp=1/' -e 's/^WriteKeybox=.*/WriteKeybox=1/' \
    -e 's/^DestPosition=.*/DestPosition=0/' -e "s#^SavePath=.*#SavePath=$PWD/$home/rkp/#" \
    data/config.ini > "$home/config.ini"

"$build/tools/kdbtool/kdbtool" create --keys 20 --key-size 128 "$home/sample.kdb"
echo "== key file before"
"$build/tools/kdbtool/kdbtool" info "$home/sample.kdb"
echo "== station"
"$build/tools/keystation-cli/keystation-cli" --home "$home" --kdb "$home/sample.kdb" \
    --simulate 8 --start --until-idle
echo "== key file after"
"$build/tools/kdbtool/kdbtool" info "$home/sample.kdb"
echo "== RKP files"
ls -1 "$home/rkp"
