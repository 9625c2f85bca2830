#!/usr/bin/env bash
# One command for a newcomer: sets up, builds, and runs a whole network
# installation on the lab's virtual board (the built-in sample board and
# the sample scripts of lab/samples), showing the board's console live and
# a summary of its flash at the end. Extra arguments go to `deploylab run`
# (for instance --board lab/boards/nand.board, or --operator to press
# ENTER yourself). Needs root for the namespaces; re-runs itself with sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
  exec sudo "$0" "$@"
fi
scripts/setup.sh
scripts/build.sh
exec build/host/deploylab run "$@"
