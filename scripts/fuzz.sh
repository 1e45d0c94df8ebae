#!/usr/bin/env bash
# Builds the fuzz targets (clang, ASan + UBSan) and runs each for SECONDS (default 600), one after
# the other, from its seed corpus and what earlier runs of this script found. Usage:
#   scripts/fuzz.sh [SECONDS] [TARGET...]      e.g. scripts/fuzz.sh 3600 kdb transport
# Found inputs stay in $KS_FUZZ_DIR (default build-fuzz/fuzz-runs/<what>/corpus); crash files go
# to the same folder. Exits with 1 when any target crashed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(kdb ini partition vendor transport descriptors uevent codepage)
build=${KS_FUZZ_BUILD_DIR:-build-fuzz}
runs=${KS_FUZZ_DIR:-$build/fuzz-runs}

scripts/deps.sh test
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKS_WERROR=ON -DKS_FUZZ=ON -DKS_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ks-fuzz-run.XXXXXX")
[ -d /dev/shm ] && scratch=$(mktemp -d /dev/shm/ks-fuzz-run.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failed=0
for what in "${targets[@]}"; do
  dir="$runs/$what"
  mkdir -p "$dir/corpus"
  dict=()
  [ -f "tests/fuzz/dict/$what.dict" ] && dict=(-dict="tests/fuzz/dict/$what.dict")
  echo "== fuzz_$what for ${seconds} s"
  if ! TMPDIR="$scratch" "$build/tests/fuzz/fuzz_$what" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/" "${dict[@]}" \
      "$dir/corpus" "tests/fuzz/corpus/$what" 2>"$dir/log.txt"; then
    failed=1
    echo "fuzz_$what crashed; see $dir/log.txt and $dir/crash-*"
  fi
  grep -E "^#[0-9]+ +DONE|stat::number_of_executed_units|stat::average_exec_per_sec" "$dir/log.txt" || true
done
exit $failed
