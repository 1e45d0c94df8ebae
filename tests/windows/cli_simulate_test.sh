#!/usr/bin/env bash
# keystation-cli.exe --simulate 4 --start --until-idle under Wine: four boards provisioned, each
# with its own key, the key file and its journal agree, the station log and the RKP files are in
# the application folder; on an English Windows (ANSI code page 1252, checked with GetACP), where
# the station log is 8-bit text in that code page.
# Usage: cli_simulate_test.sh WINERUN CLI.exe KDBTOOL.exe WORKDIR CODEPAGE.exe
set -euo pipefail
winerun=$1 cli=$2 kdbtool=$3 work=$4 codepage=$5
export LC_ALL=C.UTF-8 LANG=C.UTF-8
rm -rf "$work"
mkdir -p "$work/home"
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

pages=$("$winerun" "$codepage" | tr -d '\r')
[ "$pages" = "1252 437" ] || fail "ANSI and OEM code pages are $pages, not those of an English Windows"
"$winerun" "$kdbtool" create --keys 16 --key-size 128 keys.kdb >/dev/null
set +e
"$winerun" "$cli" --home 'home' --kdb 'keys.kdb' --simulate 4 --start --until-idle >out.txt 2>err.txt
rc=$?
set -e
tr -d '\r' <out.txt >out.lf
cat out.lf
[ "$rc" -eq 0 ] || { cat err.txt; fail "exit status $rc"; }
[ "$(tail -n 1 out.lf)" = "success 00004 fail 00000 total 00004" ] || fail "counters"
for slot in 1 2 3 4; do
  grep -q "^slot $slot \[1-1-$slot\] Success" out.lf || fail "slot $slot did not succeed"
done

"$winerun" "$kdbtool" info keys.kdb | tr -d '\r' >info.txt
grep -q '^unused count: 12$' info.txt || { cat info.txt; fail "the key file does not count 4 keys used"; }
"$winerun" "$kdbtool" audit keys.kdb | tr -d '\r' >audit.txt || { cat audit.txt; fail "audit"; }
grep -Eq '^delivered: +4 +0-3$' audit.txt || { cat audit.txt; fail "four keys delivered"; }

ls home/log/log-*/*.txt >/dev/null 2>&1 || fail "no station log"
[ "$(ls home/*.json | wc -l)" -eq 4 ] || fail "four RKP files"
grep -q 'UsbMap' home/portmap-sim.ini || fail "no simulated port map"
echo "PASS"
