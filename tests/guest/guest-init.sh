#!/bin/sh
# The guest's init (PID 1, busybox sh): mounts the kernel file systems, loads the USB host
# modules with their parameters (busybox insmod does not take them from the kernel command line),
# runs the scenarios and powers off. Every result goes to the serial console:
#   GUEST-PLAN <n>            number of checks the scenarios will report
#   GUEST-PASS <name> ...     one passed check
#   GUEST-FAIL <name>: why    one failed check
#   GUEST-FIGURE <key>=<val>  a measurement
#   GUEST-DONE passed=<n> failed=<m>
/bin/busybox --install -s /bin
export PATH=/opt/ks/bin:/bin:/sbin
export LD_LIBRARY_PATH=/lib/x86_64-linux-gnu:/usr/lib/x86_64-linux-gnu
export HOME=/tmp
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
# The kernel's messages would interleave with the results on the console.
echo 1 > /proc/sys/kernel/printk

PASSED=0
FAILED=0
pass() { echo "GUEST-PASS $*"; PASSED=$((PASSED + 1)); }
fail() { echo "GUEST-FAIL $*"; FAILED=$((FAILED + 1)); }
figure() { echo "GUEST-FIGURE $1=$2"; }
# Milliseconds since boot.
now_ms() {
  read -r up _ < /proc/uptime
  echo $(( ${up%.*} * 1000 + 1${up#*.}0 - 1000 ))
}
finish() {
  echo "GUEST-DONE passed=$PASSED failed=$FAILED"
  sync
  poweroff -f
  sleep 5
  echo o > /proc/sysrq-trigger
}

echo "GUEST-INIT uptime_ms=$(now_ms)"
figure boot_to_init_ms "$(now_ms)"

# Module parameters: keep devices awake (no autosuspend between a job's transfers), one virtual
# host controller.
modules_ok=1
for m in $(cat /lib/modules/order); do
  case "$m" in
    usbcore.ko) params="autosuspend=-1" ;;
    vhci-hcd.ko) params="num_controllers=1" ;;
    *) params="" ;;
  esac
  if ! insmod "/lib/modules/$m" $params; then
    echo "GUEST-PLAN 1"
    fail modules: "insmod $m $params failed"
    modules_ok=0
    break
  fi
done
if [ "$modules_ok" = 1 ] && [ ! -e /sys/devices/platform/vhci_hcd.0/attach ]; then
  echo "GUEST-PLAN 1"
  fail modules: "vhci_hcd.0 did not appear"
  modules_ok=0
fi
if [ "$modules_ok" = 1 ]; then
  figure modules_loaded_ms "$(now_ms)"
  . /opt/ks/scenarios.sh
fi
finish
