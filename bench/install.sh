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
