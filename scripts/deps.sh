#!/usr/bin/env bash
# Installs the Debian packages the station needs. Usage: scripts/deps.sh build|test|package
# "build" is enough to build and run the station; "test" adds what the test suite uses;
# "package" what scripts/package.sh needs besides "build".
set -euo pipefail
profile=${1:-build}

build_pkgs=(build-essential cmake ninja-build pkg-config libssl-dev qt6-base-dev nlohmann-json3-dev libpq-dev
            fonts-wqy-microhei qt6-translations-l10n)
test_pkgs=(libgtest-dev libgmock-dev googletest libbenchmark-dev openssl
           python3-cryptography-vectors fdisk xvfb xauth clang-format postgresql-15
           qemu-system-x86 busybox-static cpio kmod
           clang libclang-rt-14-dev llvm  # clang, libFuzzer and llvm-symbolizer for the fuzz build
           chromium jq)  # the shift report's page looked at in a browser; jq, the report's reference
# The Debian package: dpkg-shlibdeps for its dependencies (file tells it the programs), lintian.
package_pkgs=(dpkg-dev file lintian)

pkgs=("${build_pkgs[@]}")
[ "$profile" = test ] && pkgs+=("${test_pkgs[@]}" "${package_pkgs[@]}")
[ "$profile" = package ] && pkgs+=("${package_pkgs[@]}")

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
