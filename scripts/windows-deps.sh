#!/usr/bin/env bash
# The key pool's client for the Windows station: OpenSSL and libpq cross-built with MinGW-w64 from
# Debian's own source packages (openssl, postgresql-15), built once into a cache folder outside
# the clone, keyed by both source versions, and reused by every later run and by CI.
#   KS_WIN_DEPS_CACHE  cache root (default /var/cache/keystation-win)
#   KS_WIN_JOBS        parallel build jobs (default: the number of cores)
#   KS_WIN_DEPS_CACHED_ONLY=1  use a finished cache (completing its static libpq if needed, a few
#                      minutes) but build no new one: exit status 3 when there is none
# Prints the prefix (…/<versions>/prefix, with include/ and lib/) on its last line. Static
# libraries only, so the .exe files carry their client and need no DLL beside them. A cold build
# takes about 7 CPU-minutes (OpenSSL about 3.7, libpq about 3.5 with its serial configure): 5 to 6 minutes
# on two idle cores; CI makes it on a fresh machine.
set -euo pipefail
root=${KS_WIN_DEPS_CACHE:-/var/cache/keystation-win}
jobs=${KS_WIN_JOBS:-$(nproc)}
host=x86_64-w64-mingw32
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

# Source packages need a deb-src entry for the suite the machine runs.
if ! apt-cache showsrc openssl >/dev/null 2>&1 || [ -z "$(apt-cache showsrc postgresql-15 2>/dev/null)" ]; then
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  echo "Enabling deb-src for $suite" >&2
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s %s-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n\nTypes: deb-src\nURIs: http://deb.debian.org/debian-security\nSuites: %s-security\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$suite" "$suite" "$suite" | $SUDO tee /etc/apt/sources.list.d/keystation-deb-src.sources >/dev/null
  $SUDO apt-get update -qq
fi
for p in dpkg-dev perl make; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -o DPkg::Lock::Timeout=900 -y -qq --no-install-recommends "$p" >&2
done

# Candidate versions, newest first; a mirror may not carry every one (the security archive's
# sources are often missing from a proxy), so the newest one that downloads is built.
versions() { apt-cache showsrc "$1" | awk '/^Version:/ {print $2}' | sort -uVr; }
mapfile -t ossl_vs < <(versions openssl)
mapfile -t pg_vs < <(versions postgresql-15)
keyof() { local k="openssl-$1_postgresql-$2"; echo "${k//[^A-Za-z0-9._+-]/_}"; }
# libpq's threads on Windows are its own small pthread layer (pthread-win32.o, a mutex is a
# CRITICAL_SECTION pointer there), under the names winpthreads defines for the C++ runtime: in a
# static link both would be linked twice. libpq keeps its own under names of its own.
pq_pthreads="pthread_self pthread_setspecific pthread_getspecific pthread_mutex_init
  pthread_mutex_lock pthread_mutex_unlock"
private_pthreads() { # libpq_static.a
  [[ $($host-nm "$1" 2>/dev/null) == *" T pthread_self"* ]] || return 0
  local args=() n
  for n in $pq_pthreads; do args+=(--redefine-sym "$n=pq_$n"); done
  $host-objcopy "${args[@]}" "$1" "$1.new" && mv "$1.new" "$1"
}

# A finished cache with the static libpq is used as it is. A finished cache without it (made before
# libpq_static.a was part of it) keeps its OpenSSL and headers: only libpq is built again, from the
# same PostgreSQL version, and its static library added.
complete=""
for ov in "${ossl_vs[@]}"; do
  for pv in "${pg_vs[@]}"; do
    dir="$root/$(keyof "$ov" "$pv")"
    [ -f "$dir/done" ] || continue
    if [ -f "$dir/prefix/lib/libpq_static.a" ]; then
      private_pthreads "$dir/prefix/lib/libpq_static.a"
      echo "$dir/prefix"
      exit 0
    fi
    [ -n "$complete" ] || complete="$pv $dir"
  done
done

if [ -z "$complete" ] && [ "${KS_WIN_DEPS_CACHED_ONLY:-0}" = 1 ]; then
  echo "no finished cache of the key pool's client under $root" >&2
  exit 3
