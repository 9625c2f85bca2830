#!/usr/bin/env bash
# Package signature check beside libsodium's crypto_scalarmult, and the
# package reader's throughput (inflate + SHA-1 + copy sink) on one large
# package beside a plain zlib inflate + SHA-1 loop over the same bytes
# (bench/package_bench.cc). libsodium is linked into the benchmark only.
# With --mipsel the same program is also built for mipsel (build/mipsel,
# Debian's mipsel libsodium unpacked beside the zlib sysroot) and run under
# qemu-mipsel-static: the router's 32-bit arithmetic on both sides.
#
#   bench/package.sh [--build DIR] [--mib N] [--mipsel]
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/host
MIB=64
MIPSEL=no
usage() { sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; }
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) BUILD="$2"; shift 2 ;;
    --mib) MIB="$2"; shift 2 ;;
    --mipsel) MIPSEL=yes; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown argument: $1" >&2; usage >&2; exit 2 ;;
  esac
done

if ! dpkg-query -W -f='${Status}' libsodium-dev 2>/dev/null | grep -q "install ok installed"; then
  if [ "$(id -u)" != 0 ]; then echo "bench/package.sh needs libsodium-dev (apt-get install it as root)" >&2; exit 1; fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends libsodium-dev >/dev/null
fi
if [ ! -f "$BUILD/libdeployboot_core.a" ]; then
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" -j2 --target deployboot_core >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
g++ -std=c++20 -O2 -Wall -Wextra -I. -I"$BUILD/generated" -DDEPLOYBOOT_SOURCE_DIR="\"$PWD\"" \
    bench/package_bench.cc "$BUILD/libdeployboot_core.a" -lz -lsodium -o "$work/package_bench"
"$work/package_bench" "$MIB"

if [ "$MIPSEL" = yes ]; then
  sysroot=build/sysroot-mipsel
  if [ ! -f build/mipsel/libdeployboot_core.a ] || [ ! -f "$sysroot/usr/lib/mipsel-linux-gnu/libz.a" ]; then
    echo "bench/package.sh --mipsel: run scripts/setup.sh and scripts/build.sh --mipsel first" >&2
    exit 1
  fi
  if [ ! -f "$sysroot/usr/lib/mipsel-linux-gnu/libsodium.a" ]; then
    mkdir -p "$sysroot/debs"
    (cd "$sysroot/debs" && apt-get download -q libsodium23:mipsel libsodium-dev:mipsel >/dev/null 2>&1)
    for deb in "$sysroot"/debs/libsodium*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
  fi
  # The package part shrinks: qemu runs the reader about ten times slower.
  mipsel-linux-gnu-g++ -std=c++20 -O2 -static -I. -Ibuild/mipsel/generated \
      -I"$sysroot/usr/include" -DDEPLOYBOOT_SOURCE_DIR="\"$PWD\"" \
      bench/package_bench.cc build/mipsel/libdeployboot_core.a \
      "$sysroot/usr/lib/mipsel-linux-gnu/libz.a" "$sysroot/usr/lib/mipsel-linux-gnu/libsodium.a" \
      -o "$work/package_bench-mipsel"
  echo "== mipsel under qemu-mipsel-static"
  qemu-mipsel-static "$work/package_bench-mipsel" $(( MIB < 8 ? MIB : 8 ))
fi
