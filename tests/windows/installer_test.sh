#!/usr/bin/env bash
# keystation-setup.exe under Wine: a silent install, the installed console station provisioning
# two simulated boards from its own folder (seeded from data\ on its first start), then a silent
# uninstall that takes the programs and keeps the operator's files.
# Usage: installer_test.sh WINERUN SETUP.exe WORKDIR
set -euo pipefail
winerun=$1 setup=$2 work=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
dest="$work/installed"
wdest="Z:$(echo "$dest" | tr / '\\')"

"$winerun" "$setup" /S "/D=$wdest"
for f in keystation-cli.exe kdbtool.exe uninstall.exe data/config.ini data/devices.ini \
         data/lang/English.ini data/lang/Chinese.ini driver/keystation-winusb.inf; do
  [ -f "$dest/$f" ] || fail "not installed: $f"
done
grep -q 'USB\\VID_F00D&PID_1001' "$dest/driver/keystation-winusb.inf" || fail "INF without the loader ids"

cd "$work"
"$winerun" "$dest/kdbtool.exe" create --keys 8 --key-size 64 keys.kdb >/dev/null
"$winerun" "$dest/keystation-cli.exe" --kdb keys.kdb --simulate 2 --start --until-idle | tr -d '\r' >out.txt \
  || { cat out.txt; fail "the installed station failed"; }
[ "$(tail -n 1 out.txt)" = "success 00002 fail 00000 total 00002" ] || { cat out.txt; fail "counters"; }
[ -f "$dest/config.ini" ] && [ -d "$dest/lang" ] && [ -d "$dest/log" ] || fail "the program folder was not seeded"

"$winerun" "$dest/uninstall.exe" /S "_?=$wdest"
[ ! -e "$dest/keystation-cli.exe" ] && [ ! -e "$dest/data" ] || fail "programs left after uninstall"
[ -f "$dest/config.ini" ] && [ -d "$dest/log" ] || fail "the operator's files went with the programs"
echo PASS
