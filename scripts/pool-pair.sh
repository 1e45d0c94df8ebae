#!/usr/bin/env bash
# A key-pool server pair on this machine: a primary and a synchronous standby streaming from it,
# two clusters in DIR with their sockets in DIR (no TCP unless POOL_PAIR_LISTEN is set), for the
# tests and for a trial on one machine. docs/key-pool.md shows the same on two servers.
#
#   scripts/pool-pair.sh DIR [PORT]    create both (PORT for the primary, PORT+1 for the standby;
#                                      default 5432) and start them; prints the connection strings
#   scripts/pool-pair.sh DIR promote   the standby becomes the primary (after the primary died)
#   scripts/pool-pair.sh DIR stop      stops both (fast shutdown)
#   scripts/pool-pair.sh DIR conninfo  prints the connection strings again
#
# The primary commits only when the standby has the commit too (synchronous_commit = on,
# synchronous_standby_names naming the standby). The standby carries no synchronous_standby_names
# of its own: once promoted it commits alone until a new standby is attached, instead of waiting
# for ever for one that does not exist. The superuser is "ksadmin" with trust on the sockets.
# Run as root, the clusters belong to nobody (the server refuses to run as root).
set -euo pipefail

usage() {
    sed -n '5,9p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

[ $# -ge 1 ] || usage
dir=$1
action=${2:-create}
port=5432
if [[ $action =~ ^[0-9]+$ ]]; then
    port=$action
    action=create
fi
[[ $port -ge 1024 && $port -le 65534 ]] || { echo "pool-pair: PORT must be 1024-65534" >&2; exit 2; }

bin=
for d in /usr/lib/postgresql/15/bin /usr/lib/postgresql/16/bin; do
    if [ -x "$d/initdb" ]; then
        bin=$d
        break
    fi
done
[ -n "$bin" ] || { echo "pool-pair: no initdb (install postgresql-15)" >&2; exit 1; }

as_user=()
if [ "$(id -u)" = 0 ]; then
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
run() { "${as_user[@]}" "$@"; }

conninfo() {
    local d p
    d=$(cd "$dir" && pwd)
    p=$(sed -n 's/^port = \([0-9]*\)$/\1/p' "$d/primary/postgresql.conf" | tail -1)
    echo "primary:  host=$d port=$p user=ksadmin dbname=postgres"
    echo "standby:  host=$d port=$((p + 1)) user=ksadmin dbname=postgres"
    echo "stations: host=$d,$d port=$p,$((p + 1)) target_session_attrs=read-write user=STATION dbname=postgres"
}

case $action in
create)
    if [ -e "$dir" ] && [ -n "$(ls -A "$dir" 2>/dev/null)" ]; then
        echo "pool-pair: $dir exists and is not empty" >&2
        exit 1
    fi
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    case $dir in *[!A-Za-z0-9/_.-]*)
        echo "pool-pair: DIR may hold only A-Z a-z 0-9 / _ . -" >&2
        exit 2
        ;;
    esac
    [ ${#as_user[@]} -eq 0 ] || chown nobody:nogroup "$dir"
    chmod 700 "$dir"
    nosync=()
    [ -z "${POOL_PAIR_NOSYNC:-}" ] || nosync=(--no-sync)
    run "$bin/initdb" -D "$dir/primary" -U ksadmin -A trust -E UTF8 "${nosync[@]}" \
        >"$dir/initdb.log" 2>&1 || { echo "pool-pair: initdb failed ($dir/initdb.log)" >&2; exit 1; }
    listen=${POOL_PAIR_LISTEN:-}
    run tee -a "$dir/primary/postgresql.conf" >/dev/null <<EOF

# pool-pair.sh: the primary of a synchronous pair
listen_addresses = '$listen'
port = $port
unix_socket_directories = '$dir'
wal_level = replica
max_wal_senders = 4
max_replication_slots = 4
hot_standby = on
synchronous_commit = on
synchronous_standby_names = 'FIRST 1 (standby)'
wal_sender_timeout = 10s
EOF
    run "$bin/pg_ctl" -D "$dir/primary" -w -l "$dir/primary.log" start >/dev/null
    run "$bin/pg_basebackup" -h "$dir" -p "$port" -U ksadmin -D "$dir/standby" -X stream -c fast \
        -R -C -S standby "${nosync[@]}" >"$dir/basebackup.log" 2>&1 ||
        { echo "pool-pair: pg_basebackup failed ($dir/basebackup.log)" >&2; exit 1; }
    run tee -a "$dir/standby/postgresql.auto.conf" >/dev/null <<EOF
# pool-pair.sh: the standby streams from the primary under the name the primary waits for
port = $((port + 1))
primary_conninfo = 'host=$dir port=$port user=ksadmin application_name=standby'
primary_slot_name = 'standby'
synchronous_standby_names = ''
wal_receiver_status_interval = 1s
EOF
    run "$bin/pg_ctl" -D "$dir/standby" -w -l "$dir/standby.log" start >/dev/null
    # Ready when the primary names the standby synchronous.
    for _ in $(seq 1 100); do
        state=$(run "$bin/psql" -h "$dir" -p "$port" -U ksadmin -d postgres -XAtc \
            "SELECT sync_state FROM pg_stat_replication WHERE application_name = 'standby'" \
            2>/dev/null || true)
        [ "$state" = sync ] && break
        sleep 0.1
    done
    [ "${state:-}" = sync ] || { echo "pool-pair: the standby did not become synchronous" >&2; exit 1; }
    conninfo
    ;;
promote)
    run "$bin/pg_ctl" -D "$dir/standby" -w promote >/dev/null
    echo "pool-pair: the standby is the primary now"
    ;;
stop)
    for c in primary standby; do
        if [ -f "$dir/$c/postmaster.pid" ]; then
            run "$bin/pg_ctl" -D "$dir/$c" -w -m fast stop >/dev/null || true
        fi
    done
    ;;
conninfo)
    conninfo
    ;;
*)
    usage
    ;;
esac
