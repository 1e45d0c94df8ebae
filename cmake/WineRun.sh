#!/usr/bin/env bash
# Runs a Windows program under Wine with a prefix of its own in the build folder, so that nothing
# outside it is touched. KS_WINEPREFIX overrides the prefix; the first run creates it.
# The Windows user is the operator of a Chinese line, 张三 (KS_WINE_USER to change): the profile
# is C:\users\张三, so every test that uses %USERPROFILE% or %LOCALAPPDATA% runs where an operator
# lives. Wine names the profile after $USER when it creates the prefix.
set -euo pipefail
exe=$1
shift
if [[ -z ${KS_WINEPREFIX:-} ]]; then
  # The build folder is the nearest parent holding CMakeCache.txt.
  dir=$(cd "$(dirname "$exe")" && pwd)
  while [[ $dir != / && ! -f $dir/CMakeCache.txt ]]; do dir=$(dirname "$dir"); done
  [[ $dir == / ]] && dir=$(cd "$(dirname "$exe")" && pwd)
  KS_WINEPREFIX=$dir/wine-prefix-operator
fi
export USER=${KS_WINE_USER:-张三}
export LOGNAME=$USER
export WINEPREFIX=$KS_WINEPREFIX WINEDEBUG=${WINEDEBUG:--all} WINEARCH=win64
# No desktop menu entries or file associations (winemenubuilder), no Mono or Gecko.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
# Wine's Unix-side files (the font cache, anything it would put under the home folder) stay in a
# home of the prefix's own, never the builder's.
export HOME=$WINEPREFIX/unix-home
export XDG_CONFIG_HOME=$HOME/.config XDG_DATA_HOME=$HOME/.local/share XDG_CACHE_HOME=$HOME/.cache
# Wine links the profile's Desktop, Documents, Downloads, Music, Pictures and Videos to the home
# folder: they become real folders of the prefix, so a test's files never leave it.
real_profile() {
  local link
  for link in "$WINEPREFIX/drive_c/users/$USER"/*; do
    if [[ -L $link ]]; then
      rm -f "$link"
      mkdir -p "$link"
    fi
  done
}
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  mkdir -p "$WINEPREFIX" "$HOME"
  # One creator at a time: parallel tests would otherwise build the prefix twice.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [[ ! -f $WINEPREFIX/system.reg ]]; then
    wineboot --init >/dev/null 2>&1 || true
    wineserver --wait || true
    real_profile
  fi
  exec 9>&-
fi
real_profile
# One server for the whole test run, kept for 30 s after its last program: parallel programs
# starting while a server shuts down can otherwise fail at once.
wineserver -p30 >/dev/null 2>&1 || true
# The first program of a new server starts Wine's own services, and they inherit its standard
# output and error: a caller that reads them to their end (CTest, the test discovery) would wait
# until the server is gone, and with programs starting all the time that is never. So a program
# with its output on /dev/null comes first; the server has just seen it, so it cannot be the last
# one before a shutdown when the real program starts.
wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
exec wine "$exe" "$@"
