#!/usr/bin/env bash
# Installs what the build, the tests and the lab need from Debian's packages
# (idempotent), and unpacks the mipsel zlib into build/sysroot-mipsel.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake g++ make pkg-config zlib1g-dev libgtest-dev libgmock-dev googletest
  g++-mipsel-linux-gnu qemu-user-static
  clang libclang-rt-14-dev libsodium-dev
  iproute2 nftables util-linux procps
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# zlib1g-dev:mipsel clashes with the host's newer zlib, so it is unpacked
# into a sysroot of the build tree instead of being installed.
sysroot=build/sysroot-mipsel
if [ ! -f "$sysroot/usr/lib/mipsel-linux-gnu/libz.a" ]; then
  dpkg --print-foreign-architectures | grep -qx mipsel || dpkg --add-architecture mipsel
  apt-get update -q
  mkdir -p "$sysroot/debs"
  (cd "$sysroot/debs" && apt-get download zlib1g:mipsel zlib1g-dev:mipsel)
  for deb in "$sysroot"/debs/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
fi
