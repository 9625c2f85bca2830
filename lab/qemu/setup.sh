#!/usr/bin/env bash
# Installs what the qemu-malta lab board needs (idempotent): qemu, and in
# build/qemu-malta/ Debian's 4kc-malta kernel with its modules (indexed with
# depmod), the headers to build the board's platform module against, and a
# static mipsel busybox that gives the ramdisk its /sbin/modprobe.
set -euo pipefail
cd "$(dirname "$0")/../.."

dest=build/qemu-malta
stamp=$dest/setup.done

host_packages=(qemu-system-mips kmod cpio make bc gcc-12-mipsel-linux-gnu)
missing=()
for p in "${host_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
updated=no
apt_update() {
  if [ "$updated" = no ]; then apt-get update -q >/dev/null; updated=yes; fi
}
if ((${#missing[@]})); then
  echo "qemu setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt_update
  apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ -f "$stamp" ] && [ -f "$dest/root/boot/vmlinuz-$(cat "$dest/release")" ]; then
  exit 0
fi

if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
  dpkg --add-architecture mipsel
  updated=no
fi
apt_update

# The meta package names the current versioned kernel; resolve it now so
# that a kernel update in the archive needs no change here.
image=$(apt-cache depends linux-image-4kc-malta:mipsel |
        sed -n 's/^ *Depends: \(linux-image-[^ ]*-4kc-malta\)\(:mipsel\)\{0,1\}$/\1/p' | head -n 1)
if [ -z "$image" ]; then
  echo "qemu setup: cannot resolve the kernel behind linux-image-4kc-malta:mipsel" >&2
  exit 1
fi
release=${image#linux-image-}
abi=${release%-4kc-malta}
version=$(apt-cache show "$image:mipsel" | sed -n 's/^Version: //p' | head -n 1)
kbuild=linux-kbuild-$(echo "$abi" | sed 's/^\([0-9]*\.[0-9]*\).*/\1/')
echo "qemu setup: kernel $release ($version)"

rm -rf "$dest/debs" "$dest/root" "$dest/busybox"
mkdir -p "$dest/debs" "$dest/root" "$dest/busybox"
(
  cd "$dest/debs"
  apt-get download -q "$image:mipsel" "linux-headers-$release:mipsel" \
    "linux-headers-$abi-common" busybox-static:mipsel
  # The headers' build tools run on this machine: the native package of the
  # same kernel version when the archive still has it, else the current one.
  apt-get download -q "$kbuild=$version" || apt-get download -q "$kbuild"
)
for deb in "$dest"/debs/linux-*.deb; do dpkg-deb -x "$deb" "$dest/root"; done
dpkg-deb -x "$dest"/debs/busybox-static_*.deb "$dest/busybox"

# The headers refer to their common half by its installed path.
sed -i "s|/usr/src/linux-headers-$abi-common|$PWD/$dest/root/usr/src/linux-headers-$abi-common|" \
  "$dest/root/usr/src/linux-headers-$release/Makefile"

depmod -b "$dest/root" "$release"
echo "$release" >"$dest/release"
touch "$stamp"
echo "qemu setup: ready in $dest"
