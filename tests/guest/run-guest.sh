#!/usr/bin/env bash
# Host side of the guest test: prepares the kernel (cached), builds the initramfs with the
# station's binaries, boots it under qemu (TCG, no display, serial console on stdout, a time
# limit) and judges the console: the test passes only when the guest finished, reported every
# planned check as passed and none as failed. Anything else fails with the guest's whole output.
#
# Usage: run-guest.sh --source DIR --work DIR --cache DIR [--timeout SECONDS] [--smp N]
#                     [--memory MB] --bin PATH...
#
# One virtual CPU by default: under TCG a second one makes every USB transfer slower (wake-ups
# cross between the emulation threads), by a factor of two to four on a busy two-core machine.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir="" work="" cache="" timeout_s=600 smp=1 memory=1024
bins=()
while [ $# -gt 0 ]; do
  case "$1" in
    --source) source_dir=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    --timeout) timeout_s=$2; shift 2 ;;
    --smp) smp=$2; shift 2 ;;
    --memory) memory=$2; shift 2 ;;
    --bin) bins+=("$2"); shift 2 ;;
    *) echo "run-guest: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$source_dir" ] && [ -n "$work" ] && [ -n "$cache" ] || {
  echo "run-guest: --source, --work and --cache are required" >&2
  exit 2
}

fail() {
  echo "GUEST TEST FAILED: $*"
  exit 1
}

# qemu must be able to run at all; otherwise the test fails and says why.
QEMU=$(command -v qemu-system-x86_64 || true)
[ -n "$QEMU" ] || fail "qemu-system-x86_64 is not installed (Debian package qemu-system-x86); the guest test cannot run"
"$QEMU" --version > /dev/null 2>&1 || fail "qemu-system-x86_64 does not run: $("$QEMU" --version 2>&1 | head -n 3)"
for tool in busybox cpio; do
  command -v "$tool" > /dev/null || fail "$tool is not installed (Debian packages busybox-static, cpio)"
done
for b in "${bins[@]}"; do
  [ -x "$b" ] || fail "station binary $b is missing (build it first)"
done

mkdir -p "$work" "$cache"
kernel_info=$("$here/prepare-kernel.sh" "$cache") || fail "the guest kernel could not be prepared"
eval "$kernel_info"

initrd="$work/initrd.cpio.gz"
bin_args=()
for b in "${bins[@]}"; do bin_args+=(--bin "$b"); done
"$here/make-initramfs.sh" --modroot "$MODROOT" --kver "$KVER" --out "$initrd" \
  --init "$here/guest-init.sh" --file "$here/scenarios.sh=/opt/ks/scenarios.sh" \
  --dir "$source_dir/data=/opt/ks/data" "${bin_args[@]}" || fail "the initramfs could not be built"

console="$work/console.log"
rm -f "$console"
echo "run-guest: booting $(basename "$KERNEL") under TCG (limit ${timeout_s} s)"
start=$(date +%s%N)
timeout -k 10 "$timeout_s" "$QEMU" -accel tcg -machine q35 -cpu max -smp "$smp" -m "$memory" \
  -nodefaults -no-reboot -display none -serial stdio -monitor none \
  -kernel "$KERNEL" -initrd "$initrd" \
  -append "console=ttyS0 panic=-1 oops=panic quiet loglevel=3 rdinit=/init" \
  < /dev/null > "$console" 2>&1
qemu_rc=$?
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
tr -d '\r' < "$console" > "$console.txt"

show_console() {
  echo "===== guest console ($console) ====="
  cat "$console.txt"
  echo "===== end of guest console ====="
}

if ! grep -q '^GUEST-INIT' "$console.txt"; then
  show_console
  [ $qemu_rc = 124 ] && fail "the guest did not reach its init within ${timeout_s} s"
  fail "qemu could not boot the guest (exit $qemu_rc)"
fi
if ! grep -q '^GUEST-DONE' "$console.txt"; then
  show_console
  [ $qemu_rc = 124 ] && fail "the guest did not finish within ${timeout_s} s"
  fail "the guest stopped before finishing (qemu exit $qemu_rc)"
fi

plan=$(sed -n 's/^GUEST-PLAN \([0-9]*\)$/\1/p' "$console.txt" | head -n 1)
passed=$(grep -c '^GUEST-PASS ' "$console.txt")
failed=$(grep -c '^GUEST-FAIL ' "$console.txt")
grep -E '^GUEST-(PASS|FAIL|FIGURE)' "$console.txt" > "$work/results.txt"
echo "run-guest: qemu ran ${elapsed_ms} ms"
echo "GUEST-FIGURE qemu_wall_ms=${elapsed_ms}" >> "$work/results.txt"

if [ "$failed" != 0 ] || [ -z "$plan" ] || [ "$passed" -lt "$plan" ]; then
  show_console
  echo "---- summary"
  grep -E '^GUEST-(FAIL|PLAN|DONE)' "$console.txt"
  fail "$failed of the guest's checks failed, $passed of ${plan:-?} passed"
fi
cat "$work/results.txt"
echo "$passed passed, 0 failed"
exit 0
