#!/usr/bin/env bash
# Package signature check beside libsodium's crypto_scalarmult, and the
# package reader's throughput (inflate + SHA-1 + copy sink) on one large
# package beside a plain zlib inflate + SHA-1 loop over the same bytes
# (bench/package_bench.cc). libsodium is linked into the benchmark only.
#
#   bench/package.sh [--build DIR] [--mib N]
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/host
MIB=64
usage() { sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; }
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) BUILD="$2"; shift 2 ;;
    --mib) MIB="$2"; shift 2 ;;
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
