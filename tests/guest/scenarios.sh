# The guest's scenarios, sourced by the init after the USB host modules are loaded. Uses pass,
# fail, figure and now_ms from the init. Emulated devices are served by usbip-sim through
# vhci-hcd; the station's own binaries run on the real Linux platform (no simulation).
#
# Ports (vhci port p is the sysfs device p+1 of bus 1):
#   0-3  loaders for the misc run          4  a ROM-mode device (never listed, never provisioned)
#   5-6  loaders for the vendor-storage run (reset, leave, come back at the same port; 5 stays on
#        the bus, not answering, for 600 ms after its reset, as a real board's old enumeration does)
#   7    a loader unplugged at its key write
#   8    a loader stalling its first command block   9  a loader not answering two status reads
#   10   an echo device for raw usbfs figures           11 a loader reset by the check program
#   12   a loader whose node only becomes accessible to the (non-root) station 2 s after it arrived

BIN=/opt/ks/bin
DATA=/opt/ks/data
KDB=/tmp/keys.kdb
KEY_COUNT=12
CLI_TIMEOUT=240

echo "GUEST-PLAN 33"

SIM_PID=""
SIM_TAG=""
# start_sim TAG DEVICE... : serves the devices; true once all have enumerated.
start_sim() {
  SIM_TAG=$1
  shift
  mkdir -p "/tmp/sim-$SIM_TAG"
  rm -f "/tmp/sim-$SIM_TAG/ready"
  "$BIN/usbip-sim" --state-dir "/tmp/sim-$SIM_TAG" --ready "/tmp/sim-$SIM_TAG/ready" "$@" \
    > "/tmp/sim-$SIM_TAG.log" 2>&1 &
  SIM_PID=$!
  i=0
  while [ ! -f "/tmp/sim-$SIM_TAG/ready" ] && [ $i -lt 600 ]; do
    sleep 0.1
    i=$((i + 1))
  done
  if ! grep -q '^ok' "/tmp/sim-$SIM_TAG/ready" 2>/dev/null; then
    echo "usbip-sim ($SIM_TAG) did not get ready:"
    cat "/tmp/sim-$SIM_TAG.log"
    return 1
  fi
  return 0
}

# stop_sim : detaches the devices and waits for the server (killing it after 30 s).
stop_sim() {
  [ -n "$SIM_PID" ] || return 0
  kill -TERM "$SIM_PID" 2>/dev/null
  ( sleep 30; kill -KILL "$SIM_PID" 2>/dev/null ) &
  watchdog=$!
  wait "$SIM_PID"
  kill "$watchdog" 2>/dev/null
  SIM_PID=""
}

# state NAME KEY : a value from the device's usbip-sim state file.
state() {
  sed -n "s/^$2=//p" "/tmp/sim-$SIM_TAG/$1.state" 2>/dev/null
}

show_sim_log() {
  echo "---- usbip-sim log ($SIM_TAG)"
  cat "/tmp/sim-$SIM_TAG.log"
  echo "----"
}

# make_home DIR KEY=VALUE... : a station folder with the shipped settings, edited.
make_home() {
  home=$1
  shift
  rm -rf "$home"
  mkdir -p "$home/rkp"
  cp -r "$DATA/lang" "$DATA/devices.ini" "$home/"
  cp "$DATA/config.ini" "$home/config.ini"
  for kv in "$@"; do
    key=${kv%%=*}
    sed -i "s#^$key=.*#$kv#" "$home/config.ini"
  done
}

# station_log HOME : the station's log files, concatenated.
station_log() {
  find "$1" -name '*.txt' -path '*log*' -exec cat {} + 2>/dev/null
}

# has_uevent_socket PID : the process holds a kernel-uevent netlink socket (protocol 15) bound to
# multicast group 1.
has_uevent_socket() {
  for inode in $(ls -l "/proc/$1/fd" 2>/dev/null | sed -n 's/.*socket:\[\([0-9]*\)\].*/\1/p'); do
    awk -v ino="$inode" '$2 == 15 && $4 == "00000001" && $NF == ino { f = 1 } END { exit !f }' \
      /proc/net/netlink && return 0
  done
  return 1
}

