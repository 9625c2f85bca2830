#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the host unit and system
# tests (among them the mipsel installer on the qemu-malta board), then the
# unit tests built for mipsel under qemu-mipsel-static.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
lab/qemu/setup.sh
scripts/build.sh --mipsel

status=0
echo "== fuzz targets (15 s each)"
scripts/fuzz.sh 15 || status=1
echo "== host tests"
(cd build/host && ctest --output-on-failure -j 2 --timeout 600) || status=1
echo "== mipsel unit tests (qemu-mipsel-static)"
(cd build/mipsel && ctest --output-on-failure -j 2 -L unit --timeout 600) || status=1
exit $status