fi

$SUDO mkdir -p "$root"
$SUDO chown "$(id -u):$(id -g)" "$root"
work=$(mktemp -d "$root/.build-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
fetch() { # package, candidate versions...: prints the version it got
  local p=$1 v
  shift
  for v in "$@"; do
    if apt-get source -qq --download-only "$p=$v" >/dev/null 2>&1; then
      echo "$v"
      return 0
    fi
  done
  echo "cannot download any source of $p" >&2
  return 1
}

# libpq for $prefix (OpenSSL and the headers already there), from the sources unpacked in pg/.
# PostgreSQL's libpq.a is the DLL's import library: the static library is made from libpq's own
# objects (not its version resource, win32ver.o). The C runtime has getopt of its own; pgport's
# copies would clash with it in a static link.
build_libpq() { # PostgreSQL version, prefix
  echo "Building libpq $1 for $host" >&2
  (cd pg &&
    ./configure --host=$host --prefix="$2" --without-readline --without-zlib --without-icu \
      --with-ssl=openssl --with-includes="$2/include" --with-libraries="$2/lib" >&2 &&
    make -s -C src/include >&2 && make -s -j"$jobs" -C src/common >&2 &&
    make -s -j"$jobs" -C src/port >&2 && make -s -j"$jobs" -C src/interfaces/libpq >&2 &&
    make -s -C src/include install >&2 && make -s -C src/interfaces/libpq install >&2 &&
    install -m 644 src/common/libpgcommon_shlib.a src/port/libpgport_shlib.a "$2/lib/")
  (cd pg/src/interfaces/libpq &&
    rm -f "$2/lib/libpq_static.a.new" &&
    $host-ar crs "$2/lib/libpq_static.a.new" $(ls *.o | grep -v -e 'rc\.o$' -e '^win32ver\.o$'))
  $host-ar d "$2/lib/libpgport_shlib.a" getopt_long_shlib.o getopt_shlib.o 2>/dev/null || true
  rm -f "$2"/lib/libpq.dll* "$2"/bin/libpq.dll 2>/dev/null || true
  private_pthreads "$2/lib/libpq_static.a.new"
  mv "$2/lib/libpq_static.a.new" "$2/lib/libpq_static.a"
}

if [ -n "$complete" ]; then
  read -r pv dir <<<"$complete"
  if fetch postgresql-15 "$pv" >/dev/null; then
    dpkg-source -x postgresql-15_*.dsc pg >/dev/null
    build_libpq "$pv" "$dir/prefix"
    echo "$dir/prefix"
    exit 0
  fi
  echo "cannot download postgresql-15 $pv to complete $dir: building a new cache" >&2
  rm -f ./*.dsc ./*.tar.* ./*.asc
fi

ossl_v=$(fetch openssl "${ossl_vs[@]}")
pg_v=$(fetch postgresql-15 "${pg_vs[@]}")
dir="$root/$(keyof "$ossl_v" "$pg_v")"
prefix="$dir/prefix"
rm -rf "$dir"
dpkg-source -x openssl_*.dsc ossl >/dev/null
dpkg-source -x postgresql-15_*.dsc pg >/dev/null

# The whole of OpenSSL's libraries: leaving out what libpq never uses (the ciphers, digests,
# protocols and formats beyond TLS and X.509) made a cold cache 6 % cheaper, not worth a library
# narrower than the one the server side is tested with.
echo "Building OpenSSL $ossl_v for $host" >&2
TIMEFORMAT="OpenSSL built: %R s, CPU %U s user + %S s system"
time (cd ossl &&
  ./Configure mingw64 --cross-compile-prefix=$host- --prefix="$prefix" --libdir=lib \
    no-shared no-tests no-engine no-module no-legacy >&2 &&
  make -s -j"$jobs" build_libs >&2 &&
  make -s install_dev >&2)

TIMEFORMAT="libpq built: %R s, CPU %U s user + %S s system"
time build_libpq "$pg_v" "$prefix"
printf 'openssl %s\npostgresql-15 %s\n' "$ossl_v" "$pg_v" > "$dir/versions"
touch "$dir/done"
echo "$prefix"
