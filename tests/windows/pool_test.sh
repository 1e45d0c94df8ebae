#!/usr/bin/env bash
# The Windows station on a shared key pool: a real PostgreSQL server of this machine, listening on
# 127.0.0.1 for TLS 1.3 only with SCRAM logins (a test CA and a server certificate for localhost
# and 127.0.0.1 made here with openssl). Under Wine, as Windows user 张三 with everything under
# the profile in folders named in Chinese with spaces: kdbtool.exe sets the pool up over
# sslmode=verify-full, keystation-cli.exe draws keys for simulated boards kept in files, then
#   - every drawn key is on one board only and every board holds one key (read from the boards'
#     files), the pool records each delivered for its board, and kdbtool.exe's pool audit passes;
#   - a second run over the same boards takes no key (the pool's guard knows them), with the
#     passfile and the CA certificate in %APPDATA%\postgresql, where libpq looks by itself;
#   - a connection string without sslmode=verify-full is refused (a plain host, sslmode=require,
#     and no host at all, which is TCP to localhost on Windows), and so is a server whose
#     certificate another CA signed, and a CA certificate libpq could not open by its name;
#   - the audit passes also in code page 936.
# Usage: pool_test.sh WINERUN CLI.exe KDBTOOL.exe DATA_DIR WINEPREFIX WORKDIR
set -euo pipefail
winerun=$1 cli=$2 kdbtool=$3 data=$4 prefix=$5 work=$6
export KS_WINEPREFIX=$prefix
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
cd "$work"

# The server, as PgServer makes it for the Linux pool tests (as nobody when run as root).
bin=
for d in /usr/lib/postgresql/15/bin /usr/lib/postgresql/16/bin; do
  [ -x "$d/initdb" ] && { bin=$d; break; }
done
[ -n "$bin" ] || fail "no initdb (install postgresql-15)"
srv=$(mktemp -d /tmp/kswinpool.XXXXXX)
as=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody:nogroup "$srv"
  as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
stop() {
  "${as[@]}" "$bin/pg_ctl" -D "$srv/data" -w -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$srv"
}
trap stop EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"${as[@]}" "$bin/initdb" -D "$srv/data" -U ksadmin -A trust -E UTF8 --no-sync >"$srv/initdb.log" 2>&1 ||
  fail "initdb: $(cat "$srv/initdb.log")"
