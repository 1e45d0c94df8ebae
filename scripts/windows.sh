#!/usr/bin/env bash
# The Windows station, cross-built on Debian: installs what is missing (MinGW-w64 with posix
# threads, Wine, NSIS, and the headers and sources the build takes from Debian), builds into
# build-win/, runs the Windows tests under Wine (CTest label "windows", Wine prefix inside
# build-win/) and makes the installer build-win/keystation-setup.exe.
#   KS_WIN_BUILD_DIR   build folder (default build-win)
#   KS_WIN_JOBS        parallel build jobs (default: the number of cores)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KS_WIN_BUILD_DIR:-build-win}
jobs=${KS_WIN_JOBS:-$(nproc)}

pkgs=(cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 nsis googletest
      nlohmann-json3-dev xvfb xauth x11-apps imagemagick fonts-wqy-microhei)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

stage=$(date +%s)
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/MinGW-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release -DKS_WERROR=ON
cmake --build "$build" -j"$jobs"
echo "Windows build took $(( $(date +%s) - stage )) s"

stage=$(date +%s)
# A test whose Wine program could not even start (a server going away under a parallel start)
# is run once more; a test that fails for its own reason fails both times.
ctest --test-dir "$build" --output-on-failure -j"$jobs" -L windows --repeat until-pass:2
echo "Windows tests under Wine took $(( $(date +%s) - stage )) s"

if [ -f packaging/windows/keystation.nsi ]; then
  cmake --build "$build" --target windows-installer
  ls -l "$build"/keystation-setup.exe
fi