# run_cli TAG HOME : runs one station session until it is idle (killed after CLI_TIMEOUT s);
# output in /tmp/cli-TAG.out. Sets CLI_RC, CLI_MS and UEVENT_SOCKET (1 when the station was seen
# holding its uevent socket).
# With CLI_USER set, the station runs as that user.
run_cli() {
  t0=$(now_ms)
  if [ -n "${CLI_USER:-}" ]; then
    su -s /bin/sh "$CLI_USER" -c "'$BIN/keystation-cli' --home '$2' --kdb '$KDB' --start --until-idle" \
      > "/tmp/cli-$1.out" 2>&1 &
  else
    "$BIN/keystation-cli" --home "$2" --kdb "$KDB" --start --until-idle > "/tmp/cli-$1.out" 2>&1 &
  fi
  cli=$!
  ( sleep "$CLI_TIMEOUT"; kill -KILL "$cli" 2>/dev/null ) &
  dog=$!
  UEVENT_SOCKET=0
  i=0
  while [ $i -lt 100 ] && kill -0 "$cli" 2>/dev/null; do
    if has_uevent_socket "$cli"; then
      UEVENT_SOCKET=1
      break
    fi
    sleep 0.05
    i=$((i + 1))
  done
  wait "$cli"
  CLI_RC=$?
  kill "$dog" 2>/dev/null
  CLI_MS=$(( $(now_ms) - t0 ))
  echo "---- keystation-cli ($1): exit $CLI_RC after $CLI_MS ms"
  cat "/tmp/cli-$1.out"
  echo "---- station log ($1)"
  station_log "$2" | tr -d '\r'
  echo "----"
}

# check_counts TAG SUCCESS FAIL TOTAL
check_counts() {
  want=$(printf 'success %05d fail %05d total %05d' "$2" "$3" "$4")
  if [ "$CLI_RC" = 137 ]; then
    fail "$1-counts: the station did not finish within $CLI_TIMEOUT s"
  elif grep -qx "$want" "/tmp/cli-$1.out"; then
    pass "$1-counts: $want"
  else
    fail "$1-counts: expected '$want', exit $CLI_RC"
  fi
}

# check_unused WHAT N : the key file passes kdbtool info with N unused keys of KEY_COUNT.
check_unused() {
  info=$("$BIN/kdbtool" info --json "$KDB" 2>&1)
  rc=$?
  keys=$(echo "$info" | sed -n 's/.*"keyCount":\([0-9]*\).*/\1/p')
  unused=$(echo "$info" | sed -n 's/.*"unusedCount":\([0-9]*\).*/\1/p')
  if [ "$rc" = 0 ] && echo "$info" | grep -q '"valid":true' && [ "$keys" = "$KEY_COUNT" ] &&
     [ "$unused" = "$2" ]; then
    pass "$1: key file valid, $unused of $keys keys unused"
  else
    fail "$1: kdbtool info (exit $rc) gave: $info (expected $2 unused of $KEY_COUNT)"
  fi
}

# check_no_polling WHAT HOME TAG : device-change notices came from the uevent socket: the station
# held a uevent netlink socket during the run, and neither the station log nor the program's
# output has the monitor's or the controller's fallback line.
check_no_polling() {
  lines=$( (station_log "$2"; cat "/tmp/cli-$3.out" 2>/dev/null) |
           grep -e 'UeventMonitor-->.*polling every' -e 'device change notices unavailable')
  if [ -n "$lines" ]; then
    fail "$1: the station fell back to polling: $lines"
  elif [ "$UEVENT_SOCKET" != 1 ]; then
    fail "$1: the station held no uevent netlink socket (group 1) during its run"
  elif [ -z "$(station_log "$2")" ]; then
    fail "$1: no station log found under $2"
  else
    pass "$1: notices from the uevent socket, no polling fallback"
  fi
}

for tool in usbip-sim ks-guest-usbcheck keystation-cli kdbtool; do
  [ -x "$BIN/$tool" ] || echo "missing binary: $tool"
done

# ---------------------------------------------------------------------------------------------
# Key file for all runs.
if "$BIN/kdbtool" create --keys "$KEY_COUNT" --key-size 128 "$KDB" > /tmp/kdb-create.out 2>&1; then
  pass kdb-create: "$KEY_COUNT keys of 128 bytes"
else
  fail kdb-create: "$(cat /tmp/kdb-create.out)"