certs() { # folder CN: a CA and a server certificate for localhost and 127.0.0.1 signed by it
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1/ca.key" -out "$1/ca.crt" -days 2 \
    -subj "/CN=$2" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout "$1/server.key" -out "$1/server.csr" \
    -subj /CN=localhost 2>/dev/null
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$1/san.ext"
  openssl x509 -req -in "$1/server.csr" -CA "$1/ca.crt" -CAkey "$1/ca.key" -CAcreateserial \
    -out "$1/server.crt" -days 2 -extfile "$1/san.ext" 2>/dev/null
}
mkdir -p "$work/ca" "$work/other-ca"
certs "$work/ca" kstest-ca
certs "$work/other-ca" other-ca
install -m 600 "$work/ca/server.key" "$srv/data/server.key"
install -m 644 "$work/ca/server.crt" "$srv/data/server.crt"
[ ${#as[@]} -eq 0 ] || chown nobody:nogroup "$srv/data/server.key" "$srv/data/server.crt"
printf 'local all all trust\nhostssl all all 127.0.0.1/32 scram-sha-256\n' >"$srv/data/pg_hba.conf"
printf "ssl = on\nssl_min_protocol_version = 'TLSv1.3'\npassword_encryption = 'scram-sha-256'\n" \
  >>"$srv/data/postgresql.conf"
"${as[@]}" "$bin/pg_ctl" -D "$srv/data" -w -l "$srv/server.log" \
  -o "-c listen_addresses=127.0.0.1 -p $port -k $srv" start >/dev/null || fail "postgres did not start"
sql() { "$bin/psql" -X -q -t -A -v ON_ERROR_STOP=1 -h "$srv" -p "$port" -U ksadmin -d postgres -c "$1"; }
sql "ALTER ROLE ksadmin PASSWORD 'Admin-pass-1'; CREATE ROLE st01 LOGIN PASSWORD 'St01-pass-1'"

# The operator's side: programs, key file, wrap key, CA certificate and passfile in the profile.
"$winerun" "$kdbtool" --help >/dev/null 2>&1 || true # makes the prefix on its first use
profile="$prefix/drive_c/users/张三"
[ -d "$profile" ] || fail "the Wine profile is not C:\\users\\张三: $(ls "$prefix/drive_c/users")"
top="$profile/Documents/池 测试"
rm -rf "$top"
app="$top/Keystation 站"
mkdir -p "$app" "$top/证书 文件"
cp "$cli" "$kdbtool" "$app/"
cp -r "$data/lang" "$app/lang"
cp "$data/devices.ini" "$data/config.ini" "$app/"
cp "$work/ca/ca.crt" "$top/证书 文件/根 证书.crt"
cp "$work/other-ca/ca.crt" "$top/证书 文件/别的 证书.crt"
printf 'localhost:%s:postgres:ksadmin:Admin-pass-1\nlocalhost:%s:postgres:st01:St01-pass-1\n' \
  "$port" "$port" >"$top/证书 文件/密码 文件.conf"
wtop='C:\users\张三\Documents\池 测试'
wapp="$wtop"'\Keystation 站'
export PGPASSFILE="$wtop"'\证书 文件\密码 文件.conf'
tcp="host=localhost hostaddr=127.0.0.1 port=$port dbname=postgres"
# In a connection string '\' escapes the next character: Windows paths are written with '/'.
verified="sslmode=verify-full sslrootcert='C:/users/张三/Documents/池 测试/证书 文件/根 证书.crt'"
admin="$tcp user=ksadmin $verified"
station="$tcp user=st01 $verified"

kdb() { # expected-exit-status, arguments...: kdbtool.exe, its output in kdb.txt
  local want=$1 rc=0
  shift
  "$winerun" "$app/kdbtool.exe" "$@" >kdb.raw 2>&1 || rc=$?
  tr -d '\r' <kdb.raw >kdb.txt
  [ "$rc" -eq "$want" ] || { cat kdb.txt; tail -n 20 "$srv/server.log"; fail "kdbtool exit status $rc, not $want: $*"; }
}
run() { # expected-exit-status, connection string, more arguments...: the console station
  local want=$1 conn=$2 rc=0
  shift 2
  "$winerun" "$app/keystation-cli.exe" --home "$wapp" --key-pool "$conn" --pool line \
    --pool-wrap-key "$wtop"'\证书 文件\包装 密钥.key' --simulate 4 --sim-state "$wtop"'\板 状态' \
    --start --until-idle --keybox 1 --rkp 0 --dest 0 "$@" >out.raw 2>err.raw || rc=$?
  tr -d '\r' <out.raw >out.txt
  tr -d '\r' <err.raw >err.txt
  [ "$rc" -eq "$want" ] || { cat out.txt err.txt; fail "station exit status $rc, not $want: $conn"; }
}

kdb 0 create --keys 16 --key-size 128 "$wtop"'\密钥 文件.kdb'
kdb 0 pool keygen "$wtop"'\证书 文件\包装 密钥.key'
kdb 0 pool --db "$admin" init
kdb 0 pool --db "$admin" import "$wtop"'\密钥 文件.kdb' --pool line --wrap-key "$wtop"'\证书 文件\包装 密钥.key'
sql "GRANT keypool_station TO st01"
kdb 0 pool --db "$admin" bind --pool line st01

# 1. The refusals: before any key is drawn, nothing reaches the server in the clear.
for conn in "host=127.0.0.1 port=$port dbname=postgres user=st01" \
  "$tcp user=st01 sslmode=require" "port=$port dbname=postgres user=st01 sslmode=prefer"; do
  rm -rf "$app/log"
  run 2 "$conn"
  grep -rq "could not be loaded: .*without sslmode=verify-full" "$app/log" ||
    { cat out.txt "$app"/log/*/*; fail "the log gives no reason for refusing $conn"; }
  kdb 1 pool --db "$conn" status
  grep -q "sslmode=verify-full" kdb.txt || { cat kdb.txt; fail "kdbtool: no reason for refusing $conn"; }
done
# A CA certificate whose name fits no code page and has no short name (there is no such file).
rm -rf "$app/log"
run 2 "$tcp user=st01 sslmode=verify-full sslrootcert='C:/users/张三/Documents/池 测试/没有 证书.crt'"
# (The log is in the ANSI code page: the name itself shows as question marks there.)
grep -rq "could not be loaded: .*the PostgreSQL client cannot open .*\.crt: its name does not fit" "$app/log" ||
  { cat out.txt "$app"/log/*/*; fail "a CA certificate libpq cannot open was not named"; }
rm -rf "$app/log"
run 2 "$tcp user=st01 sslmode=verify-full sslrootcert='C:/users/张三/Documents/池 测试/证书 文件/别的 证书.crt'"
grep -rq "could not be loaded: .*certificate verify failed" "$app/log" ||
  { cat out.txt "$app"/log/*/*; fail "a server certificate of another CA was not refused"; }
[ "$(sql "SELECT count(*) FROM keypool.keys WHERE state <> 'free'")" = 0 ] || fail "a refused station drew a key"

# 2. Four boards, one key each, drawn over verified TLS.
run 0 "$station"
[ "$(tail -n 1 out.txt)" = "success 00004 fail 00000 total 00004" ] || { cat out.txt err.txt; fail "counters"; }
[ "$(sql "SELECT count(*) || ' ' || count(DISTINCT slot) FROM keypool.keys WHERE state = 'delivered' AND station = 'st01'")" = "4 4" ] ||
  fail "the pool does not record four keys delivered to four slots: $(sql "SELECT idx, state, slot FROM keypool.keys WHERE state <> 'free'")"
[ "$(sql "SELECT count(*) FROM keypool.keys WHERE state NOT IN ('free', 'delivered')")" = 0 ] ||
  fail "keys left reserved or spent: $(sql "SELECT idx, state FROM keypool.keys WHERE state <> 'free'")"
kdb 0 info "$wtop"'\密钥 文件.kdb'
header=$(sed -n 's/^header size: *//p' kdb.txt)
python3 - "$top/密钥 文件.kdb" "$header" "$top/板 状态" "$(sql "SELECT string_agg(idx::text, ' ') FROM keypool.keys WHERE state = 'delivered'")" <<'EOF' || fail "keys on the boards"
import glob, os, sys
def written(path):  # the bytes of a sparse file's data extents (the images are 4 GiB holes)
    out, fd = [], os.open(path, os.O_RDONLY)
    try:
        end, at = os.fstat(fd).st_size, 0
        while at < end:
            try:
                at = os.lseek(fd, at, os.SEEK_DATA)
            except OSError:
                break
            stop = os.lseek(fd, at, os.SEEK_HOLE)
            out.append(os.pread(fd, stop - at, at))
            at = stop
    finally:
        os.close(fd)
    return b"".join(out)
kdb, header, boards, delivered = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4].split()
data = open(kdb, "rb").read()
keys = [data[header + i * 128:header + (i + 1) * 128] for i in range(16)]
images = sorted(glob.glob(boards + "/board-[0-9][0-9].img"))
assert len(images) == 4, images
held = {}
for image in images:
    # The board's disk, vendor space and the keybox records its loader took.
    content = b"".join(written(f) for f in glob.glob(image[:-4] + ".*"))
    on = [i for i, k in enumerate(keys) if k in content]
    assert len(on) == 1, "%s holds keys %s" % (image, on)
    held.setdefault(on[0], []).append(image)
assert all(len(b) == 1 for b in held.values()), held
assert sorted(held) == sorted(int(i) for i in delivered), (held, delivered)
print("keys on the boards:", sorted(held))
EOF
kdb 0 pool --db "$admin" audit
grep -Eq "^head hash [0-9a-f]{64}$" kdb.txt || { cat kdb.txt; fail "no head hash in the audit"; }

# 3. The same boards again: each holds a key the pool knows, none takes another. The passfile and
# the CA certificate now where libpq looks without being told, %APPDATA%\postgresql (under
# C:\users\张三, which libpq alone would look for as C:\users\??).
mkdir -p "$profile/AppData/Roaming/postgresql"
cp "$top/证书 文件/密码 文件.conf" "$profile/AppData/Roaming/postgresql/pgpass.conf"
cp "$work/ca/ca.crt" "$profile/AppData/Roaming/postgresql/root.crt"
(
  unset PGPASSFILE
  run 0 "$tcp user=st01 sslmode=verify-full"
)
[ "$(tail -n 1 out.txt)" = "success 00000 fail 00000 total 00000" ] || { cat out.txt; fail "second run"; }
[ "$(sql "SELECT count(*) FROM keypool.keys WHERE state <> 'free'")" = 4 ] || fail "the second run drew keys"

# 4. The audit on a Windows whose ANSI code page is Chinese (936): the paths go to libpq as they
# are there, not by short names. Wine takes the code page from the locale, which must exist here
# (scripts/windows.sh makes it).
locale -a | grep -qix 'zh_CN.utf8' || fail "no zh_CN.UTF-8 locale on this machine (scripts/windows.sh makes it)"
(
  export LC_ALL=zh_CN.UTF-8
  kdb 0 pool --db "$admin" audit
)
grep -Eq "^head hash [0-9a-f]{64}$" kdb.txt || { cat kdb.txt; fail "the audit in code page 936"; }
echo PASS
