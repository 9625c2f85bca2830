#!/usr/bin/env bash
# Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>:
# small real packages built with deploypkg (and the development key), the
# raw contents of a file archive, server replies and database text files.
# Run by hand after a change of format; needs a built deploypkg.
#   fuzz/make_corpus.sh [BUILD_DIR]   (default build/host)
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in -h|--help) sed -n 2,6p "$0" | cut -c3-; exit 0 ;; esac
build=${1:-build/host}
deploypkg="$build/deploypkg"
[ -x "$deploypkg" ] || { echo "make_corpus.sh: no $deploypkg (build it first)" >&2; exit 1; }
key=keys/development.key
corpus=fuzz/corpus
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export SOURCE_DATE_EPOCH=1700000000

# Package files.
out="$corpus/package_stream_fuzz"
mkdir -p "$out" "$scratch/root/bin" "$scratch/root/etc" "$scratch/empty"
printf 'shell\n' >"$scratch/root/bin/sh"
chmod 0755 "$scratch/root/bin/sh"
printf 'version 1\n' >"$scratch/root/etc/version"
printf 'IMAGE' >"$scratch/image"
"$deploypkg" build --name tool --version 1.0 --arch mmips --key "$key" --root "$scratch/root" \
  -o "$out/plain.pkg"
"$deploypkg" build --name web --version 2.3rc1 --arch mipsle --depends 'system>=6.0' \
  --provides 'httpd,5' --conflicts 'oldweb<=1.0' --note 'a note' --key "$key" \
  --root "$scratch/root" -o "$out/relations.pkg"
"$deploypkg" build --name kernel --version 5.4 --boot-image --image "$scratch/image" \
  --key "$key" --root "$scratch/empty" -o "$out/bootimage.pkg"
"$deploypkg" build --name loose --version 0.1 --unrecorded --no-metadata --key "$key" \
  --root "$scratch/root" -o "$out/unrecorded.pkg"
"$deploypkg" build --name m1 --version 1.0 --key "$key" --root "$scratch/root" -o "$scratch/m1.pkg"
"$deploypkg" build --name m2 --version 1.0 --key "$key" --root "$scratch/empty" -o "$scratch/m2.pkg"
"$deploypkg" bundle --name suite --version 2.0 --key "$key" -o "$out/bundle.pkg" \
  "$scratch/m1.pkg" "$scratch/m2.pkg"
printf 'not a package' >"$out/garbage"

# Raw archive contents: 30-byte entry headers (mode, bytes 2-22 free, skip
# marker at 23, size at 24, name length at 28), names and data.
entry() {  # MODE SKIP NAME DATA
  python3 - "$@" <<'PY'
import struct, sys
mode, skip, name, data = int(sys.argv[1], 8), int(sys.argv[2]), sys.argv[3].encode(), sys.argv[4].encode()
h = struct.pack('<H', mode) + bytes(21) + bytes([skip]) + struct.pack('<IH', len(data), len(name))
sys.stdout.buffer.write(h + name + data)
PY
}
out="$corpus/file_archive_fuzz"
mkdir -p "$out"
{ entry 100644 0 bin/sh shell; entry 100755 0 /etc/rc start; } >"$out/files"
{ entry 040755 0 bin ''; entry 120777 0 bin/link target; entry 100644 1 skipped data; } >"$out/kinds"
entry 100644 0 ../escape evil >"$out/dotdot"
entry 100644 0 empty '' >"$out/empty-file"

# Server replies: header (source, destination, reserved, length, sequence,
# acknowledgement) and payload, to the installer's address 02:00:00:00:00:01.
reply() {  # SEQUENCE ACK PAYLOAD
  python3 - "$@" <<'PY'
import struct, sys
seq, ack, payload = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3].encode().decode('unicode_escape').encode('latin-1')
h = bytes([2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 0, 0]) + struct.pack('<HHH', len(payload), seq, ack)
sys.stdout.buffer.write(h + payload)
PY
}
out="$corpus/messages_fuzz"
mkdir -p "$out"
reply 1 0 'OFFR\nlab server\nkeep\n\0' >"$out/offer-keep"
reply 1 0 'OFFR\n\n' >"$out/offer-empty"
reply 4 3 'FILE\nbase.pkg\n12345\n' >"$out/file-header"
reply 4 3 'FILE\nsetup.scr\n-1\n' >"$out/file-negative"

# Database text files.
out="$corpus/database_text_fuzz"
mkdir -p "$out"
printf '17196544 1700000000\n' >"$out/version"
printf 'system 100663296 0\nweb 1 4294967295\n' >"$out/deps"
printf 'httpd 0 0 -5\nwww 1 2 +7\n' >"$out/provides"
printf 'flash/bin/sh\n\n/flash/etc/version\n' >"$out/files"
printf 'uninstall\n' >"$out/schedule"
printf 'auto\n' >"$out/disabled"
echo "make_corpus.sh: seeds in $corpus"
