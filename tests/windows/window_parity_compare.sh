#!/usr/bin/env bash
# The Windows window's read-back states against the Qt window's, step by step, in English and in
# Chinese. The Qt window's come from the Linux build's gui test (WindowParityTest): the first
# QT_DIR holding them is taken; with none, the test is skipped (exit 77) and says so.
#
# usage: window_parity_compare.sh WIN_DIR QT_DIR...
set -uo pipefail
win_dir=$1
shift
qt_dir=""
for d in "$@"; do
  if [ -f "$d/parity-qt-en.txt" ] && [ -f "$d/parity-qt-zh.txt" ]; then
    qt_dir=$d
    break
  fi
done
if [ -z "$qt_dir" ]; then
  echo "SKIP: no Qt window states in $* (run the Linux build's gui tests first)"
  exit 77
fi
status=0
for tag in en zh; do
  if diff -u "$qt_dir/parity-qt-$tag.txt" "$win_dir/parity-win32-$tag.txt"; then
    echo "$tag: $(grep -c '^## ' "$win_dir/parity-win32-$tag.txt") steps alike ($qt_dir)"
  else
    echo "FAIL: the Windows window differs from the Qt window ($tag)"
    status=1
  fi
done
exit $status
