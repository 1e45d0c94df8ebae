#!/usr/bin/env bash
# The key promise at full size: the console station killed with SIGKILL at KILLS random moments
# (default 200) over eight boards kept in files, then a clean run; and a soak of JOBS jobs
# (default 10000) on sixteen ports of emulated boards with random faults, every other board lying.
# CI runs the same tests smaller (30 kills, 3000 jobs). Usage: scripts/key-integrity.sh [KILLS] [JOBS]; KS_KILL_DEST=0, 1 or 2 in the
# environment kills every run at one destination (misc, vendor storage, item 8) instead of a mix.
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-200}
jobs=${2:-10000}
scripts/deps.sh test
build=${KS_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target ks_integrity_tests keystation-cli kdbtool
KS_KILL_RUNS=$kills KS_SOAK_JOBS=$jobs \
  "$build/tests/integrity/ks_integrity_tests" --gtest_filter='KillTest.*:SoakTest.*'
