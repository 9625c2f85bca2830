#!/usr/bin/env bash
# Builds the ramdisks of the qemu-malta lab board (run lab/qemu/setup.sh first).
#
#   mkinitramfs.sh --deployboot FILE --out DIR
#
# DIR/installer.cpio.gz: /init is the given static mipsel installer, with the
#   board's /sbin/nandfix, its platform module at misc/flash.ko, its panic
#   device at misc/panics.ko, the stock drivers the platform module asks for
#   and /sbin/modprobe to load them.
# DIR/readback.cpio.gz: /init is lab/qemu/readback-init.sh, which mounts the
#   installed flash and prints what is on it.
set -euo pipefail

usage() {
  sed -n '2,10s/^# \{0,1\}//p' "$0"
}

deployboot=
out=
while (($#)); do
  case "$1" in
    --deployboot) deployboot=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "mkinitramfs: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
done
if [ -z "$deployboot" ] || [ -z "$out" ]; then usage >&2; exit 2; fi
# ELF, 32-bit, little-endian, machine MIPS.
if [ "$(od -An -tx1 -N20 "$deployboot" 2>/dev/null | tr -d ' \n' | sed 's/^\(.\{12\}\).\{24\}\(.\{4\}\)$/\1\2/')" != 7f454c4601010800 ]; then
  echo "mkinitramfs: $deployboot is not a mipsel program" >&2
  exit 1
fi

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
kit=$top/build/qemu-malta
if [ ! -f "$kit/setup.done" ]; then
  echo "mkinitramfs: $kit is missing; run lab/qemu/setup.sh" >&2
  exit 1
fi
release=$(cat "$kit/release")
mkdir -p "$out"
out=$(cd "$out" && pwd)

# The board's platform module, built out of tree against the kernel's headers.
module_dir=$out/board-module
mkdir -p "$module_dir"
cp -p "$here"/board/*.c "$here/board/Kbuild" "$module_dir/"
make -s -C "$kit/root/usr/src/linux-headers-$release" M="$module_dir" \
  ARCH=mips CROSS_COMPILE=mipsel-linux-gnu- modules >"$module_dir/build.log" 2>&1 ||
  { cat "$module_dir/build.log" >&2; exit 1; }

mipsel-linux-gnu-g++ -std=c++20 -O2 -Wall -Wextra -static -s \
  -o "$out/nandfix" "$here/nandfix.cc"

# Stock modules the ramdisks load, with everything they depend on.
wanted=(virtio_pci virtio_blk block2mtd ubi ubifs pcnet32 deflate zstd)
moddir=$kit/root/lib/modules/$release
module_closure() {
  local name path
  for name in "${wanted[@]}"; do
    path=$(grep -E "(^|/)${name}\.ko:" "$moddir/modules.dep" | head -n 1)
    [ -n "$path" ] || { echo "mkinitramfs: no module $name in $release" >&2; return 1; }
    echo "$path" | tr -d ':' | tr ' ' '\n'
  done | sed '/^$/d' | sort -u
}
closure=$(module_closure)

# stage_common ROOT: what both ramdisks share.
stage_common() {
  local root=$1 rel
  rm -rf "$root"
  mkdir -p "$root"/{bin,sbin,dev,proc,sys,flash,ram,etc/modprobe.d,lib/modules/"$release"/misc}
  cp "$kit/busybox/bin/busybox" "$root/bin/busybox"
  ln -s busybox "$root/bin/sh"
  ln -s ../bin/busybox "$root/sbin/modprobe"
  for rel in $closure; do
    mkdir -p "$root/lib/modules/$release/$(dirname "$rel")"
    cp "$moddir/$rel" "$root/lib/modules/$release/$rel"
  done
  cp "$moddir"/modules.{builtin,builtin.modinfo,order} "$root/lib/modules/$release/"
  cp "$here/modprobe.conf" "$root/etc/modprobe.d/qemu-malta.conf"
}

# pack ROOT FILE: a newc archive owned by root, as the kernel unpacks it.
pack() {
  depmod -b "$1" "$release"
  (cd "$1" && find . -mindepth 1 | LC_ALL=C sort |
     cpio -o -H newc -R 0:0 --quiet) | gzip -9n >"$2"
}

installer_root=$out/installer-root
stage_common "$installer_root"
cp "$deployboot" "$installer_root/init"
cp "$out/nandfix" "$installer_root/sbin/nandfix"
cp "$module_dir/qemu_malta_board.ko" "$installer_root/lib/modules/$release/misc/flash.ko"
cp "$module_dir/panics.ko" "$installer_root/lib/modules/$release/misc/panics.ko"
pack "$installer_root" "$out/installer.cpio.gz"

readback_root=$out/readback-root
stage_common "$readback_root"
cp "$here/readback-init.sh" "$readback_root/init"
chmod 0755 "$readback_root/init"
pack "$readback_root" "$out/readback.cpio.gz"

ln -sf "$kit/root/boot/vmlinuz-$release" "$out/vmlinuz"
echo "mkinitramfs: $out/installer.cpio.gz and $out/readback.cpio.gz for $release"
