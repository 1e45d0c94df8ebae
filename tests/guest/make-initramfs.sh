#!/usr/bin/env bash
# Builds the guest's initramfs: static busybox, the USB host modules (with their dependencies, in
# load order), the station's binaries with the shared libraries they need, the iconv modules for
# GBK text, the station's data folder, and the init and scenario scripts.
#
# Usage: make-initramfs.sh --modroot DIR --kver REL --out FILE.cpio.gz --init FILE
#                          [--bin PATH]... [--file SRC=DEST]... [--dir SRC=DEST]...
set -euo pipefail

modroot="" kver="" out="" init=""
bins=() files=() dirs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --modroot) modroot=$2; shift 2 ;;
    --kver) kver=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --init) init=$2; shift 2 ;;
    --bin) bins+=("$2"); shift 2 ;;
    --file) files+=("$2"); shift 2 ;;
    --dir) dirs+=("$2"); shift 2 ;;
    *) echo "make-initramfs: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$modroot" ] && [ -n "$kver" ] && [ -n "$out" ] && [ -n "$init" ] || {
  echo "make-initramfs: --modroot, --kver, --out and --init are required" >&2
  exit 2
}

log() { echo "make-initramfs: $*" >&2; }

BUSYBOX=$(command -v busybox || true)
[ -n "$BUSYBOX" ] || { log "busybox not found (Debian package busybox-static)"; exit 2; }
if ! file -L "$BUSYBOX" 2>/dev/null | grep -q 'statically linked'; then
  if ldd "$BUSYBOX" >/dev/null 2>&1; then
    log "$BUSYBOX is not statically linked (install busybox-static)"
    exit 2
  fi
fi
command -v cpio >/dev/null || { log "cpio not found (Debian package cpio)"; exit 2; }
MODPROBE=$(command -v modprobe || echo /usr/sbin/modprobe)

stage="${out%.cpio.gz}.root"
rm -rf "$stage"
mkdir -p "$stage"/{bin,sbin,proc,sys,dev,tmp,run,etc,lib/modules,opt/ks/bin,opt/ks/data}
cp "$BUSYBOX" "$stage/bin/busybox"
ln -s busybox "$stage/bin/sh"
cp "$init" "$stage/init"
chmod 755 "$stage/init"

# Modules in load order, from the unpacked tree's modules.dep.
: > "$stage/lib/modules/order"
for m in vhci-hcd; do
  "$MODPROBE" -d "$modroot" -S "$kver" --show-depends "$m" | while read -r verb path _; do
    [ "$verb" = insmod ] || continue
    base=$(basename "$path")
    case "$base" in
      *.ko) cp "$path" "$stage/lib/modules/$base" ;;
      *.ko.xz) base=${base%.xz}; xz -dc "$path" > "$stage/lib/modules/$base" ;;
      *.ko.zst) base=${base%.zst}; zstd -qdc "$path" > "$stage/lib/modules/$base" ;;
      *.ko.gz) base=${base%.gz}; gzip -dc "$path" > "$stage/lib/modules/$base" ;;
      *) log "unexpected module file $path"; exit 2 ;;
    esac
    grep -qx "$base" "$stage/lib/modules/order" || echo "$base" >> "$stage/lib/modules/order"
  done
done
[ -s "$stage/lib/modules/order" ] || { log "no modules resolved for vhci-hcd"; exit 2; }

# Copies a file to the same absolute path inside the stage (following symbolic links).
copy_abs() {
  local src=$1
  [ -e "$stage$src" ] && return 0
  mkdir -p "$stage$(dirname "$src")"
  cp -L "$src" "$stage$src"
}

copy_libs_of() {
  local bin=$1
  ldd "$bin" 2>/dev/null | while read -r a b c _; do
    if [ "$b" = "=>" ] && [ -n "$c" ] && [ -e "$c" ]; then
      copy_abs "$c"
    elif [ -e "$a" ] && [ "${a#/}" != "$a" ]; then
      copy_abs "$a"
    fi
  done
}

for b in "${bins[@]}"; do
  [ -x "$b" ] || { log "missing binary $b"; exit 2; }
  dest="$stage/opt/ks/bin/$(basename "$b")"
  cp "$b" "$dest"
  strip --strip-debug "$dest" 2>/dev/null || true
  copy_libs_of "$b"
done

# iconv modules the station's text conversion may load (GBK / code page 936).
gconv=""
for d in /usr/lib/x86_64-linux-gnu/gconv /usr/lib64/gconv /usr/lib/gconv; do
  [ -d "$d" ] && { gconv=$d; break; }
done
if [ -n "$gconv" ]; then
  mkdir -p "$stage$gconv"
  cp -a "$gconv"/gconv-modules* "$stage$gconv/" 2>/dev/null || true
  for so in GBK.so UNICODE.so UTF-16.so UTF-32.so UTF-7.so; do
    [ -e "$gconv/$so" ] && cp -L "$gconv/$so" "$stage$gconv/"
  done
fi

for f in "${files[@]}"; do
  src=${f%%=*} dest=${f#*=}
  mkdir -p "$stage$(dirname "$dest")"
  cp -L "$src" "$stage$dest"
done
for d in "${dirs[@]}"; do
  src=${d%%=*} dest=${d#*=}
  mkdir -p "$stage$dest"
  cp -rL "$src/." "$stage$dest/"
done

(cd "$stage" && find . -print0 | LC_ALL=C sort -z |
   cpio --null -o -H newc --quiet --owner=0:0) | gzip -1 > "$out.tmp"
mv "$out.tmp" "$out"
log "$(du -h "$out" | cut -f1) $out"
