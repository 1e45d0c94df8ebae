#!/usr/bin/env bash
# The console station where an operator of a Chinese line lives: a Chinese Windows (ANSI and OEM
# code page 936, from the Chinese locale Wine is started in; checked with GetACP), Windows user
# 张三 (profile C:\users\张三), the programs in a folder with Chinese characters and spaces under
# %LOCALAPPDATA%, the key file, the RKP folder (SavePath in config.ini, code page 936, made at
# Start), the RKP files, the log, the results and the simulated boards' state all under the
# profile, with the Chinese language file. Then a key file and an RKP folder on paths of more
# than 260 characters; a second run over the boards provisioned before (kept by --sim-state);
# and runs killed at random moments. After each, the key file's audit passes. The station log,
# written in the ANSI code page, reads back in code page 936 as the Chinese text of the paths.
# Usage: operator_profile_test.sh WINERUN CLI.exe KDBTOOL.exe DATA_DIR WINEPREFIX WORKDIR CODEPAGE.exe
set -euo pipefail
winerun=$1 cli=$2 kdbtool=$3 data=$4 prefix=$5 work=$6 codepage=$7
export KS_WINEPREFIX=$prefix
export LC_ALL=zh_CN.UTF-8 LANG=zh_CN.UTF-8
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
cd "$work"

"$winerun" "$kdbtool" --help >/dev/null 2>&1 || true  # makes the prefix on its first use
profile="$prefix/drive_c/users/张三"
[ -d "$profile" ] || fail "the Wine profile is not C:\\users\\张三: $(ls "$prefix/drive_c/users")"
pages=$("$winerun" "$codepage" | tr -d '\r')
[ "$pages" = "936 936" ] || fail "ANSI and OEM code pages are $pages, not those of a Chinese Windows"
wprofile='C:\users\张三'
# Installed as the installer does, into a folder of the operator's local application data.
app="$profile/AppData/Local/测试 目录/Keystation"
rm -rf "$profile/AppData/Local/测试 目录" "$profile/Documents/测试 目录"
mkdir -p "$app" "$profile/Documents/测试 目录"
cp "$cli" "$kdbtool" "$app/"
cp -r "$data" "$app/data"
wapp="$wprofile"'\AppData\Local\测试 目录\Keystation'
wdocs="$wprofile"'\Documents\测试 目录'
docs="$profile/Documents/测试 目录"

run() { # expected-exit-status, arguments...: runs the installed console station
  local want=$1 rc=0
  shift
  "$winerun" "$app/keystation-cli.exe" "$@" >out.raw 2>err.raw || rc=$?
  tr -d '\r' <out.raw >out.txt
  tr -d '\r' <err.raw >err.txt
  [ "$rc" -eq "$want" ] || { cat out.txt err.txt; fail "exit status $rc, not $want: $*"; }
}
audit() { # the key file (Windows path): its audit passes, and it counts $2 keys unused
  "$winerun" "$app/kdbtool.exe" audit "$1" | tr -d '\r' >audit.txt || { cat audit.txt; fail "audit of $1"; }
  "$winerun" "$app/kdbtool.exe" info "$1" | tr -d '\r' >info.txt || { cat info.txt; fail "info of $1"; }
  grep -q "^unused count: $2\$" info.txt || { cat info.txt; fail "$1 does not count $2 keys unused"; }
}

# 1. Everything under the profile, named in Chinese, SavePath from config.ini.
wkdb="$wdocs"'\密钥 文件.kdb'
"$winerun" "$app/kdbtool.exe" create --keys 16 --key-size 128 "$wkdb" >/dev/null
[ -f "$docs/密钥 文件.kdb" ] || fail "kdbtool.exe did not create the key file under its Chinese name"
run 0 --list --simulate 1  # the first start seeds the program's folder from data\
[ -f "$app/config.ini" ] || fail "the program's folder was not seeded"
iconv -f GBK -t UTF-8 "$app/config.ini" |
  sed -e "s/^SavePath=.*/SavePath=${wdocs//\\/\\\\}\\\\RKP 文件/" -e 's/^Selected=.*/Selected=1/' |
  iconv -f UTF-8 -t GBK >config.gbk
