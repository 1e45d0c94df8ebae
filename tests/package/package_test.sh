#!/usr/bin/env bash
# The Debian package as an operator gets it: unpacked into a scratch root (dpkg -x), its console
# station run from there with HOME in a temporary folder on two simulated boards.
#
#   package_test.sh BUILD_DIR
#
# The package is $KS_PACKAGE when set (CI tests the one scripts/package.sh made); otherwise one is
# made from BUILD_DIR with CPack. Exit code 77 (skipped) where no Debian tools are at hand.
set -euo pipefail
build=$1

skip() {
  echo "SKIPPED: $*"
  exit 77
}
fail() {
  echo "FAILED: $*"
  exit 1
}

command -v dpkg-deb >/dev/null || skip "dpkg-deb is missing (not a Debian system)"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ks-package-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

deb=${KS_PACKAGE:-}
if [ -z "$deb" ]; then
  command -v dpkg-shlibdeps >/dev/null || skip "dpkg-shlibdeps is missing (package dpkg-dev)"
  command -v file >/dev/null || skip "file is missing: CPack needs it to find the programs"
  (cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
    { cat "$scratch/cpack.log"; fail "cpack could not make the package"; }
  deb=$(ls "$scratch"/out/keystation_*.deb)
fi
[ -f "$deb" ] || fail "no package at $deb"
echo "package: $deb"

# The control data: our name and version, library dependencies found by dpkg-shlibdeps, and a
# postinst that leaves udev alone where it does not run.
[ "$(dpkg-deb -f "$deb" Package)" = keystation ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6; do
  [[ "$depends" == *"$lib ("* ]] || fail "Depends lacks $lib: $depends"
done
mkdir "$scratch/control"
dpkg-deb -e "$deb" "$scratch/control"
[ -x "$scratch/control/postinst" ] || fail "no executable postinst"
grep -q '/run/udev/control' "$scratch/control/postinst" || fail "postinst does not look for udev"
grep -q 'udevadm control --reload' "$scratch/control/postinst" || fail "postinst does not reload"

root=$scratch/root
dpkg -x "$deb" "$root"
for f in usr/bin/keystation-cli usr/bin/kdbtool usr/share/keystation/config.ini \
         usr/share/keystation/devices.ini usr/share/keystation/lang/English.ini \
         usr/share/keystation/lang/Chinese.ini usr/lib/udev/rules.d/70-keystation.rules \
         usr/share/doc/keystation/copyright usr/share/doc/keystation/changelog.gz; do
  [ -f "$root/$f" ] || fail "$f is not in the package"
done
if dpkg-deb -c "$deb" | grep -q './usr/bin/keystation$'; then
  for f in usr/share/applications/keystation.desktop \
           usr/share/icons/hicolor/scalable/apps/keystation.svg; do
    [ -f "$root/$f" ] || fail "$f is not in the package"
  done
fi
[ ! -e "$root/usr/bin/data" ] || fail "the build tree's data folder was installed beside the programs"
if dpkg-deb -c "$deb" | awk '{print $2}' | grep -qv '^root/root$'; then
  fail "files not owned by root"
fi

# First start of an operator: HOME is empty, XDG_DATA_HOME unset.
export HOME=$scratch/home
unset XDG_DATA_HOME
mkdir -p "$HOME"
bin=$root/usr/bin
kdb=$scratch/keys.kdb
touch "$scratch/before-run"
"$bin/kdbtool" create --keys 5 --key-size 128 "$kdb" >/dev/null || fail "kdbtool create"
rc=0
(cd "$scratch" && "$bin/keystation-cli" --simulate 2 --start --until-idle --kdb "$kdb" \
                    >"$scratch/run1.txt" 2>&1) || rc=$?
[ "$rc" = 0 ] || { cat "$scratch/run1.txt"; fail "keystation-cli exited with $rc"; }
last=$(tail -n 1 "$scratch/run1.txt")
[ "$last" = "success 00002 fail 00000 total 00002" ] || { cat "$scratch/run1.txt"; fail "$last"; }
"$bin/kdbtool" info --json "$kdb" | grep -q '"unusedCount":3' || fail "the key file did not count down"

# The per-operator folder: seeded with the shipped defaults, private, holding the run's files
# (the RKP files go there too, as SavePath is empty).
appdir=$HOME/.local/share/keystation
[ -d "$appdir" ] || fail "no per-operator folder $appdir"
[ "$(ls "$appdir"/*.json | wc -l)" = 2 ] || fail "expected two RKP files in $appdir"
[ "$(stat -c %a "$appdir")" = 700 ] || fail "$appdir is not private"
cmp -s "$appdir/devices.ini" "$root/usr/share/keystation/devices.ini" || fail "devices.ini"
for f in English.ini Chinese.ini; do
  cmp -s "$appdir/lang/$f" "$root/usr/share/keystation/lang/$f" || fail "lang/$f"
done
grep -q '^\[System\]' "$appdir/config.ini" || fail "config.ini"
[ -f "$appdir/portmap-sim.ini" ] || fail "no port map in $appdir"
ls "$appdir"/log/log-*/*.txt >/dev/null 2>&1 || fail "no station log in $appdir"
! ls -a "$appdir" | grep -q 'seed' || fail "a seeding copy was left behind"
[ -z "$(find "$root" -newer "$scratch/before-run")" ] ||
  fail "the run wrote into the installed tree"

# The window program, installed, reads the folder it is given: told there to write no keys, it
# takes none (offscreen; it ends once its job is done). With simulated boards it is practice, which
# keeps a folder of its own and refuses a key file production has used unless told otherwise:
# here it is given the operator's folder and told.
if [ -x "$bin/keystation" ]; then
  grep -q '^WriteKeybox=1' "$appdir/config.ini" || fail "config.ini lacks WriteKeybox=1"
  sed -i 's/^WriteKeybox=1/WriteKeybox=0/' "$appdir/config.ini"
  (cd "$scratch" && QT_QPA_PLATFORM=offscreen KS_SCREENSHOT=$scratch/window.png \
     timeout 120 "$bin/keystation" --home "$appdir" --simulate 1 --practice-with-production-keys \
       --kdb "$kdb" --start >"$scratch/gui.txt" 2>&1) ||
    { cat "$scratch/gui.txt"; fail "keystation did not finish its job"; }
  [ -f "$scratch/window.png" ] || fail "keystation did not show its window"
  "$bin/kdbtool" info --json "$kdb" | grep -q '"unusedCount":3' ||
    fail "keystation took a key: it did not read $appdir/config.ini"
fi

# An operator's own change survives the next start; XDG_DATA_HOME moves the folder; --home
# overrides both and is seeded from the installed defaults too.
echo "; operator's note" >>"$appdir/devices.ini"
(cd "$scratch" && "$bin/keystation-cli" --simulate 0 --list) >/dev/null || fail "second start"
tail -n 1 "$appdir/devices.ini" | grep -q "operator's note" || fail "devices.ini was overwritten"
(cd "$scratch" && XDG_DATA_HOME=$scratch/xdg "$bin/keystation-cli" --simulate 0 --list) \
  >/dev/null || fail "start with XDG_DATA_HOME"
cmp -s "$scratch/xdg/keystation/devices.ini" "$root/usr/share/keystation/devices.ini" ||
  fail "XDG_DATA_HOME/keystation was not seeded"
(cd "$scratch" && XDG_DATA_HOME=$scratch/xdg "$bin/keystation-cli" --home "$scratch/station" \
                    --simulate 0 --list) >/dev/null || fail "start with --home"
[ -f "$scratch/station/config.ini" ] && [ -f "$scratch/station/lang/English.ini" ] ||
  fail "--home was not seeded"

echo "package test passed: $(basename "$deb"), $(stat -c %s "$deb") bytes"
