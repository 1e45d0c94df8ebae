#!/usr/bin/env bash
# The maker's driver's pipe files through the system's file calls under Wine: a device path that is
# a folder (named in Chinese, with a space) holding two FIFOs, PIPE00 and PIPE01, served by an
# emulated loader inside the test program (DriverFilesOnWineTest.cpp).
# Usage: driver_files_test.sh WINERUN TESTS.exe WORKDIR
set -euo pipefail
winerun=$1 tests=$2 work=$3
rm -rf "$work"
device="$work/板 1"
mkdir -p "$device"
mkfifo "$device/PIPE00" "$device/PIPE01"
KS_DRIVER_FOLDER="Z:$(echo "$device" | tr / '\\')" \
  "$winerun" "$tests" --gtest_filter='MakersDriverFilesUnderWine.*' 2>&1 |
  tr -d '\r' | tee "$work/out.txt"
grep -q '^\[  PASSED  \] 1 test' "$work/out.txt"
