#!/usr/bin/env bash
# One command for a newcomer: sets up, builds, and runs a whole network
# installation on the lab's virtual board (the built-in sample board), with
# the signed sample packages of lab/build_sample_packages.sh and the sample
# scripts of lab/samples, showing the board's console live and a summary of
# its flash at the end. Extra arguments go to `deploylab run` (for instance
# --board lab/boards/nand.board, --board qemu-malta, or --operator to press
# ENTER yourself). Needs root for the namespaces; re-runs itself with sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
  exec sudo "$0" "$@"
fi
scripts/setup.sh

# The packages must be built for the board's architecture: "mipsle" for a
# board with one CPU, "mmips" for more.
arch=mipsle
board=
for ((i = 1; i <= $#; i++)); do
  if [ "${!i}" = --board ] && ((i < $#)); then j=$((i + 1)); board=${!j}; fi
done
if [ "$board" = qemu-malta ]; then
  lab/qemu/setup.sh
  scripts/build.sh --mipsel
else
  scripts/build.sh
  if [ -f "$board" ] && ! grep -Eq '^cpus *= *1 *$' "$board"; then arch=mmips; fi
fi
samples=build/lab-samples/$arch
rm -rf "$samples"
lab/build_sample_packages.sh build/host/deploypkg "$samples" "$arch" >/dev/null
exec build/host/deploylab run --samples "$samples" "$@"
