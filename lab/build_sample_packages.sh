#!/usr/bin/env bash
# Builds a small signed sample package set for the lab with deploypkg and
# the development key, next to a copy of the configuration scripts of
# lab/samples, so that OUT can be handed to `deploylab run --samples OUT`:
#   10-system.pkg  system 6.47 (a few files under /etc and /bin)
#   20-web.pkg     web 1.2, needs system 6.40 or later, provides httpd
#   30-site.pkg    site 0.9, needs httpd
# ARCH must be the board's: "mipsle" for a single-CPU board (the lab's
# sample board), "mmips" otherwise.
# Usage: lab/build_sample_packages.sh DEPLOYPKG OUT [ARCH]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 2 ] || { sed -n 2,11p "$0" >&2; exit 2; }
deploypkg=$1 out=$2 arch=${3:-mipsle}
key="$here/../keys/development.key"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-1700000000}
mkdir -p "$out"
roots=$(mktemp -d)
trap 'rm -rf "$roots"' EXIT

mkdir -p "$roots/system/etc" "$roots/system/bin" "$roots/web/usr/bin" "$roots/web/etc" \
         "$roots/site/srv/www"
echo "6.47" >"$roots/system/etc/system-version"
printf '#!/bin/sh\necho hello from the installed system\n' >"$roots/system/bin/hello"
chmod 0755 "$roots/system/bin/hello"
printf '#!/bin/sh\necho web server\n' >"$roots/web/usr/bin/web"
chmod 0755 "$roots/web/usr/bin/web"
echo "port 80" >"$roots/web/etc/web.conf"
echo "<h1>It works</h1>" >"$roots/site/srv/www/index.html"

"$deploypkg" build --name system --version 6.47 --arch "$arch" --key "$key" \
    --root "$roots/system" -o "$out/10-system.pkg"
"$deploypkg" build --name web --version 1.2 --arch "$arch" --depends 'system>=6.40' \
    --provides 'httpd,0' --key "$key" --root "$roots/web" -o "$out/20-web.pkg"
"$deploypkg" build --name site --version 0.9 --arch "$arch" --depends httpd \
    --key "$key" --root "$roots/site" -o "$out/30-site.pkg"
cp "$here"/samples/*.scr "$out/"
echo "sample packages in $out"
