#!/usr/bin/env bash
# Builds the station's Debian package, keystation_<version>_<arch>.deb, and checks it with lintian.
#
#   scripts/package.sh [OUTPUT_FOLDER]
#
# The programs are built in build-pkg (KS_BUILD_DIR overrides) with Debian's hardening flags
# (warnings stay warnings here: _FORTIFY_SOURCE adds its own, and scripts/test.sh is where the
# tree is held to none); CPack lays them out as `cmake --install` does under /usr, strips them
# and takes their dependencies from dpkg-shlibdeps. The package is left in the build folder and,
# when given, copied to OUTPUT_FOLDER; its path is the last line printed. lintian's errors fail
# the script, its warnings are printed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package
build=${KS_BUILD_DIR:-build-pkg}
out=${1:-}

if [ ! -f "$build/CMakeCache.txt" ]; then
  # The compiler and linker flags of a Debian build; CMake reads them from the environment on
  # the first configuration only, and it does not read CPPFLAGS.
  eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
  export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKS_WERROR=OFF \
      -DKS_BUILD_BENCH=OFF >/dev/null
programs=(keystation-cli kdbtool)
grep -q '^KS_BUILD_GUI:BOOL=ON' "$build/CMakeCache.txt" && programs+=(keystation)
cmake --build "$build" -j"$(nproc)" --target "${programs[@]}"

rm -f "$build"/keystation_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/keystation_*.deb)
echo "== $(basename "$deb"): $(stat -c %s "$deb") bytes, $(dpkg-deb -f "$deb" Installed-Size) KiB installed"
dpkg-deb -f "$deb" Depends Recommends

echo "== lintian"
lintian --fail-on error "$deb"

if [ -n "$out" ]; then
  mkdir -p "$out"
  cp "$deb" "$out/"
  deb="$out/$(basename "$deb")"
fi
echo "$deb"
