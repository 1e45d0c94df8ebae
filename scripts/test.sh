#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and runs the whole test
# suite (unit, GUI and the guest test of the real USB stack).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
build=${KS_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKS_WERROR=ON
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" -LE guest
if ctest --test-dir "$build" -N -L guest | grep -q "Total Tests: [1-9]"; then
  ctest --test-dir "$build" --output-on-failure -L guest
fi
