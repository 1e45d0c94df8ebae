#!/usr/bin/env bash
# The Windows station, cross-built on Debian: installs what is missing (MinGW-w64 with posix
# threads, Wine, NSIS, and the headers and sources the build takes from Debian), builds into
# build-win/ (with the key pool's client, scripts/windows-deps.sh), runs the Windows tests under
# Wine (CTest label "windows", Wine prefix inside build-win/, Windows user 张三) and makes the
# installer build-win/keystation-setup.exe.
#   KS_WIN_BUILD_DIR   build folder (default build-win)
#   KS_WIN_POOL        1 (default): with the key pool's client, built first when its cache is
#                      cold; cached: with it when its cache is there, else without (and said so);
#                      0: without
#   KS_WIN_JOBS        parallel build jobs (default: the number of cores)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KS_WIN_BUILD_DIR:-build-win}
jobs=${KS_WIN_JOBS:-$(nproc)}

pkgs=(cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 nsis googletest
      nlohmann-json3-dev xvfb xauth x11-apps imagemagick fonts-wqy-microhei postgresql-15 openssl
      python3 locales)
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

# The Chinese locale, from which Wine takes code page 936 for the tests that run as on a Chinese
# Windows.
if ! locale -a | grep -qix 'zh_CN.utf8'; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi

# The key pool's client (libpq and OpenSSL from Debian's sources, linked statically), built once
# into a cache outside the clone and reused (scripts/windows-deps.sh). Without it a pool refuses
# to load on Windows and says so.
pool=(-DKS_WIN_PQ_PREFIX=)
case "${KS_WIN_POOL:-1}" in
  1 | cached)
    stage=$(date +%s)
    only=0
    [ "${KS_WIN_POOL:-1}" = cached ] && only=1
    rc=0
    prefix=$(KS_WIN_JOBS=$jobs KS_WIN_DEPS_CACHED_ONLY=$only scripts/windows-deps.sh) || rc=$?
    if [ "$rc" -eq 0 ]; then
      prefix=$(tail -n 1 <<<"$prefix")
      pool=(-DKS_WIN_PQ_PREFIX="$prefix")
      echo "Key pool client ($prefix) took $(( $(date +%s) - stage )) s"
    elif [ "$rc" -eq 3 ] && [ "$only" = 1 ]; then
      echo "WITHOUT the key pool's client: no cache of it (scripts/windows-deps.sh makes one, about" \
        "6 minutes on two idle cores); the Windows pool test does not run"
    else
      exit 1
    fi
    ;;
esac
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

stage=$(date +%s)
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/MinGW-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release -DKS_WERROR=ON "${pool[@]}" "${launcher[@]}"
cmake --build "$build" -j"$jobs"
echo "Windows build took $(( $(date +%s) - stage )) s"

stage=$(date +%s)
# What the tests' helper programs (fonts, X, ImageMagick) would keep under the home folder stays in
# the build folder; Wine itself gets a home inside its prefix (cmake/WineRun.sh).
test_home=$(mkdir -p "$build/test-home" && cd "$build/test-home" && pwd)
export XDG_CONFIG_HOME=$test_home/config XDG_DATA_HOME=$test_home/data XDG_CACHE_HOME=$test_home/cache
# A test whose Wine program could not even start (a server going away under a parallel start)
# is run once more; a test that fails for its own reason fails both times.
ctest --test-dir "$build" --output-on-failure -j"$jobs" -L windows --repeat until-pass:2
echo "Windows tests under Wine took $(( $(date +%s) - stage )) s"

if [ -f packaging/windows/keystation.nsi ]; then
  cmake --build "$build" --target windows-installer
  ls -l "$build"/keystation-setup.exe
fi
