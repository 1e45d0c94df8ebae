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
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  mkdir -p "$WINEPREFIX"
  # One creator at a time: parallel tests would otherwise build the prefix twice.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [[ ! -f $WINEPREFIX/system.reg ]]; then
    wineboot --init >/dev/null 2>&1 || true
    wineserver --wait || true
  fi
  exec 9>&-
fi
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
