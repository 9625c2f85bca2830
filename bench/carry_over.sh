#!/usr/bin/env bash
# Carrying a configuration tree across: pack it into memory and unpack it,
# side by side with `tar -cf - | tar -xf -` copying the same tree on the same
# machine. The tar pipeline overlaps reading and writing on two processes;
# the archive cannot (the flash is reformatted in between), so the two tar
# steps are also timed one after the other, the tar file held in memory
# (/dev/shm) like the archive. Prints the times (best of ROUNDS), the ratios,
# and the heap the archive took against the tree's size.
# The trees live in DIR, by default under /dev/shm: on a disk, writeback of
# the earlier rounds' files swings either side's time by several times, so
# tmpfs shows the programs' own cost; --dir /var/tmp measures a disk anyway.
#
#   bench/carry_over.sh [--files N] [--bytes N] [--rounds N] [--dir DIR]
set -euo pipefail

FILES=20000
BYTES=$((100 * 1024 * 1024))
ROUNDS=3
WORK=""

usage() { sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; }

while [[ $# -gt 0 ]]; do
  case "$1" in
    --files) FILES="$2"; shift 2 ;;
    --bytes) BYTES="$2"; shift 2 ;;
    --rounds) ROUNDS="$2"; shift 2 ;;
    --dir) WORK="$2"; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown argument: $1" >&2; usage >&2; exit 2 ;;
  esac
done

SOURCE_DIR="$(cd "$(dirname "$0")/.." && pwd)"
if [[ -z "$WORK" ]]; then
  if [[ -d /dev/shm && -w /dev/shm ]]; then WORK=/dev/shm; else WORK=/tmp; fi
  WORK="$(mktemp -d "$WORK/carry_over_bench.XXXXXX")"
else
  mkdir -p "$WORK"
  WORK="$(mktemp -d "$WORK/carry_over_bench.XXXXXX")"
fi
SHM=/dev/shm
[[ -d $SHM && -w $SHM ]] || SHM="$WORK"
trap 'rm -rf "$WORK" "$SHM/carry_over_bench.$$.tar"' EXIT

BENCH="$WORK/carry_over_bench"
"${CXX:-c++}" -std=c++20 -O2 -Wall -Wextra -I"$SOURCE_DIR" \
  "$SOURCE_DIR/flash/config_archive.cc" "$SOURCE_DIR/bench/carry_over_bench.cc" -o "$BENCH"

TREE="$WORK/tree/store"
mkdir -p "$WORK/tree"
"$BENCH" generate "$TREE" "$FILES" "$BYTES" >/dev/null
sync

now() { date +%s.%N; }
best() { sort -g | head -n1; }

tar_times=()
tar_create_times=()
tar_extract_times=()
pack_times=()
unpack_times=()
total_times=()
for ((round = 1; round <= ROUNDS; round++)); do
  # Each side starts with no dirty pages left by the other.
  copy="$WORK/tar-copy"
  mkdir -p "$copy"
  sync
  start=$(now)
  tar -cf - -C "$TREE" . | tar -xf - -C "$copy"
  end=$(now)
  tar_times+=("$(echo "$end - $start" | bc)")
  rm -rf "$copy"

  mkdir -p "$copy"
  held="$SHM/carry_over_bench.$$.tar"
  sync
  start=$(now)
  tar -cf "$held" -C "$TREE" .
  middle=$(now)
  tar -xf "$held" -C "$copy"
  end=$(now)
  tar_create_times+=("$(echo "$middle - $start" | bc)")
  tar_extract_times+=("$(echo "$end - $middle" | bc)")
  rm -rf "$copy" "$held"
  sync

  out="$("$BENCH" roundtrip "$TREE")"
  if [[ $round -eq 1 ]]; then
    diff -r "$TREE.orig" "$TREE" >/dev/null || { echo "unpacked tree differs" >&2; exit 1; }
    figures="$out"
  fi
  rm -rf "$TREE.orig"
  pack=$(awk '$1 == "pack_seconds" { print $2 }' <<<"$out")
  unpack=$(awk '$1 == "unpack_seconds" { print $2 }' <<<"$out")
  pack_times+=("$pack")
  unpack_times+=("$unpack")
  total_times+=("$(echo "$pack + $unpack" | bc)")
done

field() { awk -v k="$1" '$1 == k { print $2 }' <<<"$figures"; }
tar_best=$(printf '%s\n' "${tar_times[@]}" | best)
total_best=$(printf '%s\n' "${total_times[@]}" | best)

echo "tree: $(field entries) entries, $(field tree_bytes) bytes of contents"
echo "archive: $(field archive_blocks) blocks, stream $(field archive_stream_bytes) bytes," \
     "heap $(field archive_heap_bytes) bytes ($(field archive_overhead_percent)% over the tree)"
echo "peak RSS of the bench program: $(field peak_rss_kib) KiB"
echo "pack best:        $(printf '%s\n' "${pack_times[@]}" | best) s"
echo "unpack best:      $(printf '%s\n' "${unpack_times[@]}" | best) s"
echo "pack+unpack best: $total_best s"
seq_best=$(for ((i = 0; i < ROUNDS; i++)); do
  echo "${tar_create_times[$i]} + ${tar_extract_times[$i]}" | bc; done | best)
echo "tar | tar best:   $tar_best s"
echo "tar -c best:      $(printf '%s\n' "${tar_create_times[@]}" | best) s"
echo "tar -x best:      $(printf '%s\n' "${tar_extract_times[@]}" | best) s"
echo "tar -c, tar -x best: $seq_best s"
echo "ratio pack+unpack / tar pipeline:   $(echo "scale=3; $total_best / $tar_best" | bc)"
echo "ratio pack+unpack / tar -c, tar -x: $(echo "scale=3; $total_best / $seq_best" | bc)"
