#!/usr/bin/env bash
# Package installation: four signed packages holding 16 and 64 MiB of files,
# each streamed through a pipe into the installer's package child onto a
# tmpfs flash (as the driver does), beside tar -xzf of the same files onto
# the same kind of file system; and the child's peak memory, which should
# stay bounded (at most 8 MiB) whatever the package size.
# Usage: bench/install.sh [BUILD_DIR]   (needs root; default build/host)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
[ -f "$build/libdeployboot_core.a" ] || { echo "build $build first" >&2; exit 1; }
if [ "$(id -u)" != 0 ]; then echo "bench/install.sh needs root (mount namespace)" >&2; exit 1; fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
g++ -std=c++20 -O2 -I. -I"$build/generated" -DDEPLOYBOOT_SOURCE_DIR="\"$PWD\"" \
    bench/install_bench.cc "$build/libdeployboot_core.a" "$build/libboard_virtual.a" -lz \
    -o "$work/install_bench"
for mib in 16 64; do
  mkdir -p "$work/set$mib"
  "$work/install_bench" make "$work/set$mib" "$mib"
  echo "== $mib MiB package set ($(du -sh "$work/set$mib"/*.pkg | awk '{s=s" "$1} END {print s}') )"
  "$work/install_bench" install "$work/set$mib"
done

# The same 64 MiB set through a whole lab installation (boot, formatting,
# transfer from deployserve, installation), beside tar -xzf of its files.
if [ -x "$build/deploylab" ] && [ -x "$build/deployserve" ]; then
  mkdir -p "$work/lab"
  cp "$work/set64"/*.pkg "$work/lab/"
  printf 'name = 42Z\nlayout = single\npartitions = 256M\nmin-version = 6.0\ncpus = 2\n' \
      >"$work/board.conf"
  start=$(date +%s.%N)
  "$build/deploylab" run --quiet --timeout 900 --board "$work/board.conf" --samples "$work/lab" \
      --installer "$build/deployboot-vboard" --nandfix "$build/nandfix" \
      --server "$build/deployserve" >"$work/lab.out" 2>&1 || { tail -20 "$work/lab.out"; exit 1; }
  end=$(date +%s.%N)
  mkdir -p "$work/untar"
  mount -t tmpfs -o size=256m none "$work/untar"
  tstart=$(date +%s.%N)
  tar -C "$work/untar" -xzf "$work/set64/files.tar.gz"
  tend=$(date +%s.%N)
  umount "$work/untar"
  echo "== lab installation of the 64 MiB set"
  awk -v s="$start" -v e="$end" -v ts="$tstart" -v te="$tend" 'BEGIN {
    l = e - s; t = te - ts
    printf "deploylab run: %.3f s, tar -xzf: %.3f s, ratio %.1f\n", l, t, l / t }'
fi