fi

# ---------------------------------------------------------------------------------------------
# Misc run: four loaders at once, a ROM-mode device beside them.
t0=$(now_ms)
if start_sim misc port=0,demo=0 port=1,demo=1 port=2,demo=2 port=3,demo=3 port=4,type=rom,demo=4
then
  figure enumerate_5_devices_ms $(( $(now_ms) - t0 ))
  pass misc-enumerate: "$(cat /tmp/sim-misc/ready)"
  make_home /tmp/home-misc DestPosition=0 GetRkp=1 WriteKeybox=1 SavePath=/tmp/home-misc/rkp/

  "$BIN/keystation-cli" --home /tmp/home-misc --list > /tmp/list.out 2>&1
  echo "---- keystation-cli --list"; cat /tmp/list.out; echo "----"
  listed=$(awk -F'\t' '{print $1}' /tmp/list.out | sort | tr '\n' ' ')
  if [ "$listed" = "1-1 1-2 1-3 1-4 " ] && ! grep -q '1-5' /tmp/list.out &&
     [ "$(grep -c "$(printf '\tf00d:350a\t')" /tmp/list.out)" = 4 ]; then
    pass list: "loaders at 1-1..1-4 listed, the ROM-mode device at 1-5 not"
  else
    fail list: "expected the loaders at 1-1 1-2 1-3 1-4 only, got: $listed"
  fi

  run_cli misc /tmp/home-misc
  figure misc_run_4_devices_ms "$CLI_MS"
  check_counts misc 4 0 4
  if [ "$(grep -c 'Success\[KeyBox RKP\]' /tmp/cli-misc.out)" = 4 ]; then
    pass misc-rows: "four rows report success with keybox and RKP"
  else
    fail misc-rows: "expected four 'Success[KeyBox RKP]' rows"
  fi
  n=$(ls /tmp/home-misc/rkp/*.json 2>/dev/null | wc -l)
  if [ "$n" = 4 ]; then pass misc-rkp: "4 RKP files"; else fail misc-rkp: "$n RKP files"; fi
  check_unused misc-keyfile $((KEY_COUNT - 4))
  check_no_polling misc-uevent /tmp/home-misc misc
  stop_sim
  job=$(state 1-1 job_ms)
  figure misc_job_ms "$job"
  [ "$(state 1-5 commands)" = 0 ] && pass misc-rom-untouched: "no command reached the ROM-mode device" ||
    fail misc-rom-untouched: "the ROM-mode device got $(state 1-5 commands) commands"
else
  fail misc-enumerate: "usbip-sim: $(cat /tmp/sim-misc/ready 2>/dev/null)"
  show_sim_log
  stop_sim
fi

# ---------------------------------------------------------------------------------------------
# Vendor-storage run: two loaders; each resets, leaves the bus and comes back at its port.
if start_sim vendor port=5,demo=5,linger-ms=600 port=6,demo=6; then
  pass vendor-enumerate: "$(cat /tmp/sim-vendor/ready)"
  make_home /tmp/home-vendor DestPosition=1 GetRkp=1 WriteKeybox=1 SavePath=/tmp/home-vendor/rkp/
  run_cli vendor /tmp/home-vendor
  figure vendor_run_2_devices_ms "$CLI_MS"
  check_counts vendor 2 0 2
  if [ "$(grep -c 'Success\[KeyBox RKP\]' /tmp/cli-vendor.out)" = 2 ] &&
     [ "$(grep -c 'Waiting for device' /tmp/cli-vendor.out)" -ge 2 ] &&
     [ "$(grep -c 'Checking vendor storage' /tmp/cli-vendor.out)" -ge 2 ]; then
    pass vendor-rows: "both rows went through reset, wait and check to success"
  else
    fail vendor-rows: "expected wait, check and success for both rows"
  fi
  n=$(station_log /tmp/home-vendor | grep -c 'Info:in HandleRemoveDevice')
  if [ "$n" -ge 2 ]; then
    pass vendor-leave-seen: "the station saw both devices leave ($n removal notices handled)"
  else
    fail vendor-leave-seen: "$n removals handled, expected one per device"
  fi
  check_unused vendor-keyfile $((KEY_COUNT - 6))
  check_no_polling vendor-uevent /tmp/home-vendor vendor
  stop_sim
  ok=1
  for d in 1-6 1-7; do
    [ "$(state $d resets)" = 1 ] && [ "$(state $d attaches)" = 2 ] && [ "$(state $d name)" = "$d" ] ||
      ok=0
  done
  if [ $ok = 1 ]; then
    pass vendor-reset: "both devices reset once and came back at 1-6 and 1-7"
  else
    fail vendor-reset: "1-6: $(state 1-6 resets) resets, $(state 1-6 attaches) attaches at $(state 1-6 name); 1-7: $(state 1-7 resets) resets, $(state 1-7 attaches) attaches at $(state 1-7 name)"
    show_sim_log
  fi
  figure vendor_job_ms "$(state 1-6 job_ms)"
  figure vendor_reset_reenumerate_ms "$(state 1-6 reenum_ms)"
  figure vendor_reset_detach_to_configured_ms "$(state 1-6 reset_to_configured_ms)"
  figure vendor_reset_detach_to_next_command_ms "$(state 1-6 reset_to_command_ms)"
else
  fail vendor-enumerate: "usbip-sim: $(cat /tmp/sim-vendor/ready 2>/dev/null)"
  show_sim_log
  stop_sim
fi

# ---------------------------------------------------------------------------------------------
# Unplug in the middle of a job: the device leaves the bus when its key write arrives.
if start_sim unplug port=7,demo=7,unplug-opcode=0x15; then
  make_home /tmp/home-unplug DestPosition=0 GetRkp=0 WriteKeybox=1
  run_cli unplug /tmp/home-unplug
  check_counts unplug 0 1 1
  # The row of 1-8 ends with the misc write failure, which names the key the board may hold; its
  # location cell is empty by then when the removal was handled during the job.
  slot=$(sed -n 's/^slot \([0-9]*\) \[1-8\] .*/\1/p' /tmp/cli-unplug.out | head -n 1)
  last=$(grep "^slot $slot \[" /tmp/cli-unplug.out | tail -n 1)
  if [ -n "$slot" ] && echo "$last" | grep -Eq '^slot [0-9]+ \[(1-8)?\] Failed to write key to misc; may hold key [0-9]+: set the board aside$'; then
    pass unplug-status: "slot $slot ends with the misc write failure: $last"
  else
    fail unplug-status: "expected slot ${slot:-?} to end with 'Failed to write key to misc; may hold key N: set the board aside', got: $last"
  fi
  if station_log /tmp/home-unplug | grep -q 'ZRU_WriteLBA failed'; then
    pass unplug-log: "$(station_log /tmp/home-unplug | grep -m1 'ZRU_WriteLBA failed')"
  else
    fail unplug-log: "no ZRU_WriteLBA failure in the station log"
  fi
  if station_log /tmp/home-unplug | grep -q "<ID $slot>Info:in HandleRemoveDevice" &&
     echo "$last" | grep -q '^slot [0-9]* \[\]'; then
    pass unplug-released: "slot $slot released: removal handled, its location cell emptied"
  else
    fail unplug-released: "no removal of slot ${slot:-?} handled (log), or its location stayed"
  fi
  # The key was reserved before its bytes went out and the board left with the write in flight:
  # it may be on the board, so it is spent, never handed to another one.
  check_unused unplug-keyfile $((KEY_COUNT - 7))
  check_no_polling unplug-uevent /tmp/home-unplug unplug
  stop_sim
  [ "$(state 1-8 unplugged)" = 1 ] && pass unplug-device: "the device left the bus at its key write" ||
    fail unplug-device: "the unplug fault did not fire"
else
  fail unplug-device: "usbip-sim: $(cat /tmp/sim-unplug/ready 2>/dev/null)"
  show_sim_log
  stop_sim
fi

# ---------------------------------------------------------------------------------------------
# Transport: pipe reset after a stall, and a transfer time-out that ends the command.
if start_sim transport port=8,demo=8,fail-cmd=1 port=9,demo=9,hang-cmd=1,hang-count=2 \
     port=10,type=echo port=11,demo=11; then
  if "$BIN/ks-guest-usbcheck" stall 1-9 > /tmp/stall.out 2>&1; then
    pass transport-stall: "the command recovered through the pipe reset"
  else
    fail transport-stall: "see below"
  fi
  cat /tmp/stall.out
  if "$BIN/ks-guest-usbcheck" timeout 1-10 > /tmp/timeout.out 2>&1; then
    pass transport-timeout: "the unanswered transfer ended as a failed command"
  else
    fail transport-timeout: "see below"
  fi
  cat /tmp/timeout.out
  if "$BIN/ks-guest-usbcheck" reset 1-12 "$DATA/devices.ini" > /tmp/reset.out 2>&1; then
    pass transport-reset: "the loader left, came back at 1-12 and WaitForDevice found it"
  else
    fail transport-reset: "see below"
  fi
  cat /tmp/reset.out
  if "$BIN/ks-guest-usbcheck" echo 1-11 > /tmp/echo.out 2>&1; then
    pass transport-echo: "usbfs exchanges and streams through vhci come back unchanged"
  else
    fail transport-echo: "see below"
  fi
  cat /tmp/echo.out
  stop_sim
  sed -n 's/^FIGURE /GUEST-FIGURE /p' /tmp/stall.out /tmp/timeout.out /tmp/reset.out /tmp/echo.out
  if [ "$(state 1-12 resets)" = 1 ] && [ "$(state 1-12 attaches)" = 2 ]; then
    pass transport-reset-bus: "usbip-sim detached 1-12 for the reset and attached it again"
    figure reset_gone_ms "$(state 1-12 gone_ms)"
    figure reset_reenumerate_ms "$(state 1-12 reenum_ms)"
    figure reset_detach_to_configured_ms "$(state 1-12 reset_to_configured_ms)"
  else
    fail transport-reset-bus: "1-12: resets=$(state 1-12 resets) attaches=$(state 1-12 attaches)"
  fi
  if [ "$(state 1-9 clear_halts)" -ge 1 ] 2>/dev/null; then
    pass transport-clear-halt: "$(state 1-9 clear_halts) CLEAR_FEATURE(ENDPOINT_HALT) requests reached the device"
  else
    fail transport-clear-halt: "no clear-halt request reached the device"
  fi
  if [ "$(state 1-10 held_unlinked)" = 2 ]; then
    pass transport-unlink: "both held status reads were unlinked by the host"
  else
    fail transport-unlink: "held_unlinked=$(state 1-10 held_unlinked), expected 2"
  fi
else
  fail transport-stall: "usbip-sim: $(cat /tmp/sim-transport/ready 2>/dev/null)"
  show_sim_log
  stop_sim
fi

# ---------------------------------------------------------------------------------------------
# A station run by an operator without root: the kernel announces the board before udev has made
# its node accessible (here a helper opens it up 2 s after the board arrived); the first open is
# refused, tried again, and the job goes through.
if start_sim perm port=12,demo=12; then
  pass perm-enumerate: "$(cat /tmp/sim-perm/ready)"
  grep -q '^operator:' /etc/passwd 2>/dev/null || echo 'operator:x:1000:1000::/tmp:/bin/sh' >> /etc/passwd
  grep -q '^operator:' /etc/group 2>/dev/null || echo 'operator:x:1000:' >> /etc/group
  make_home /tmp/home-perm DestPosition=0 GetRkp=0 WriteKeybox=1
  chown -R 1000:1000 /tmp/home-perm "$KDB" "$KDB".*
  node=$(printf '/dev/bus/usb/%03d/%03d' "$(cat /sys/bus/usb/devices/1-13/busnum)" \
         "$(cat /sys/bus/usb/devices/1-13/devnum)")
  chmod 0600 "$node"
  ( sleep 2; chmod 0666 "$node" ) &
  opener=$!
  CLI_USER=operator run_cli perm /tmp/home-perm
  wait "$opener" 2>/dev/null
  check_counts perm 1 0 1
  waited=$(station_log /tmp/home-perm | grep 'UsbfsPipes-->.*not accessible at first, opened after')
  if [ -n "$waited" ]; then
    pass perm-waited: "the refused node was tried again: $(echo "$waited" | head -n 1 | tr -d '\r')"
  else
    fail perm-waited: "no open of the board was refused and then tried again (see the log)"
  fi
  stop_sim
else
  fail perm-enumerate: "usbip-sim: $(cat /tmp/sim-perm/ready 2>/dev/null)"
  show_sim_log
  stop_sim
fi
