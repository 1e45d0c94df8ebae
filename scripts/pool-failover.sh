#!/usr/bin/env bash
# Failover at many moments: three console stations of eight simulated boards on a primary with a
# synchronous standby; the primary is stopped (pg_ctl stop -m immediate) RUNS times (default 40)
# at a random moment (after 0 to 23 of the 24 boards' reservations), the standby promoted,
# the stations run on and again; each run checks that no key is on two boards, that every key on
# a board is reserved, delivered or spent on the new primary, that every job reported done is
# delivered there, and that the audit passes. CI runs two moments.
# Usage: scripts/pool-failover.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-40}
[[ $runs =~ ^[0-9]+$ ]] || { echo "usage: $0 [RUNS]" >&2; exit 2; }
scripts/deps.sh test
build=${KS_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target ks_pool_tests keystation-cli kdbtool
moments=
for _ in $(seq 1 "$runs"); do
    moments="$moments${moments:+,}$((RANDOM % 24))"
done
echo "stopping the primary after these numbers of reservations: $moments"
KS_FAILOVER_MOMENTS=$moments "$build/tests/pool/ks_pool_tests" \
    --gtest_filter='Failover.ThreeStationsFollowThePromotedStandbyAndNoKeyIsOnTwoBoardsOrLost'
