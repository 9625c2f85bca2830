#!/usr/bin/env bash
# Boots the installer the way a board does, without the lab: a small
# ramdisk tree under build/ramdisk-demo with deployboot-vboard as /init and
# a few kernel modules, run as PID 1 of private PID, mount and network
# namespaces. The network namespace has no Ethernet interface, so the
# installation stops at "no network card found"; ENTER is fed to the
# prompt and the board reboots. Prints the console, then the board log.
# Needs root for the namespaces; re-runs itself with sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
  exec sudo "$0" "$@"
fi
# DEPLOYBOOT_HOST_BUILD names an already built host tree instead.
host=${DEPLOYBOOT_HOST_BUILD:-}
if [ -z "$host" ]; then
  scripts/setup.sh
  scripts/build.sh
  host=build/host
fi

tree=build/ramdisk-demo
root=$tree/root
modules=$root/lib/modules/$(uname -r)
rm -rf "$tree"
mkdir -p "$root/proc" "$root/dev" "$root/vboard" \
  "$modules/misc" "$modules/drivers/net" "$modules/kernel/net/netfilter"
cp "$host/deployboot-vboard" "$root/init"
# Stand-ins for the board's modules: the virtual board only records the
# load, but an empty file could not be mapped and would be reported.
for m in misc/flash.ko kernel/net/netfilter/nf_conntrack.ko drivers/net/switch.ko \
         drivers/net/aths16.ko drivers/net/raether.ko; do
  echo "module image of $m" > "$modules/$m"
done
cat > "$root/vboard/board.conf" <<'BOARD'
name = Tesmarel 5 Z9
layout = nand
partitions = 8M 8M
interfaces = 1
cmdline = console=ttyS0
BOARD

echo "== console of the board"
printf '\n' | timeout 60 env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEPLOYBOOT_VBOARD=/vboard \
  unshare --fork --pid --mount --net --propagation private chroot "$root" /init
echo "== board log ($root/vboard/board.log)"
cat "$root/vboard/board.log"