cp config.gbk "$app/config.ini"
run 0 --kdb "$wkdb" --simulate 4 --sim-state "$wdocs"'\板 状态' --start --until-idle
[ "$(tail -n 1 out.txt)" = "success 00004 fail 00000 total 00004" ] || { cat out.txt; fail "counters"; }
# The Chinese status texts arrive as UTF-8.
grep -q "^slot 1 \[1-1-1\] .*成功" out.txt || { cat out.txt; fail "no Chinese success text for slot 1"; }
[ "$(ls "$docs/RKP 文件/"*.json | wc -l)" -eq 4 ] || fail "four RKP files in the new RKP folder"
ls "$app"/log/log-*/*.txt >/dev/null 2>&1 || fail "no station log in the program's folder"
# The station log is in code page 936: the key file's Chinese path reads back as it was written.
cat "$app"/log/log-*/*.txt >log.gbk
iconv -f GBK -t UTF-8 log.gbk >log.txt || fail "the station log is not text in code page 936"
grep -q "Key file C:.users.张三.Documents.测试 目录.密钥 文件.kdb loaded" log.txt ||
  { cat log.txt; fail "the station log does not read back the key file's Chinese path"; }
ls "$app"/results/results-*.jsonl >/dev/null 2>&1 || fail "no results in the program's folder"
[ "$(ls "$docs/板 状态/"board-0?.img | wc -l)" -eq 4 ] || fail "the boards' state files"
audit "$wkdb" 12

# 2. A second run over the same boards: each already holds a used key, none takes another (in
# no counter: a board that holds its key is its own outcome).
run 0 --kdb "$wkdb" --simulate 4 --sim-state "$wdocs"'\板 状态' --start --until-idle
[ "$(tail -n 1 out.txt)" = "success 00000 fail 00000 total 00000" ] || { cat out.txt; fail "second run"; }
[ "$(grep -c '已有密钥：请取下设备$' out.txt)" -eq 4 ] || { cat out.txt; fail "not four boards that hold their key"; }
audit "$wkdb" 12

# 3. A key file and an RKP folder more than 260 characters down.
long=$docs wlong=$wdocs
for i in 1 2 3 4 5 6 7 8 9 10; do
  long="$long/很长的目录名称 $i 0123456789 abcdefghij"
  wlong="$wlong\\很长的目录名称 $i 0123456789 abcdefghij"
done
mkdir -p "$long"
[ "${#wlong}" -gt 260 ] || fail "the long path is only ${#wlong} characters"
"$winerun" "$app/kdbtool.exe" create --keys 4 --key-size 64 "$wlong"'\密钥 文件.kdb' >/dev/null
run 0 --kdb "$wlong"'\密钥 文件.kdb' --simulate 2 --start --until-idle --rkp 1 --save-path "$wlong"'\RKP 文件'
[ "$(ls "$long/RKP 文件/"*.json | wc -l)" -eq 2 ] || { cat out.txt err.txt; fail "two RKP files down the long path"; }
audit "$wlong"'\密钥 文件.kdb' 2

# 4. Killed at random moments over boards kept in files, then run to the end: no key is
# delivered twice or lost unmarked, and every board ends with one key.
wkill="$wdocs"'\杀 测试.kdb'
"$winerun" "$app/kdbtool.exe" create --keys 32 --key-size 128 "$wkill" >/dev/null
for i in 1 2 3; do
  "$winerun" "$app/keystation-cli.exe" --kdb "$wkill" --simulate 8 --sim-state "$wdocs"'\杀 状态' \
    --start --until-idle >/dev/null 2>&1 &
  pid=$!
  sleep "$(( (RANDOM % 20) + 5 ))e-1" 2>/dev/null || sleep 1
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  # The station's Windows process goes with its Wine client; the lock on the key file with it.
done
rc=0
"$winerun" "$app/keystation-cli.exe" --kdb "$wkill" --simulate 8 --sim-state "$wdocs"'\杀 状态' \
  --start --until-idle >out.raw 2>err.raw || rc=$?
tr -d '\r' <out.raw >out.txt
grep -Eq "^success [0-9]{5} fail [0-9]{5} total [0-9]{5}$" out.txt || { cat out.txt err.txt; fail "the run after the kills"; }
"$winerun" "$app/kdbtool.exe" audit "$wkill" | tr -d '\r' >audit.txt || { cat audit.txt; fail "audit after kills"; }
run 0 --kdb "$wkill" --simulate 8 --sim-state "$wdocs"'\杀 状态' --start --until-idle
[ "$(grep -c '已有密钥：请取下设备$' out.txt)" -eq 8 ] || { cat out.txt; fail "a board without its one key after the kills"; }
echo PASS
