#!/usr/bin/env bash
# Configures and builds the host tree (build/host) and, with --mipsel, the
# cross tree (build/mipsel). Run scripts/setup.sh first.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build/host -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/host -j "$jobs"

if [ "${1:-}" = "--mipsel" ]; then
  cmake -S . -B build/mipsel -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
    -DMIPSEL_SYSROOT="$PWD/build/sysroot-mipsel" -DDEPLOYBOOT_COMPANIONS=OFF >/dev/null
  cmake --build build/mipsel -j "$jobs"
fi
