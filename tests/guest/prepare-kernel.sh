#!/usr/bin/env bash
# Prepares the guest kernel: the Debian image package that linux-image-amd64 depends on is
# downloaded into CACHE_DIR (kept there, so later runs do not download again), unpacked beside it
# and given a modules.dep by depmod run on that unpacked copy (never on the machine's own tree).
#
# Usage: prepare-kernel.sh CACHE_DIR
# Prints three lines on stdout: KERNEL=<vmlinuz> MODROOT=<tree holding lib/modules> KVER=<release>
set -euo pipefail

cache=${1:?usage: prepare-kernel.sh CACHE_DIR}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

log() { echo "prepare-kernel: $*" >&2; }

for tool in dpkg-deb depmod; do
  command -v "$tool" >/dev/null 2>&1 || [ -x "/usr/sbin/$tool" ] || [ -x "/sbin/$tool" ] || {
    log "missing tool '$tool' (Debian packages: dpkg, kmod)"
    exit 2
  }
done
DEPMOD=$(command -v depmod || echo /usr/sbin/depmod)

# The package to use: the current dependency of the meta package, or else the newest cached one.
pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
      awk '/Depends: linux-image-[0-9]/ {print $2; exit}' || true)
deb=""
if [ -n "$pkg" ]; then
  deb=$(ls -1 "$cache/${pkg}"_*_amd64.deb 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -z "$deb" ]; then
    log "downloading $pkg"
    if (cd "$cache" && apt-get download "$pkg" >&2 2>"$cache/download.err"); then
      deb=$(ls -1 "$cache/${pkg}"_*_amd64.deb 2>/dev/null | sort -V | tail -n 1 || true)
    else
      log "apt-get download $pkg failed: $(tail -n 3 "$cache/download.err")"
    fi
  fi
fi
if [ -z "$deb" ]; then
  deb=$(ls -1 "$cache"/linux-image-*_amd64.deb 2>/dev/null | sort -V | tail -n 1 || true)
  [ -n "$deb" ] && log "using cached $(basename "$deb")"
fi
if [ -z "$deb" ]; then
  log "no kernel package: apt-get download of linux-image-amd64's dependency failed and none is cached in $cache"
  exit 2
fi

name=$(basename "$deb" .deb)
tree="$cache/$name"
if [ ! -f "$tree/.ready" ]; then
  log "unpacking $name"
  rm -rf "$tree"
  mkdir -p "$tree"
  if ! dpkg-deb -x "$deb" "$tree"; then
    # A damaged download is dropped so that the next run fetches it again.
    log "cannot unpack $deb; removing it"
    rm -rf "$tree" "$deb"
    exit 2
  fi
  kver=$(ls -1 "$tree/lib/modules" | head -n 1)
  [ -n "$kver" ] || { log "no modules in $deb"; exit 2; }
  "$DEPMOD" -b "$tree" "$kver"
  echo "$kver" > "$tree/.ready"
fi
kver=$(cat "$tree/.ready")
kernel="$tree/boot/vmlinuz-$kver"
[ -f "$kernel" ] || { log "no kernel image $kernel"; exit 2; }

echo "KERNEL=$kernel"
echo "MODROOT=$tree"
echo "KVER=$kver"
