#!/bin/sh
# /init of the qemu-malta read-back ramdisk: attaches the installed flash,
# mounts both UBI volumes read-only and prints what they hold between
# "readback: begin" and "readback: end" on the console, one line per entry:
#   D <path>                      directory
#   F <sha256> <size> <mode> <path>   regular file (mode in octal)
#   L <path> -> <target>          symbolic link
# then powers the machine off (qemu exits). Paths are relative to /flash.
export PATH=/bin:/sbin
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

fail() {
  echo "readback: failed: $*"
  reboot -f
  exit 1
}

modprobe virtio_pci && modprobe virtio_blk && modprobe block2mtd || fail "flash drivers"
modprobe ubi mtd=0 mtd=1 || fail "ubi attach"
modprobe ubifs || fail "ubifs"
mount -t ubifs -o ro ubi1:Zentrail /flash || fail "mount ubi1:Zentrail"
mkdir -p /ram/boot
mount -t ubifs -o ro ubi0:Kernel /ram/boot || fail "mount ubi0:Kernel"

list() {
  cd "$1" || return
  find . -mindepth 1 | LC_ALL=C sort | while IFS= read -r entry; do
    path=$2${entry#./}
    if [ -L "$entry" ]; then
      echo "L $path -> $(readlink "$entry")"
    elif [ -d "$entry" ]; then
      echo "D $path"
    elif [ -f "$entry" ]; then
      echo "F $(sha256sum "$entry" | cut -d' ' -f1) $(stat -c '%s %a' "$entry") $path"
    fi
  done
  cd /
}

echo "readback: begin"
list /flash ""
list /ram/boot "boot/"
echo "readback: end"
umount /ram/boot
umount /flash
reboot -f
